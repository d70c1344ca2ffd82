#!/usr/bin/env python3
"""The example web upgrade (examples/web) in a real browser, and a dropped client on the
servers that used to cut a write.

  run_web_test.py --binary BUILD/flashtool --simlib BUILD/.../libflashsim.so --out DIR

1. busybox httpd serving examples/web/www, the tool under the flash simulator slowed down
   (FLASHSIM_DELAY_US), one page after another in chromium:
   - a page of another origin (another port) that posts the release to the device at
     once: a text/plain form and no-cors fetches; the flash is unchanged, no job starts;
   - the page with JavaScript off: it says it needs it, its button stays disabled;
   - a JPEG chosen by mistake, with its own CRC file: refused by the device before
     anything is stored; the image with the CRC file of another release, or without a CRC
     file: refused by the page, nothing sent; the flash is unchanged, the choices cleared;
   - jobs that ended as a killed check, a job shell killed in the write or in the check,
     a failed check or a failed write left them: a new tab says what is known of each,
     naming the image;
   - the tool killed (SIGKILL) at 30 %: the page says the write did not complete;
   - two releases from two tabs at once: one writes, the other is refused and follows it;
     the bar advances, the first tab is closed at about 30 %, a new tab and the refused
     one show the job written and checked, naming its image and not as their own; the
     flash then holds that release byte for byte.
2. busybox httpd on a device that takes only signed releases: the page asks for the
   signature file; a release signed with another key is refused, one signed with the
   release key written.
3. lighttpd with server.stream-response-body and a CGI that execs the tool, its output
   streamed to the tab: the tab is closed at about 30 % (lighttpd then sends the tool
   SIGTERM); the flash still holds the whole image.
Servers listen on 127.0.0.1 only, on free ports; everything started here is stopped at the
end, also on a failure. DIR keeps a screenshot of each verdict (the test names them) and
the servers' logs. Exits 77 (skipped) only when chromium cannot start at all.
"""
import argparse
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
WWW = os.path.join(HERE, "..", "..", "examples", "web", "www")
SKIP = 77
MTD2 = (0x100000, 0x290000)       # /dev/mtd2 in the whole-flash image
IMAGE_SIZE = 0x100000
DELAY_US = 10000                  # per 1024-byte write: about 10 s for the image


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, seconds=30):
    limit = time.monotonic() + seconds
    while time.monotonic() < limit:
        if proc.poll() is not None:
            raise RuntimeError(f"server ended at start with status {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on 127.0.0.1:{port}")


def wait_gone(pid_file, seconds=120):
    """Waits until the process whose pid is in pid_file has ended (or is a zombie)."""
    limit = time.monotonic() + seconds
    while not os.path.exists(pid_file):
        if time.monotonic() > limit:
            raise RuntimeError(f"{pid_file} never appeared")
        time.sleep(0.05)
    # A job's pid files hold the pid and its start time; the wrapper's, the pid alone.
    pid = int(open(pid_file).read().split()[0])
    while time.monotonic() < limit:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return
        except FileNotFoundError:
            return
        time.sleep(0.05)
    raise RuntimeError(f"process {pid} still runs")


# A root file system image starts with the cramfs magic (little-endian 0x28cd3d45).
CRAMFS_MAGIC = bytes.fromhex("453dcd28")


class Run:
    """One server run: a folder, a flash, a tool wrapper, an image with its CRC file; stops
    what it started. Each run has a job folder of its own, so that runs never meet."""

    def __init__(self, out, name, args, image_size=None, delay_us=None):
        self.dir = os.path.join(out, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.procs = []
        self.flash = os.path.join(self.dir, "flash.img")
        rng = random.Random(name)
        self.start = rng.randbytes(0x400000)
        with open(self.flash, "wb") as f:
            f.write(self.start)
        self.image = os.path.join(self.dir, "rootfs.img")
        self.data = CRAMFS_MAGIC + rng.randbytes((image_size or IMAGE_SIZE) - 4)
        with open(self.image, "wb") as f:
            f.write(self.data)
        self.crc = zlib.crc32(self.data)
        self.crc_file = os.path.join(self.dir, "rootfs.crc")
        with open(self.crc_file, "w") as f:
            f.write(f"{self.crc:08x}  rootfs.img\n")
        # A second release, for a second tab.
        self.data_b = CRAMFS_MAGIC + rng.randbytes(len(self.data) - 4)
        self.image_b, self.crc_file_b = self.image[:-4] + "-b.img", self.crc_file[:-4] + "-b.crc"
        with open(self.image_b, "wb") as f:
            f.write(self.data_b)
        with open(self.crc_file_b, "w") as f:
            f.write(f"{zlib.crc32(self.data_b):08x}  rootfs-b.img\n")
        self.jobs = os.path.join(self.dir, "jobs")
        # The tool as the device would run it, here under the simulator; it notes its pid
        # (the tool's, after the exec) so that the test can wait for its end.
        self.tool = os.path.join(self.dir, "flashtool")
        self.pid_file = os.path.join(self.dir, "tool.pid")
        with open(self.tool, "w") as f:
            f.write("#!/bin/sh\n"
                    f"echo $$ > '{self.pid_file}'\n"
                    f"export LD_PRELOAD='{args.simlib}' FLASHSIM_IMAGE='{self.flash}' "
                    f"FLASHSIM_DELAY_US={DELAY_US if delay_us is None else delay_us}\n"
                    f"exec '{args.binary}' \"$@\"\n")
        os.chmod(self.tool, 0o755)
        self.www = os.path.join(self.dir, "www")
        shutil.copytree(WWW, self.www)
        self.configure(f"UPGRADE_JOBS='{self.jobs}'\nUPGRADE_TOOL='{self.tool}'\n"
                       "UPGRADE_COMMAND=writecramfs\n")

    def plant_job(self, files, name="job"):
        """A job folder (name) as the CGIs leave one, holding files ({name: text})."""
        folder = os.path.join(self.jobs, name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder, mode=0o700)
        os.chmod(self.jobs, 0o700)
        for file, text in files.items():
            with open(os.path.join(folder, file), "w") as f:
                f.write(text + "\n")
        return folder

    def configure(self, text):
        """Puts settings at the top of the run's upgrade.conf."""
        conf = os.path.join(self.www, "cgi-bin", "upgrade.conf")
        with open(conf) as f:
            old = f.read()
        with open(conf, "w") as f:
            f.write(text + old)

    def serve(self, argv, port, log):
        proc = subprocess.Popen(argv, cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=open(log, "wb"), stderr=subprocess.STDOUT,
                                start_new_session=True)
        self.procs.append(proc)
        wait_for_port(port, proc)
        return f"http://127.0.0.1:{port}"

    def flash_problems(self, data=None):
        """What differs from the start flash with the image (data) written into mtd2."""
        data = self.data if data is None else data
        with open(self.flash, "rb") as f:
            now = f.read()
        start, length = MTD2
        want = bytearray(self.start)
        want[start:start + length] = data + b"\xff" * (length - len(data))
        if now == bytes(want):
            return []
        first = next(i for i in range(len(now)) if now[i] != want[i])
        written = next((i for i in range(len(data)) if now[start + i] != data[i]), len(data))
        return [f"flash differs from 0x{first:06x}; the image is in place up to "
                f"{written * 100 // len(data)} % of it"]

    def flash_unchanged(self):
        """[] when the flash still holds what the run started with, else what differs."""
        with open(self.flash, "rb") as f:
            now = f.read()
        if now == self.start:
            return []
        first = next(i for i in range(len(now)) if now[i] != self.start[i])
        return [f"the flash was changed, from 0x{first:06x} on"]

    def stop(self):
        if os.path.exists(self.pid_file):
            try:
                wait_gone(self.pid_file, seconds=60)
            except RuntimeError:
                os.kill(int(open(self.pid_file).read()), signal.SIGKILL)
        for proc in self.procs:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()


def browser(args, *words):
    env = dict(os.environ, NODE_PATH=os.path.join(args.npm, "node_modules"),
               PUPPETEER_SKIP_DOWNLOAD="1",
               CHROMIUM_PROFILE=os.path.join(args.out, "chromium-profile"))
    shutil.rmtree(env["CHROMIUM_PROFILE"], ignore_errors=True)
    # In a process group of its own, so that chromium goes with it whatever happens.
    proc = subprocess.Popen(["node", os.path.join(HERE, "browser.js"), *words], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True)
    try:
        out, err = proc.communicate(timeout=600)
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
    lines = out.decode().strip().splitlines()
    result = json.loads(lines[-1]) if lines else {"error": err.decode()[-2000:]}
    return proc.returncode, result


def npm_install(args):
    """puppeteer-core at the version of tests/web/package-lock.json, in the build tree."""
    lock = os.path.join(HERE, "package-lock.json")
    copy = os.path.join(args.npm, "package-lock.json")
    if os.path.exists(copy) and open(copy, "rb").read() == open(lock, "rb").read() and \
            os.path.isdir(os.path.join(args.npm, "node_modules", "puppeteer-core")):
        return
    os.makedirs(args.npm, exist_ok=True)
    for name in ("package.json", "package-lock.json"):
        shutil.copy(os.path.join(HERE, name), args.npm)
    subprocess.run(["npm", "ci", "--ignore-scripts", "--no-audit", "--no-fund"], cwd=args.npm,
                   env=dict(os.environ, PUPPETEER_SKIP_DOWNLOAD="1"), check=True)


# A page of another origin (another port of 127.0.0.1) that tries to start an upgrade as
# soon as it opens, with the release's own image and CRC: an auto-submitted text/plain
# form, and no-cors fetches of the image as text, as a Blob typed application/octet-stream
# and with that content type asked for. The browser sends none of them as
# application/octet-stream without a preflight, and all of them name their origin.
ATTACK_PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>loading</title></head><body>
<h1>Another site</h1>
<form id="form" method="POST" enctype="text/plain" target="sink" action="{target}">
<input type="hidden" name="x" value="y"></form>
<iframe name="sink" title="sink"></iframe>
<pre id="log"></pre>
<script>
"use strict";
const log = (text) => {{ document.getElementById("log").textContent += text + "\\n"; }};
(async () => {{
  const image = new Uint8Array(await (await fetch("rootfs.img")).arrayBuffer());
  const bodies = [
    ["text", {{ body: new TextDecoder("latin1").decode(image) }}],
    ["blob", {{ body: new Blob([image], {{ type: "application/octet-stream" }}) }}],
    ["header", {{ body: image, headers: {{ "Content-Type": "application/octet-stream" }} }}],
  ];
  for (const [name, request] of bodies) {{
    try {{
      await fetch("{target}", {{ method: "POST", mode: "no-cors", ...request }});
      log(name + ": sent");
    }} catch (error) {{
      log(name + ": " + error);
    }}
  }}
  document.querySelector("iframe").addEventListener("load", () => {{
    log("form: sent");
    document.title = "sent";
  }});
  document.getElementById("form").submit();
}})();
</script></body></html>
"""


def verdict_is(problems, label, seen, kind, *words):
    """The page's verdict box is of kind and says each of words."""
    if seen.get("verdict_class") != kind or not all(w in seen.get("verdict", "") for w in words):
        problems.append(f"{label}: the page says ({seen.get('verdict_class')}) "
                        f"{seen.get('verdict')!r}, expected ({kind}) with {words}")


def busybox_cases(args, problems, shots):
    """busybox httpd serving examples/web: a page of another origin, a wrong file, a CRC
    file of another release (the flash untouched by all three), the tool killed mid-write
    (interrupted), then the good release through closed and reopened tabs (done)."""
    run = Run(args.out, "busybox", args)
    try:
        port = free_port()
        url = run.serve(["busybox", "httpd", "-f", "-vv", "-p", f"127.0.0.1:{port}",
                         "-h", run.www], port, os.path.join(run.dir, "httpd.log")) + "/"
        shot = lambda name: shots.setdefault(name, os.path.join(args.out, name + ".png"))

        evil = os.path.join(run.dir, "evil")
        os.makedirs(evil)
        shutil.copy(run.image, evil)
        with open(os.path.join(evil, "index.html"), "w") as f:
            f.write(ATTACK_PAGE.format(target=f"{url}cgi-bin/upgrade?crc={run.crc:x}"))
        evil_port = free_port()
        evil_url = run.serve(["busybox", "httpd", "-f", "-p", f"127.0.0.1:{evil_port}",
                              "-h", evil], evil_port, os.path.join(run.dir, "evil.log"))
        status, seen = browser(args, "attack", evil_url + "/", url, shot("verdict-other-origin"))
        if status == SKIP:
            return seen["skip"]
        print("another origin's page:", json.dumps(seen))
        if status != 0:
            problems.append(f"other origin: the browser run failed: {seen.get('error')}")
        elif seen.get("job_shown") or seen.get("warning_shown"):
            problems.append(f"other origin: the device's page shows a job: {seen}")
        problems += ["other origin: " + p for p in run.flash_unchanged()]
        if os.path.exists(os.path.join(run.jobs, "job")):
            problems.append("other origin: a job was started")

        status, seen = browser(args, "noscript", url, shot("page-without-javascript"))
        print("without JavaScript:", json.dumps(seen))
        if status != 0 or not seen.get("button_disabled") or \
                "needs JavaScript" not in seen.get("says", ""):
            problems.append(f"without JavaScript: {seen}")

        jpeg = os.path.join(run.dir, "photo.jpg")
        with open(jpeg, "wb") as f:
            f.write(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + bytes(range(256)) * 64)
        jpeg_crc = os.path.join(run.dir, "photo.crc")
        with open(jpeg_crc, "w") as f:
            f.write(f"{zlib.crc32(open(jpeg, 'rb').read()):x}\n")
        other_crc = os.path.join(run.dir, "other.crc")
        with open(other_crc, "w") as f:
            f.write(f"{run.crc ^ 1:08x}  rootfs.img\n")
        uploads(args, problems, run, url, shot, [
            ("wrong file", (jpeg, jpeg_crc), "refused", ("not a firmware image", "not touched")),
            ("crc mismatch", (run.image, other_crc), "refused",
             ("does not match", "Nothing was sent", "not touched")),
            ("no CRC file", (run.image, "-"), "refused", ("Choose the CRC file", "not touched"))])
        endings(args, problems, run, url, shot)

        # The tool killed mid-write (SIGKILL: nothing can hold it).
        killer = threading.Thread(target=kill_tool_at, args=(run, 30))
        killer.start()
        status, seen = browser(args, "upload", url, shot("verdict-interrupted"), run.image,
                               run.crc_file)
        killer.join()
        print("tool killed:", json.dumps({k: v for k, v in seen.items() if k != "tab"}))
        if status != 0:
            problems.append(f"tool killed: the browser run failed: {seen.get('error')}")
        else:
            verdict_is(problems, "tool killed", seen, "failed", "did not complete",
                       "Do not restart", "Upload the image again", "your rootfs.img",
                       f"CRC {run.crc:08x}")

        two_tabs(args, problems, run, url, shot)
    finally:
        run.stop()
    return None


def uploads(args, problems, run, url, shot, table):
    """Each row (label, the files chosen, the verdict's kind and words) one upload from a
    new tab, refused with the flash unchanged and the choices cleared."""
    for label, files, kind, words in table:
        status, seen = browser(args, "upload", url, shot("verdict-" + label.replace(" ", "-")),
                               *files)
        print(f"{label}:", json.dumps({k: v for k, v in seen.items() if k != "tab"}))
        if status != 0:
            problems.append(f"{label}: the browser run failed: {seen.get('error')}")
            continue
        verdict_is(problems, label, seen, kind, *words)
        if seen["choices_left"]:
            problems.append(f"{label}: the choices {seen['choices_left']} stay after the verdict")
        if kind == "refused":
            problems += [f"{label}: " + p for p in run.flash_unchanged()]


# How a job ended, as its folder records it (status: the write's status, then the check's;
# written: the write's alone; neither: nothing recorded, and its processes are gone), and
# the words of the page's verdict. The job is another page's: the verdict names its CRC
# and says so.
ENDINGS = [
    ("check killed", {"status": "0 143"}, ("was written", "check was stopped", "not checked")),
    ("job shell killed", {}, ("before it recorded how the write ended", "not checked")),
    ("job shell killed in the check", {"written": "0"},
     ("was written", "stopped before its check ended", "not checked")),
    ("check failed", {"status": "0 1"}, ("check after the write failed",)),
    ("write failed", {"status": "1 1"}, ("The write failed",)),
]


def endings(args, problems, run, url, shot):
    for label, recorded, words in ENDINGS:
        # The tool's pid is this test's own with another start time: a reused pid.
        run.plant_job({"id": "7-7 4096 0badc0de", "output": "Erasing flash\n",
                       "tool.pid": f"{os.getpid()} 1", **recorded})
        status, seen = browser(args, "look", url, shot("verdict-" + label.replace(" ", "-")))
        print(f"{label}:", json.dumps({k: v for k, v in seen.items() if k != "tab"}))
        if status != 0:
            problems.append(f"{label}: the browser run failed: {seen.get('error')}")
            continue
        verdict_is(problems, label, seen, "failed", *words, "Do not restart",
                   "sent from another page (CRC 0badc0de")
    shutil.rmtree(os.path.join(run.jobs, "job"))


def two_tabs(args, problems, run, url, shot):
    """Two tabs upload two releases at once: one writes, the other is refused and follows
    it; the first is closed mid-write and a new tab opens. Every tab names the image
    written, the sender's by its file name, and none takes the other's result for its own.
    The files are chosen while an earlier upgrade from elsewhere runs (its tool stopped
    until they are): its end, no click of theirs, leaves the choices in place."""
    earlier = run.data_b[:0x40000]
    request = urllib.request.Request(f"{url}cgi-bin/upgrade?crc={zlib.crc32(earlier):x}",
                                     data=earlier,
                                     headers={"Content-Type": "application/octet-stream"})
    if not json.loads(urllib.request.urlopen(request, timeout=60).read())["started"]:
        problems.append("two tabs: the earlier upgrade did not start")
        return
    tool_pid = int(open(os.path.join(run.jobs, "job", "tool.pid")).read().split()[0])
    os.kill(tool_pid, signal.SIGSTOP)
    try:
        status, seen = browser(args, "detached", url, run.image, run.crc_file, run.image_b,
                               run.crc_file_b, str(tool_pid), shot("upgrade-mid-write"),
                               shot("verdict-done"), shot("verdict-refused-tab"))
    finally:
        try:
            os.kill(tool_pid, signal.SIGCONT)   # when the browser run failed before it did
        except ProcessLookupError:
            pass
    print("two releases from two tabs:", json.dumps(seen))
    if status != 0:
        problems.append(f"two tabs: the browser run failed: {seen.get('error')}")
        return
    if not all(seen["chose_during_job"]):
        problems.append("two tabs: the earlier upgrade ended before the files were chosen")
    releases = [("rootfs.img", run.data), ("rootfs-b.img", run.data_b)]
    (name, data), (lost, lost_data) = releases[seen["started_tab"]], releases[1 - seen["started_tab"]]
    crc, lost_crc = f"CRC {zlib.crc32(data):08x}", f"CRC {zlib.crc32(lost_data):08x}"
    bar = [v for v in seen["first_tab"] if v >= 0]
    if len(bar) < 2 or bar != sorted(bar):
        problems.append(f"two tabs: the bar did not advance step by step: {seen['first_tab']}")
    if not seen["warning_mid_write"]:
        problems.append("two tabs: no warning while the flash was written")
    if seen["closed_at"] >= 100:
        problems.append(f"two tabs: the tab closed only at {seen['closed_at']} %")
    if f"your {name} ({crc}" not in seen["first_writes"]:
        problems.append(f"two tabs: the sending tab names {seen['first_writes']!r}, not {name}")
    verdict_is(problems, "two tabs, new tab", seen, "ok", "written and checked",
               f"sent from another page ({crc}")
    verdict_is(problems, "two tabs, refused tab", seen["watcher"], "ok", "written and checked",
               f"sent from another page ({crc}")
    if lost in seen["watcher"]["verdict"] or lost_crc in seen["watcher"]["verdict"]:
        problems.append(f"two tabs: the refused tab takes the result for its {lost}: "
                        f"{seen['watcher']['verdict']!r}")
    if f"your {lost} was not sent" not in seen["watcher"]["note"]:
        problems.append(f"two tabs: the refused tab says {seen['watcher']['note']!r}")
    web_status = open(os.path.join(run.jobs, "job", "status")).read().split()
    if web_status != ["0", "0"]:
        problems.append(f"two tabs: the job's write and check statuses are {web_status}")
    problems += [f"two tabs, {name} written: " + p for p in run.flash_problems(data)]


def signed_cases(args, problems, shots):
    """A device that takes only signed releases: the page asks for the signature file and
    sends it; the device refuses a release signed with another key and writes one signed
    with its own."""
    if shutil.which("signify-openbsd") is None:
        problems.append("signify-openbsd is not installed (tools/install-deps installs it)")
        return None
    run = Run(args.out, "signed", args, image_size=0x10000, delay_us=1000)
    try:
        sigs = {}
        for name in ("release", "other"):
            key = os.path.join(run.dir, name)
            subprocess.run(["signify-openbsd", "-G", "-n", "-p", key + ".pub", "-s", key + ".sec"],
                           check=True, capture_output=True)
            sigs[name] = os.path.join(run.dir, f"rootfs.img.{name}.sig")
            subprocess.run(["signify-openbsd", "-S", "-s", key + ".sec", "-m", run.image,
                            "-x", sigs[name]], check=True, capture_output=True)
        run.configure(f"UPGRADE_RELEASE_KEY='{run.dir}/release.pub'\n"
                      "UPGRADE_VERIFIER=signify-openbsd\n")
        port = free_port()
        url = run.serve(["busybox", "httpd", "-f", "-p", f"127.0.0.1:{port}", "-h", run.www],
                        port, os.path.join(run.dir, "httpd.log")) + "/"
        shot = lambda name: shots.setdefault(name, os.path.join(args.out, name + ".png"))
        uploads(args, problems, run, url, shot, [
            ("unsigned", (run.image, run.crc_file), "refused",
             ("signature file (.sig)", "Nothing was sent", "not touched")),
            ("signed with another key", (run.image, run.crc_file, sigs["other"]), "refused",
             ("not signed by this device's maker", "not touched")),
            ("signed release", (run.image, run.crc_file, sigs["release"]), "ok",
             ("written and checked", "your rootfs.img"))])
        problems += ["signed release: " + p for p in run.flash_problems()]
    finally:
        run.stop()
    return None


def kill_tool_at(run, percent):
    """Kills the job's tool with SIGKILL once its output shows percent."""
    job = os.path.join(run.jobs, "job")
    limit = time.monotonic() + 120
    while time.monotonic() < limit:
        try:
            out = open(os.path.join(job, "output"), "rb").read()
            pid = int(open(os.path.join(job, "tool.pid")).read().split()[0])
        except (OSError, ValueError):
            time.sleep(0.02)
            continue
        if f"{percent} %".encode() in out:
            os.kill(pid, signal.SIGKILL)
            return
        time.sleep(0.02)


EXEC_CGI = """#!/bin/sh
# A CGI that execs the tool, its output streamed to the client: a drop ends it with SIGTERM.
printf 'Content-Type: text/plain\\r\\nX-Content-Type-Options: nosniff\\r\\n\\r\\n'
exec '{tool}' writecramfs '{image}' HTTP
"""

LIGHTTPD_CONF = """server.document-root = "{www}"
server.bind = "127.0.0.1"
server.port = {port}
server.modules = ("mod_cgi")
server.stream-response-body = 2
server.errorlog = "{dir}/lighttpd-error.log"
mimetype.assign = (".html" => "text/html", "" => "application/octet-stream")
$HTTP["url"] =~ "^/cgi-bin/" {{ cgi.assign = ("" => "") }}
"""


def lighttpd_exec(args, problems):
    run = Run(args.out, "lighttpd", args)
    try:
        port = free_port()
        cgi = os.path.join(run.www, "cgi-bin", "flash-exec")
        with open(cgi, "w") as f:
            f.write(EXEC_CGI.format(tool=run.tool, image=run.image))
        os.chmod(cgi, 0o755)
        conf = os.path.join(run.dir, "lighttpd.conf")
        with open(conf, "w") as f:
            f.write(LIGHTTPD_CONF.format(www=run.www, port=port, dir=run.dir))
        url = run.serve(["lighttpd", "-D", "-f", conf], port, os.path.join(run.dir, "lighttpd.log"))
        status, seen = browser(args, "stream", url + "/cgi-bin/flash-exec")
        if status == SKIP:
            return seen["skip"]
        print("lighttpd, exec'ing CGI, stream-response-body 2:", json.dumps(seen))
        if status != 0:
            problems.append(f"lighttpd: the browser run failed: {seen.get('error')}")
            return None
        if seen["closed_at"] >= 100:
            problems.append(f"lighttpd: the tab closed only at {seen['closed_at']} %")
        wait_gone(run.pid_file)
        problems += ["lighttpd: " + p for p in run.flash_problems()]
    finally:
        run.stop()
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--simlib", required=True)
    parser.add_argument("--out", required=True, help="folder for the screenshot and logs")
    parser.add_argument("--npm", help="folder for puppeteer-core (default OUT/npm)")
    args = parser.parse_args()
    args.binary, args.simlib = os.path.abspath(args.binary), os.path.abspath(args.simlib)
    args.out = os.path.abspath(args.out)
    args.npm = os.path.abspath(args.npm or os.path.join(args.out, "npm"))
    os.makedirs(args.out, exist_ok=True)
    for program in ("node", "npm", "busybox", "lighttpd"):
        if shutil.which(program) is None:
            print(f"FAIL {program} is not installed (tools/install-deps installs it)")
            return 1
    started = time.monotonic()
    npm_install(args)
    problems = []
    shots = {}
    skipped = (busybox_cases(args, problems, shots) or signed_cases(args, problems, shots)
               or lighttpd_exec(args, problems))
    if skipped:
        print(f"skip: {skipped}")
        return SKIP
    print(f"browser test: {time.monotonic() - started:.1f} s; screenshots of the page:")
    for name, path in shots.items():
        print(f"  {name}: {path}")
    for problem in problems:
        print("FAIL " + problem)
    if not problems:
        print("ok   both servers: the flash holds the whole image after the dropped client")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
