#!/usr/bin/env python3
"""The example web upgrade (examples/web) in a real browser, and a dropped client on the
servers that used to cut a write.

  run_web_test.py --binary BUILD/flashtool --simlib BUILD/.../libflashsim.so --out DIR

1. busybox httpd serving examples/web/www, the tool under the flash simulator slowed down
   (FLASHSIM_DELAY_US): chromium uploads an image, the bar advances, the tab is closed at
   about 30 %, a new tab shows the job done; the flash then holds the image byte for byte.
2. lighttpd with server.stream-response-body and a CGI that execs the tool, its output
   streamed to the tab: the tab is closed at about 30 % (lighttpd then sends the tool
   SIGTERM); the flash still holds the whole image.
Servers listen on 127.0.0.1 only, on free ports; everything started here is stopped at the
end, also on a failure. DIR keeps the screenshot of the page mid-write and the servers'
logs. Exits 77 (skipped) only when chromium cannot start at all.
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
import time
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
    pid = int(open(pid_file).read())
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
        conf = os.path.join(self.www, "cgi-bin", "upgrade.conf")
        settings = (f"UPGRADE_JOBS='{self.jobs}'\nUPGRADE_TOOL='{self.tool}'\n"
                    "UPGRADE_COMMAND=writecramfs\n")
        with open(conf) as f:
            text = f.read()
        with open(conf, "w") as f:
            f.write(settings + text)

    def serve(self, argv, port, log):
        proc = subprocess.Popen(argv, cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=open(log, "wb"), stderr=subprocess.STDOUT,
                                start_new_session=True)
        self.procs.append(proc)
        wait_for_port(port, proc)
        return f"http://127.0.0.1:{port}"

    def flash_problems(self):
        """What differs from the start flash with the image written into mtd2."""
        with open(self.flash, "rb") as f:
            now = f.read()
        start, length = MTD2
        want = bytearray(self.start)
        want[start:start + length] = self.data + b"\xff" * (length - len(self.data))
        if now == bytes(want):
            return []
        first = next(i for i in range(len(now)) if now[i] != want[i])
        written = next((i for i in range(len(self.data)) if now[start + i] != self.data[i]),
                       len(self.data))
        return [f"flash differs from 0x{first:06x}; the image is in place up to "
                f"{written * 100 // len(self.data)} % of it"]

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


def busybox_detached(args, problems):
    run = Run(args.out, "busybox", args)
    try:
        port = free_port()
        url = run.serve(["busybox", "httpd", "-f", "-vv", "-p", f"127.0.0.1:{port}",
                         "-h", run.www], port, os.path.join(run.dir, "httpd.log"))
        shot = os.path.join(args.out, "upgrade-mid-write.png")
        status, seen = browser(args, "detached", url + "/", run.image, shot)
        if status == SKIP:
            return seen["skip"]
        print("busybox httpd, detached job:", json.dumps(seen))
        if status != 0:
            problems.append(f"busybox: the browser run failed: {seen.get('error')}")
            return None
        bar = [v for v in seen["first_tab"] if v > 0]
        if len(bar) < 2 or bar != sorted(bar):
            problems.append(f"busybox: the bar did not advance step by step: {seen['first_tab']}")
        if not seen["warning_shown"]:
            problems.append("busybox: no warning while the flash was written")
        if seen["closed_at"] >= 100:
            problems.append(f"busybox: the tab closed only at {seen['closed_at']} %")
        if seen["second_tab"][-1] != "verdict ok" or "complete" not in seen["verdict"]:
            problems.append(f"busybox: the new tab shows {seen['second_tab']}: {seen['verdict']}")
        wait_gone(run.pid_file)
        with open(os.path.join(run.dir, "jobs", "job", "status")) as f:
            if f.read().strip() != "0":
                problems.append("busybox: the job's status is not 0")
        problems += ["busybox: " + p for p in run.flash_problems()]
    finally:
        run.stop()
    return None


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
    for case in (busybox_detached, lighttpd_exec):
        skipped = case(args, problems)
        if skipped:
            print(f"skip: {skipped}")
            return SKIP
    print(f"browser test: {time.monotonic() - started:.1f} s; screenshot of the page "
          f"mid-write: {os.path.join(args.out, 'upgrade-mid-write.png')}")
    for problem in problems:
        print("FAIL " + problem)
    if not problems:
        print("ok   both servers: the flash holds the whole image after the dropped client")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
