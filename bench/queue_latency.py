#!/usr/bin/env python3
"""Latency from a mail's "250" to its SMS reaching an SMS provider, at light load.

    smtplib (one connection, one mail every 20 ms) --> tolvane (send_mode smtp) --> sink

The sink is a small SMTP server in this script that notes when each mail's data ends; the
SMS text carries the mail's sequence number, so each arrival is matched to the moment its
"250" reached the client. Printed: p50, p99 and max of 250 -> arrival, and as the
reference measured in the same run, the same client's own mail round trip straight to the
sink (MAIL FROM to "250" after the data), so the gateway's share can be judged.

    bench/queue_latency.py [build-dir] [mails]

Defaults: build, 200 mails. Free loopback ports, a temporary home; the gateway is stopped
at the end, also on failure.
"""

import os
import re
import shutil
import smtplib
import socket
import socketserver
import statistics
import subprocess
import sys
import tempfile
import threading
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
MAILS = int(sys.argv[2]) if len(sys.argv) > 2 else 200
PAUSE = 0.020
BIN = os.path.abspath(os.path.join(build, "tolvane"))

arrivals = {}
lock = threading.Lock()


class SinkHandler(socketserver.StreamRequestHandler):
    def handle(self):
        w = self.wfile
        w.write(b"220 sink\r\n")
        in_data, body = False, []
        for raw in self.rfile:
            line = raw.rstrip(b"\r\n")
            if in_data:
                if line == b".":
                    t = time.monotonic()
                    m = re.search(rb"seq(\d+)x", b"\n".join(body))
                    if m:
                        with lock:
                            arrivals.setdefault(int(m.group(1)), t)
                    in_data, body = False, []
                    w.write(b"250 ok\r\n")
                else:
                    body.append(line)
                continue
            cmd = line[:4].upper()
            if cmd == b"DATA":
                in_data = True
                w.write(b"354 go\r\n")
            elif cmd == b"QUIT":
                w.write(b"221 bye\r\n")
                return
            else:
                w.write(b"250 ok\r\n")


class Sink(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))] * 1000


def main():
    if not os.access(BIN, os.X_OK):
        sys.exit("no gateway at %s (build it first)" % BIN)
    sink = Sink(("127.0.0.1", 0), SinkHandler)
    threading.Thread(target=sink.serve_forever, daemon=True).start()
    sink_port = sink.server_address[1]

    # Reference: the client's own round trip to the sink.
    ref = []
    c = smtplib.SMTP("127.0.0.1", sink_port)
    c.helo("bench")
    for i in range(MAILS):
        t = time.monotonic()
        c.sendmail("a@corp.example", ["ref@sink"], "Subject: r\r\n\r\nref\r\n")
        ref.append(time.monotonic() - t)
    c.quit()

    home = tempfile.mkdtemp(prefix="tv-latency-")
    port = free_port()
    with open(os.path.join(home, "tolvane.ini"), "w") as f:
        f.write("\n".join([
            "home " + home, "workpath " + home + "/work", "logpath " + home,
            "loglevel info", "smtp_inport %d" % port, "web_port %d" % free_port(),
            "web_https false", "delivery_mode smtp", "recv_mode none",
            "smtp_outserver 127.0.0.1", "smtp_outport %d" % sink_port,
            "smtp_sms_todomain sms.provider.example", "smtp_domain gw.example",
            "smtp_debug_file disabled", "phone_country +61",
            'limit name="msgrec" from="1000000000" to="1000000000" period="24"', ""]))
    out = open(os.path.join(home, "stdout.txt"), "wb")
    gw = subprocess.Popen([BIN, "-config", os.path.join(home, "tolvane.ini"), "-foreground"],
                          stdout=out, stderr=subprocess.STDOUT, cwd=home)
    try:
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or gw.poll() is not None:
                    sys.exit("the gateway did not start")
                time.sleep(0.05)
        acked = {}
        c = smtplib.SMTP("127.0.0.1", port)
        c.helo("bench")
        for i in range(MAILS):
            c.sendmail("a@corp.example", ["0412345678@gw"], "Subject: seq%dx\r\n\r\nlatency\r\n" % i)
            acked[i] = time.monotonic()
            time.sleep(PAUSE)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            with lock:
                if len(arrivals) >= MAILS:
                    break
            time.sleep(0.01)
        c.quit()
    finally:
        open(os.path.join(home, "tolvane.exit"), "w").close()
        try:
            gw.wait(timeout=30)
        except subprocess.TimeoutExpired:
            gw.kill()
        out.close()
        shutil.rmtree(home, True)
        sink.shutdown()
    lat = [arrivals[i] - acked[i] for i in acked if i in arrivals]
    print("sink round trip straight from the client: p50 %.2f ms, p99 %.2f ms"
          % (pct(ref, 50), pct(ref, 99)))
    print("gateway 250 -> SMS at the provider sink (%d of %d arrived, one mail every %d ms): "
          "p50 %.2f ms, p99 %.2f ms, max %.2f ms"
          % (len(lat), MAILS, PAUSE * 1000, pct(lat, 50), pct(lat, 99), max(lat) * 1000))


if __name__ == "__main__":
    main()
