#!/usr/bin/env python3
"""The example web upgrade's CGIs (examples/web/www/cgi-bin) without a browser: each run
as the web server runs it (by path, the request in the environment, the body on standard
input), the tool under the flash simulator slowed down, and one case through busybox httpd
restarted mid-write.

  cgi_test.py --binary BUILD/flashtool --simlib BUILD/.../libflashsim.so --out DIR [-k TEXT]

Every case has a folder of its own under DIR (its job folder, flash and logs); nothing
listens but busybox httpd on 127.0.0.1, on a free port. Prints "ok"/"FAIL" per case.
"""
import argparse
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time
import urllib.request
import zlib

import run_web_test as web

REGION = 0x290000
SIZE = 0x10000          # 64 KiB: written in about 1.3 s at 20 ms a block
DELAY_US = 20000
NOBODY = 65534
HOST = "127.0.0.1:8080"
JPEG = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + bytes(range(256)) * 16


def env_for(run, name, method="GET", query="", ctype=None, length=None, headers=None):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("HTTP_", "CONTENT_", "QUERY_", "REQUEST_"))}
    env.update(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD=method, QUERY_STRING=query,
               SCRIPT_NAME="/cgi-bin/" + name, SERVER_PROTOCOL="HTTP/1.1", HTTP_HOST=HOST)
    if ctype is not None:
        env["CONTENT_TYPE"] = ctype
    if length is not None:
        env["CONTENT_LENGTH"] = str(length)
    env.update(headers or {})
    return env


def cgi(run, name, body=b"", **request):
    """Runs one CGI to its end; returns the body of its reply."""
    path = os.path.join(run.www, "cgi-bin", name)
    proc = subprocess.run([path], cwd=os.path.dirname(path), env=env_for(run, name, **request),
                          input=body, capture_output=True, timeout=120)
    head, _, rest = proc.stdout.partition(b"\r\n\r\n")
    if b"Content-Type:" not in head:
        raise RuntimeError(f"{name}: no headers in {proc.stdout[:200]!r} ({proc.stderr[-300:]!r})")
    return rest


def upload(run, data=None, crc=None, ctype="application/octet-stream", length=None,
           headers=None, method="POST"):
    data = run.data if data is None else data
    crc = f"{run.crc:x}" if crc is None else crc
    reply = cgi(run, "upgrade", data, method=method, query=f"crc={crc}" if crc else "",
                ctype=ctype, length=len(data) if length is None else length, headers=headers)
    return json.loads(reply)


def status(run):
    return json.loads(cgi(run, "status"))


def wait_state(run, states, seconds=120):
    limit = time.monotonic() + seconds
    while time.monotonic() < limit:
        job = status(run)
        if job["state"] in states:
            return job
        time.sleep(0.05)
    raise RuntimeError(f"the job never reached {states}: {job}")


def job_file(run, name):
    with open(os.path.join(run.jobs, "job", name)) as f:
        return f.read().strip()


def job_pid(run, name):
    """The pid in one of the job's pid files ("PID START")."""
    return int(job_file(run, name).split()[0])


def wait_for(path, seconds=60):
    limit = time.monotonic() + seconds
    while not os.path.lexists(path):
        if time.monotonic() > limit:
            raise RuntimeError(f"{path} never appeared")
        time.sleep(0.01)


def new_run(args, name, size=SIZE):
    return web.Run(args.out, "cgi-" + name, args, image_size=size, delay_us=DELAY_US)


def expect(problems, label, got, want):
    if got != want:
        problems.append(f"{label}: {got!r}, expected {want!r}")


def nothing_started(run, problems, label):
    """The refusal left no trace: no job, no upload, no claim, the flash as it was."""
    left = [n for n in os.listdir(run.jobs)] if os.path.isdir(run.jobs) else []
    if left:
        problems.append(f"{label}: left {left} in the job folder")
    if os.path.exists(run.pid_file):
        problems.append(f"{label}: the tool ran")
    problems += [f"{label}: {p}" for p in run.flash_unchanged()]


# (case, upload arguments, the reason given): each refused before anything is stored.
ORIGIN = {"HTTP_ORIGIN": "http://" + HOST, "HTTP_REFERER": f"http://{HOST}/index.html"}
REFUSALS = [
    ("GET", {"method": "GET"}, "method"),
    ("text/plain form", {"ctype": "text/plain"}, "type"),
    ("multipart form", {"ctype": "multipart/form-data; boundary=x"}, "type"),
    ("urlencoded form", {"ctype": "application/x-www-form-urlencoded"}, "type"),
    ("no content type", {"ctype": ""}, "type"),
    ("another origin", {"headers": {"HTTP_ORIGIN": "http://127.0.0.1:8081"}}, "host"),
    ("a null origin", {"headers": {"HTTP_ORIGIN": "null"}}, "host"),
    ("an origin that starts with the device's", {"headers": {"HTTP_ORIGIN": f"http://{HOST}.evil"}}, "host"),
    ("another site's page", {"headers": {"HTTP_REFERER": "http://evil.example/x"}}, "host"),
    ("the host as a prefix", {"headers": {"HTTP_REFERER": f"http://{HOST}.evil.example/"}}, "host"),
    ("a rebinding name", {"headers": {"HTTP_HOST": "evil.example:8080", "HTTP_ORIGIN": "http://evil.example:8080",
                                      "HTTP_REFERER": "http://evil.example:8080/"}}, "host"),
    ("a cross-site text/plain", {"ctype": "text/plain;x=application/octet-stream"}, "type"),
    ("no CRC", {"crc": ""}, "crc"),
    ("a CRC that is not hexadecimal", {"crc": "12345xyz"}, "crc"),
    ("a CRC of nine digits", {"crc": "123456789"}, "crc"),
    ("a CRC and more", {"crc": "abc;id"}, "crc"),
    ("a CRC with an escaped blank", {"crc": "abc%20def"}, "crc"),
    ("a CRC with an escaped newline", {"crc": "1%0Aid"}, "crc"),
    ("a CRC given twice", {"crc": "1&crc=2"}, "crc"),
    ("a CRC of 0", {"crc": "0"}, "mismatch"),
    ("ten bytes with the image's CRC", {"data": web.CRAMFS_MAGIC + bytes(6)}, "mismatch"),
    ("an empty body", {"data": b""}, "empty"),
    ("larger than the region", {"data": web.CRAMFS_MAGIC + bytes(REGION - 3)}, "too_large"),
    ("a JPEG", {"data": JPEG, "crc": f"{zlib.crc32(JPEG):x}"}, "not_cramfs"),
    ("a body cut short", {"length": SIZE + 100}, "cut_short"),
]


def case_refusals(args, problems):
    run = new_run(args, "refusals")
    for label, request, reason in REFUSALS:
        request.setdefault("headers", {})
        request["headers"] = {**ORIGIN, **request["headers"]}
        expect(problems, label, upload(run, **request), {"started": False, "reason": reason})
        nothing_started(run, problems, label)
    # The same image, from the device's own page, its CRC as 0x and capitals: it goes
    # through, the CRC computed with gzip where busybox has no crc32.
    stub = os.path.join(run.dir, "no-busybox")
    os.makedirs(stub)
    with open(os.path.join(stub, "busybox"), "w") as f:
        f.write("#!/bin/sh\nexit 1\n")
    os.chmod(os.path.join(stub, "busybox"), 0o755)
    answer = upload(run, crc=f"0x{run.crc:08X}",
                    headers={**ORIGIN, "PATH": stub + ":" + os.environ["PATH"]})
    expect(problems, "own page", (answer["started"], answer.get("crc"), answer.get("size")),
           (True, f"{run.crc:08x}", len(run.data)))
    wait_state(run, ("done", "interrupted"))


def case_no_room(args, problems):
    """A job folder with less room than the image: refused before anything is stored."""
    run = new_run(args, "no-room", size=0x80000)
    os.makedirs(run.jobs, mode=0o700)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=0700", "tmpfs",
                              run.jobs], capture_output=True).returncode == 0
    if not mounted:
        return "a tmpfs cannot be mounted here (not root)"
    try:
        expect(problems, "no room", upload(run), {"started": False, "reason": "no_room"})
        nothing_started(run, problems, "no room")
    finally:
        subprocess.run(["umount", run.jobs], check=False)
    return None


# A job folder that someone else could reach: each refused with its one reason.
def premade_by_nobody(path):
    os.makedirs(path, mode=0o700)
    os.chown(path, NOBODY, NOBODY)


def premade_open(path):
    os.makedirs(path)
    os.chmod(path, 0o755)


def premade_symlink(path):
    os.makedirs(path + ".real", mode=0o700)
    os.symlink(path + ".real", path)


def premade_file(path):
    with open(path, "w") as f:
        f.write("")


def case_job_folder(args, problems):
    for label, make in [("made by nobody", premade_by_nobody), ("mode 0755", premade_open),
                        ("a symbolic link", premade_symlink), ("a file", premade_file)]:
        run = new_run(args, "folder-" + make.__name__)
        make(run.jobs)
        expect(problems, label, upload(run), {"started": False, "reason": "folder"})
        expect(problems, f"{label}: status", status(run)["state"], "none")
        if os.path.isdir(run.jobs) and os.listdir(run.jobs):
            problems.append(f"{label}: the CGI wrote into it: {os.listdir(run.jobs)}")
        problems += [f"{label}: {p}" for p in run.flash_unchanged()]
    # Made by the CGI: the folder and the image are its user's alone.
    run = new_run(args, "folder-own")
    expect(problems, "own folder", upload(run)["started"], True)
    image = os.path.join(run.jobs, "job", "image")
    modes = {name: (os.lstat(path).st_mode & 0o7777, os.lstat(path).st_uid)
             for name, path in [("jobs", run.jobs), ("job", os.path.dirname(image)),
                                ("image", image)] if os.path.exists(path)}
    expect(problems, "modes while the job runs", modes,
           {"jobs": (0o700, os.getuid()), "job": (0o700, os.getuid()), "image": (0o600, os.getuid())})
    wait_state(run, ("done", "interrupted"))


def case_checked(args, problems):
    """Done only after the check: a good release is done with check 0 and the image in
    place (an image whose CRC is another's is refused before the job: see REFUSALS)."""
    run = new_run(args, "checked")
    expect(problems, "good release", upload(run)["started"], True)
    job = wait_state(run, ("done", "interrupted"))
    expect(problems, "good release", (job["state"], job["status"], job["check"]), ("done", 0, 0))
    # The write's status alone, kept for a job shell killed during the check.
    expect(problems, "good release: written", job_file(run, "written"), "0")
    problems += ["good release: " + p for p in run.flash_problems()]
    if os.path.exists(os.path.join(run.jobs, "job", "image")):
        problems.append("good release: the image is still stored after the job")


def running_job(args, name):
    """A run whose upload has started a job; returns it once the tool writes."""
    run = new_run(args, name, size=0x40000)
    if not upload(run)["started"]:
        raise RuntimeError("the upload did not start")
    wait_for(os.path.join(run.jobs, "job", "tool.pid"))
    # Some blocks in: the tool has erased and is writing.
    limit = time.monotonic() + 60
    while b" %" not in open(os.path.join(run.jobs, "job", "output"), "rb").read():
        if time.monotonic() > limit:
            raise RuntimeError("the tool never reported progress")
        time.sleep(0.05)
    return run


def case_interrupted(args, problems):
    # The tool killed mid-write: interrupted, whatever the job shell records.
    run = running_job(args, "killed-tool")
    os.kill(job_pid(run, "tool.pid"), signal.SIGKILL)
    job = wait_state(run, ("done", "interrupted"))
    expect(problems, "tool killed", (job["state"], job_file(run, "status")), ("interrupted", "137"))
    # The job shell killed while the tool writes: still running while the tool runs, then
    # interrupted, as nobody saw how the tool ended.
    run = running_job(args, "killed-job")
    os.kill(job_pid(run, "job.pid"), signal.SIGKILL)
    expect(problems, "job shell killed, tool writing", status(run)["state"], "running")
    web.wait_gone(os.path.join(run.jobs, "job", "tool.pid"))
    expect(problems, "job shell killed, tool ended", status(run)["state"], "interrupted")
    # SIGTERM to the tool: held until the image is written, then judged by the check.
    run = running_job(args, "sigterm-tool")
    os.kill(job_pid(run, "tool.pid"), signal.SIGTERM)
    job = wait_state(run, ("done", "interrupted"))
    expect(problems, "tool sent SIGTERM", (job["state"], job.get("status"), job.get("check")),
           ("done", 128 + signal.SIGTERM, 0))
    problems += ["tool sent SIGTERM: " + p for p in run.flash_problems()]


def start_upload(run, length):
    """An upload CGI whose body the caller writes; returns it once it holds the claim."""
    path = os.path.join(run.www, "cgi-bin", "upgrade")
    proc = subprocess.Popen([path], cwd=os.path.dirname(path), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            env=env_for(run, "upgrade", "POST", f"crc={run.crc:x}",
                                        "application/octet-stream", length))
    proc.stdin.write(run.data[:length // 2])
    proc.stdin.flush()
    wait_for(os.path.join(run.jobs, "claim"))
    return proc


def case_claims(args, problems):
    # An upload killed mid-body (a server restarted with it): its claim goes with the next
    # request, and what it had received too.
    run = new_run(args, "killed-upload")
    proc = start_upload(run, len(run.data))
    proc.kill()
    proc.wait()
    # The next upload clears the claim itself (no status asked first).
    expect(problems, "killed upload: the next one", upload(run)["started"], True)
    expect(problems, "killed upload: left", [n for n in os.listdir(run.jobs)
                                              if n.startswith(("incoming", "claim"))], [])
    job = wait_state(run, ("done", "interrupted"))
    expect(problems, "killed upload: the next one", (job["state"], job.get("check")), ("done", 0))
    # Two uploads at once: the second is refused while the first is received, and while
    # its job runs; the first goes through whole.
    run = new_run(args, "two-uploads")
    first = start_upload(run, len(run.data))
    expect(problems, "second upload", upload(run), {"started": False, "reason": "uploading"})
    expect(problems, "status during the upload", status(run)["uploading"], True)
    first.stdin.write(run.data[len(run.data) // 2:])
    first.stdin.close()
    reply = first.stdout.read()
    first.wait()
    expect(problems, "first upload", json.loads(reply.partition(b"\r\n\r\n")[2])["started"], True)
    if status(run)["state"] == "running":
        expect(problems, "upload while a job runs", upload(run),
               {"started": False, "reason": "running"})
    job = wait_state(run, ("done", "interrupted"))
    expect(problems, "first upload", (job["state"], job["status"], job["check"]), ("done", 0, 0))
    problems += ["first upload: " + p for p in run.flash_problems()]


def case_stalled(args, problems):
    """An upload whose client stalls past UPGRADE_UPLOAD_SECONDS is refused and lets go of
    its claim: the next upload goes through."""
    run = new_run(args, "stalled")
    run.configure("UPGRADE_UPLOAD_SECONDS=2\n")
    proc = start_upload(run, len(run.data))
    # The client still holds its end open: the CGI must answer by itself.
    ready, _, _ = select.select([proc.stdout], [], [], 30)
    if not ready:
        proc.kill()
    reply = proc.stdout.read() if ready else b"\r\n\r\n{}"
    proc.stdin.close()
    proc.wait()
    expect(problems, "stalled upload", json.loads(reply.partition(b"\r\n\r\n")[2]),
           {"started": False, "reason": "slow"})
    expect(problems, "stalled upload: claim", os.path.lexists(os.path.join(run.jobs, "claim")), False)
    expect(problems, "after the stalled upload", upload(run)["started"], True)
    wait_state(run, ("done", "interrupted"))


def signature_of(run, image, key):
    """The sig= value of image signed with key: its .sig file's base64 line, URL-safe."""
    subprocess.run(["signify-openbsd", "-S", "-s", key, "-m", image, "-x", image + ".sig"],
                   check=True, capture_output=True)
    line = open(image + ".sig").read().splitlines()[1]
    return line.replace("+", "-").replace("/", "_").rstrip("=")


def case_signed(args, problems):
    """With a release key, only an image signed with its secret key is written; the others
    are refused before the job starts."""
    if shutil.which("signify-openbsd") is None:
        problems.append("signify-openbsd is not installed (tools/install-deps installs it)")
        return None
    run = new_run(args, "signed")
    keys = {}
    for name in ("release", "other"):
        keys[name] = os.path.join(run.dir, name)
        subprocess.run(["signify-openbsd", "-G", "-n", "-p", keys[name] + ".pub",
                        "-s", keys[name] + ".sec"], check=True, capture_output=True)
    run.configure(f"UPGRADE_RELEASE_KEY='{keys['release']}.pub'\nUPGRADE_VERIFIER=signify-openbsd\n")
    other_image = os.path.join(run.dir, "other.img")
    with open(other_image, "wb") as f:
        f.write(run.data[:-1] + b"x")
    good = signature_of(run, run.image, keys["release"] + ".sec")
    for label, sig, reason in [
            ("unsigned", "", "unsigned"),
            ("not a signature", "a+b", "unsigned"),
            ("signed with another key", signature_of(run, run.image, keys["other"] + ".sec"), "signature"),
            ("another image's signature", signature_of(run, other_image, keys["release"] + ".sec"), "signature"),
            ("signed with the release key", good, "")]:
        answer = upload(run, crc=f"{run.crc:x}&sig={sig}" if sig else None)
        expect(problems, label, (answer["started"], answer["reason"]), (not reason, reason))
        if reason:
            nothing_started(run, problems, label)
    job = wait_state(run, ("done", "interrupted"))
    expect(problems, "signed release", (job["state"], job["status"], job["check"]), ("done", 0, 0))
    return None


def case_reused_pid(args, problems):
    """A pid file or a claim names a process by pid and start time: an unrelated process
    that got the pid is never taken for the job or the upload."""
    sleeper = subprocess.Popen(["sleep", "60"])
    try:
        with open(f"/proc/{sleeper.pid}/stat") as f:
            start = f.read().rsplit(")", 1)[1].split()[19]
        for label, tool_pid, claim, state, starts in [
                ("the tool runs", f"{sleeper.pid} {start}", None, "running", False),
                ("a reused tool pid", f"{sleeper.pid} {int(start) - 1}", None, "interrupted", True),
                ("a reused claim", None, f"{sleeper.pid}-{int(start) - 1}", "none", True)]:
            run = new_run(args, "reused-" + label.replace(" ", "-"))
            if tool_pid:
                run.plant_job({"id": f"1-1 {SIZE} {run.crc:08x}", "tool.pid": tool_pid})
            else:
                os.makedirs(run.jobs, mode=0o700)
                os.symlink(claim, os.path.join(run.jobs, "claim"))
            expect(problems, label, status(run)["state"], state)
            expect(problems, label + ": an upload", upload(run)["started"], starts)
            if starts:
                wait_state(run, ("done", "interrupted"))
    finally:
        sleeper.kill()
        sleeper.wait()


def case_folder_replaced(args, problems):
    """An upload puts its new job in the place of a dead one while cgi-bin/status looks at
    the job (here: as status reads the dead tool's /proc entry). status judges one folder:
    the new job's image, which its tool is about to read, stays."""
    run = new_run(args, "replaced")
    job = run.plant_job({"id": f"1-1 {SIZE} {run.crc:08x}", "tool.pid": "999999999 5"})
    new = run.plant_job({"id": f"1-1 {SIZE} {run.crc:08x}"}, "incoming.1")
    with open(os.path.join(new, "image"), "wb") as f:
        f.write(run.data)
    stub = os.path.join(run.dir, "swap")
    os.makedirs(stub)
    with open(os.path.join(stub, "cat"), "w") as f:
        f.write(f"#!/bin/sh\n[ -d {new} ] && rm -rf {job} && mv {new} {job}\n"
                f"PATH={os.environ['PATH']} exec cat \"$@\"\n")
    os.chmod(os.path.join(stub, "cat"), 0o755)
    cgi(run, "status", headers={"PATH": stub + ":" + os.environ["PATH"]})
    expect(problems, "a job folder replaced during status: the new image kept",
           os.path.exists(os.path.join(job, "image")), True)


def progress_from(run, n):
    return cgi(run, "progress", query=f"from={n}")


def first_chunk(run, n):
    """What progress?from=n sends first, as a client that reads one chunk and goes away."""
    path = os.path.join(run.www, "cgi-bin", "progress")
    proc = subprocess.Popen([path], cwd=os.path.dirname(path), stdout=subprocess.PIPE,
                            env=env_for(run, "progress", query=f"from={n}"))
    data = b""
    try:
        while b"\r\n\r\n" not in data or not data.partition(b"\r\n\r\n")[2]:
            ready, _, _ = select.select([proc.stdout], [], [], 3)
            chunk = os.read(proc.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                break
            data += chunk
    finally:
        proc.kill()
        proc.wait()
    return data.partition(b"\r\n\r\n")[2]


def case_progress(args, problems):
    # A finished job's output, from byte N on: exactly the bytes from N.
    run = new_run(args, "progress-fixed")
    job = os.path.join(run.jobs, "job")
    os.makedirs(job, mode=0o700)
    os.chmod(run.jobs, 0o700)
    text = b"".join(b"%3d %%   " % (i % 101) + (b"\n" if i % 10 == 9 else b"")
                    for i in range(600))
    for name, data in [("output", text), ("status", b"0 0\n"), ("id", b"1-1\n")]:
        with open(os.path.join(job, name), "wb") as f:
            f.write(data)
    for n in (0, 1, 9, 1023, 1024, len(text) - 1, len(text), len(text) + 5):
        got = progress_from(run, n)
        if got != text[n:]:
            problems.append(f"progress?from={n}: {len(got)} bytes starting {got[:12]!r}, "
                            f"expected {len(text[n:])} starting {text[n:n + 12]!r}")
    # A running job followed as the page does, one chunk per request, each resumed from
    # what has come: the pieces add up to the job's output, byte for byte.
    run = new_run(args, "progress-live", size=0x60000)
    expect(problems, "live job", upload(run)["started"], True)
    got, chunks = b"", 0
    limit = time.monotonic() + 120
    while time.monotonic() < limit:
        piece = first_chunk(run, len(got))
        got += piece
        chunks += bool(piece)
        job = status(run)
        if job["state"] != "running" and job["output_bytes"] <= len(got):
            break
    with open(os.path.join(run.jobs, "job", "output"), "rb") as f:
        whole = f.read()
    if got != whole:
        problems.append(f"live job: the pieces ({len(got)} bytes) are not the output "
                        f"({len(whole)} bytes)")
    if chunks < 5:
        problems.append(f"live job: only {chunks} chunks")


def case_server_restart(args, problems):
    """busybox httpd ended with its whole process group mid-write (a restart): the job,
    in a session of its own, writes on, checks, and the new server reports it done."""
    run = new_run(args, "restart", size=0x60000)
    port = web.free_port()
    www = run.www

    def serve(port):
        return run.serve(["busybox", "httpd", "-f", "-p", f"127.0.0.1:{port}", "-h", www], port,
                         os.path.join(run.dir, f"httpd-{port}.log"))
    url = serve(port)
    request = urllib.request.Request(url + f"/cgi-bin/upgrade?crc={run.crc:x}", data=run.data,
                                     headers={"Content-Type": "application/octet-stream"})
    answer = json.loads(urllib.request.urlopen(request, timeout=60).read())
    expect(problems, "upload through httpd", answer["started"], True)
    output = os.path.join(run.jobs, "job", "output")
    limit = time.monotonic() + 60
    while b"20 %" not in open(output, "rb").read() and time.monotonic() < limit:
        time.sleep(0.05)
    server = run.procs.pop()
    os.killpg(server.pid, signal.SIGTERM)
    server.wait()
    url = serve(web.free_port())
    limit = time.monotonic() + 120
    while time.monotonic() < limit:
        job = json.loads(urllib.request.urlopen(url + "/cgi-bin/status", timeout=30).read())
        if job["state"] != "running":
            break
        time.sleep(0.1)
    expect(problems, "after the restart", (job["state"], job.get("status"), job.get("check")),
           ("done", 0, 0))
    problems += ["after the restart: " + p for p in run.flash_problems()]
    run.stop()


CASES = [case_refusals, case_no_room, case_job_folder, case_checked, case_interrupted,
         case_claims, case_stalled, case_signed, case_reused_pid, case_folder_replaced,
         case_progress, case_server_restart]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--simlib", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("-k", dest="filter")
    args = parser.parse_args()
    args.binary, args.simlib = os.path.abspath(args.binary), os.path.abspath(args.simlib)
    args.out = os.path.abspath(args.out)
    shutil.rmtree(args.out, ignore_errors=True)
    os.makedirs(args.out)
    if shutil.which("busybox") is None:
        print("FAIL busybox is not installed (tools/install-deps installs it)")
        return 1
    failed = 0
    for case in CASES:
        if args.filter and args.filter not in case.__name__:
            continue
        problems = []
        started = time.monotonic()
        try:
            skipped = case(args, problems)
        except (RuntimeError, OSError, ValueError, subprocess.SubprocessError) as error:
            problems.append(f"{type(error).__name__}: {error}")
            skipped = None
        finally:
            # Every job a case started has ended before the next case (and before the
            # test itself ends): nothing is left running.
            for pid_file in _tool_pid_files(args.out):
                try:
                    web.wait_gone(pid_file, seconds=60)
                except RuntimeError:
                    problems.append(f"a tool still runs: {pid_file}")
        took = time.monotonic() - started
        if skipped:
            print(f"skip {case.__name__}: {skipped}")
        elif problems:
            failed += 1
            print(f"FAIL {case.__name__} ({took:.1f} s)")
            for problem in problems:
                print("       " + problem)
        else:
            print(f"ok   {case.__name__} ({took:.1f} s)")
    return 1 if failed else 0


def _tool_pid_files(out):
    for root, _, names in os.walk(out):
        if "tool.pid" in names:
            yield os.path.join(root, "tool.pid")


if __name__ == "__main__":
    sys.exit(main())
