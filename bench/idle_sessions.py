#!/usr/bin/env python3
"""Idle SMTP sessions on the real gateway: holds N clients that were greeted and said EHLO
(then stay silent), and prints the gateway's resident memory and threads while they are
held, how long a new client waits for its greeting meanwhile (median and worst of 50),
and what client N+1 is told when smtp_max_sessions is N.

    bench/idle_sessions.py [--sessions 10000] [--bin build/tolvane]

The gateway runs on a temporary home with the robot transport (nothing is sent) and
its own clients' idle limit raised so that the held clients are not dropped meanwhile.
"""

import argparse
import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time


def status(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


def greet_ms(port):
    t0 = time.monotonic()
    s = socket.create_connection(("127.0.0.1", port), 10)
    s.recv(200)
    took = (time.monotonic() - t0) * 1000
    s.sendall(b"QUIT\r\n")
    s.close()
    return took


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sessions", type=int, default=10000)
    ap.add_argument("--bin", default=os.path.join(os.path.dirname(__file__), "..", "build",
                                                   "tolvane"))
    a = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = a.sessions + 200
    if hard < want:
        sys.exit("needs %d open files, the limit is %d" % (want, hard))
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, want), hard))
    home = tempfile.mkdtemp(prefix="tv-idle-")
    try:
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        robot = os.path.join(home, "robot.sh")
        with open(robot, "w") as f:
            f.write("#!/bin/sh\ncat >/dev/null\necho SUCCESS\n")
        os.chmod(robot, 0o755)
        ini = os.path.join(home, "tolvane.ini")
        with open(ini, "w") as f:
            for k, v in (("home", home), ("workpath", home + "/work"), ("logpath", home),
                         ("smtp_inport", port), ("web_port", 0), ("web_https", "false"),
                         ("delivery_mode", "robot"), ("send_mode", "robot"),
                         ("recv_mode", "none"), ("robot_cmd", robot),
                         ("smtp_max_sessions", a.sessions), ("loglevel", "error")):
                f.write("%s %s\n" % (k, v))
        gw = subprocess.Popen([a.bin, "-config", ini, "-foreground"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
        try:
            for _ in range(200):
                try:
                    greet_ms(port)
                    break
                except OSError:
                    time.sleep(0.05)
            rss0, thr0 = status(gw.pid, "VmRSS"), status(gw.pid, "Threads")
            held, t0 = [], time.monotonic()
            for i in range(a.sessions):
                c = socket.create_connection(("127.0.0.1", port), 30)
                c.recv(200)
                c.sendall(b"EHLO idle%d.example\r\n" % i)
                held.append(c)
            for c in held:  # every EHLO answered: each session is past its greeting
                c.settimeout(30)
                got = b""
                while b"\r\n250 " not in got and not got.startswith(b"250 "):
                    chunk = c.recv(4096)
                    if not chunk:
                        break
                    got += chunk
            opened = time.monotonic() - t0
            time.sleep(1)
            rss, thr = status(gw.pid, "VmRSS"), status(gw.pid, "Threads")
            extra = socket.create_connection(("127.0.0.1", port), 10)
            extra.settimeout(10)
            over = extra.recv(200).decode(errors="replace").strip()
            extra.close()
            # The cap is full: a greeting needs one session to go first.
            held.pop().close()
            time.sleep(0.2)
            waits = []
            for _ in range(50):
                waits.append(greet_ms(port))
            print("gateway at start: RSS %d kB, %d threads" % (rss0, thr0))
            print("%d idle sessions held (opened and greeted in %.1f s): RSS %d kB (%.0f MB),"
                  " %d threads" % (a.sessions, opened, rss, rss / 1024, thr))
            print("client %d is told: %s" % (a.sessions + 1, over))
            print("greeting while they are held: median %.2f ms, worst %.2f ms (50 clients)"
                  % (statistics.median(waits), max(waits)))
            for c in held:
                c.close()
        finally:
            gw.terminate()
            try:
                gw.wait(30)
            except subprocess.TimeoutExpired:
                gw.kill()
                gw.wait()
    finally:
        shutil.rmtree(home, True)


if __name__ == "__main__":
    main()
