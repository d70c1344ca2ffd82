#!/usr/bin/env python3
"""Measures what a dropped client leaves in the flash, per web server and per way of running
the tool: a CGI that execs it, a shell CGI that runs it as a child, and the detached job of
examples/web. Not a test: it prints a table (the browser test checks the cases that matter).

  drop_matrix.py --binary BUILD/flashtool --simlib .../libflashsim.so --out DIR

Each run writes a 1 MiB image into mtd2 under the simulator slowed down, reads the response
until the progress passes 30 %, closes the connection, waits for the tool to end and
compares mtd2 with the image.
"""
import argparse
import os
import re
import socket
import sys
import time
import urllib.request

import run_web_test as web

SHELL_CGI = """#!/bin/sh
printf 'Content-Type: text/plain\\r\\n\\r\\n'
'{tool}' writecramfs '{image}' HTTP
echo "status $?"
"""
SERVERS = ("busybox httpd", "lighttpd stream 2", "lighttpd stream 0", "mini_httpd")
WAYS = ("exec CGI", "shell CGI", "detached")


def drop_at_30(port, path):
    """GETs path, reads until the compact progress passes 30 %, then closes abruptly."""
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(f"GET {path} HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n".encode())
    seen = b""
    limit = time.monotonic() + 60
    while time.monotonic() < limit:
        s.settimeout(limit - time.monotonic())
        chunk = s.recv(4096)
        if not chunk:
            break
        seen += chunk
        entries = re.findall(rb"(\d+) %", seen)
        if entries and int(entries[-1]) >= 30:
            break
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    s.close()
    entries = re.findall(rb"(\d+) %", seen)
    return int(entries[-1]) if entries else None


def one(args, server, way):
    run = web.Run(args.out, re.sub(r"\W+", "-", f"{server}-{way}"), args)
    try:
        cgi = os.path.join(run.www, "cgi-bin", "flash")
        with open(cgi, "w") as f:
            f.write((web.EXEC_CGI if way == "exec CGI" else SHELL_CGI)
                    .format(tool=run.tool, image=run.image))
        os.chmod(cgi, 0o755)
        port = web.free_port()
        if server == "busybox httpd":
            url = run.serve(["busybox", "httpd", "-f", "-p", f"127.0.0.1:{port}", "-h", run.www],
                            port, os.path.join(run.dir, "httpd.log"))
        elif server == "mini_httpd":
            url = run.serve(["mini_httpd", "-D", "-h", "127.0.0.1", "-p", str(port), "-d", run.www,
                             "-c", "cgi-bin/*", "-u", "root", "-l", os.path.join(run.dir, "access.log")],
                            port, os.path.join(run.dir, "mini_httpd.log"))
        else:
            conf = os.path.join(run.dir, "lighttpd.conf")
            with open(conf, "w") as f:
                f.write(web.LIGHTTPD_CONF.format(www=run.www, port=port, dir=run.dir)
                        .replace("stream-response-body = 2",
                                 "stream-response-body = " + server.split()[-1]))
            url = run.serve(["lighttpd", "-D", "-f", conf], port,
                            os.path.join(run.dir, "lighttpd.log"))
        if way == "detached":
            with open(run.image, "rb") as f:
                request = urllib.request.Request(url + f"/cgi-bin/upgrade?crc={run.crc:x}",
                                                 data=f.read(),
                                                 headers={"Content-Type": "application/octet-stream"})
            try:
                urllib.request.urlopen(request, timeout=60).read()
            except OSError as error:
                # mini_httpd 1.30 may answer a POST to a CGI with an empty reply, even when
                # the CGI ran: the job may be under way all the same.
                print(f"  {server}: upload: {error}", file=sys.stderr)
            seen = drop_at_30(port, "/cgi-bin/progress")
        else:
            seen = drop_at_30(port, "/cgi-bin/flash")
        try:
            web.wait_gone(run.pid_file, seconds=60)
        except RuntimeError:
            return "the tool never started"
        problems = run.flash_problems()
        verdict = "whole" if not problems else re.sub(r".*up to ", "CUT at ", problems[0])
        return f"{verdict} (dropped at {seen} %)" if seen is not None else \
            f"{verdict} (no progress seen before the end)"
    finally:
        run.stop()


def long_write(args):
    """An exec'ing CGI on mini_httpd with the client kept: a write longer than its CGI alarm."""
    blocks = 64
    web.DELAY_US = args.long * 1000000 // blocks
    web.IMAGE_SIZE = blocks * 1024
    run = web.Run(args.out, "mini_httpd-long", args)
    try:
        cgi = os.path.join(run.www, "cgi-bin", "flash")
        with open(cgi, "w") as f:
            f.write(web.EXEC_CGI.format(tool=run.tool, image=run.image))
        os.chmod(cgi, 0o755)
        port = web.free_port()
        url = run.serve(["mini_httpd", "-D", "-h", "127.0.0.1", "-p", str(port), "-d", run.www,
                         "-c", "cgi-bin/*", "-u", "root", "-l", os.path.join(run.dir, "access.log")],
                        port, os.path.join(run.dir, "mini_httpd.log"))
        body = urllib.request.urlopen(url + "/cgi-bin/flash", timeout=args.long * 2).read()
        web.wait_gone(run.pid_file)
        problems = run.flash_problems()
        last = re.findall(rb"(\d+) %", body)
        return ("whole" if not problems else re.sub(r".*up to ", "CUT at ", problems[0])) + \
            f" (the client saw {int(last[-1]) if last else 0} %)"
    finally:
        run.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--simlib", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--long", type=int, help="instead: one write of this many seconds "
                        "through mini_httpd, which arms alarm(300) in its CGIs")
    args = parser.parse_args()
    args.binary, args.simlib = os.path.abspath(args.binary), os.path.abspath(args.simlib)
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    if args.long:
        print("mini_httpd, exec CGI, no drop, a write of", args.long, "s:", long_write(args))
        return 0
    print(f"{'server':<20}" + "".join(f"{way:<38}" for way in WAYS))
    for server in SERVERS:
        print(f"{server:<20}" + "".join(f"{one(args, server, way):<38}" for way in WAYS),
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
