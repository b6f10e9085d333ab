#!/usr/bin/env python3
"""SMS out through the HTTP API beside a peer gateway's sendsms, to one SMS centre in the
same run, both fed by ab with keep-alive:

  ab -k (POST /api/v1/messages, JSON, Bearer key) ---> tolvane (send_mode smpp) --+
                                                                                  +--> bench SMSC
  ab -k (GET /cgi-bin/sendsms) ---------------------> bearerbox + smsbox (kannel) -+

Each round starts a fresh gateway and a fresh peer, one after the other (the order
alternates), and times from the start of the feed until the centre has answered the last
submit_sm. Printed per round and as the median: submits per second of both and their
ratio. Then the answer time of the API alone: POSTs at a steady --rate per second for
--seconds over keep-alive connections (one Python client per connection), the p50, p99
and largest time from sending a request to reading its 202.

  bench/api_load.py [--build DIR] [--requests N] [--concurrency N] [--rounds N]
                    [--rate N] [--seconds N] [--keep]

Installs what is missing (node and the npm smpp package, Debian's kannel and
apache2-utils) and builds the gateway when the build directory has none. Every process it
starts is stopped, also on failure or interruption.
"""

import argparse
import hashlib
import http.client
import json
import os
import re
import secrets
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import smpp_peers as P  # noqa: E402

RECIPIENT = "+61412345678"
TEXT = "Your code is 123456; it is good for ten minutes."


def key_settings(workdir):
    """A key made as -apikey makes one (its SHA-256 in the key file), and the settings."""
    key = "tv_" + secrets.token_hex(32)
    path = os.path.join(workdir, "api_keys.dat")
    with open(path, "w") as f:
        f.write("bench|%s|whsec_%s|%d\n" % (hashlib.sha256(key.encode()).hexdigest(),
                                            secrets.token_hex(32), int(time.time())))
    os.chmod(path, 0o600)
    return key, path


def run_gateway(args, smsc, workdir, n, key, key_file):
    port = P.free_port()
    gw = P.Gateway(args.binary, workdir, "gw-api-%d" % n, smsc.port, P.free_port(),
                   recv_mode="none",
                   extra=["api_port %d" % port, "api_key_file %s" % key_file,
                          "sender_ids bench bench"])
    P.wait_port(port, gw)
    smsc.wait("bind_transmitter", system_id=gw.system_id)
    base = smsc.submits(gw.system_id)
    smsc.command(cmd="expect", system_id=gw.system_id, count=base + args.requests)
    body = os.path.join(workdir, "body.json")
    with open(body, "w") as f:
        json.dump({"to": RECIPIENT, "text": TEXT, "from": "bench"}, f)
    t0 = P.now_ms()
    run = subprocess.run(["ab", "-q", "-k", "-c", str(args.concurrency), "-n", str(args.requests),
                          "-p", body, "-T", "application/json",
                          "-H", "Authorization: Bearer " + key,
                          "http://127.0.0.1:%d/api/v1/messages" % port],
                         capture_output=True, text=True)
    t_in = P.now_ms()
    check_ab(run, "API requests")
    t1 = smsc.wait("reached", system_id=gw.system_id, timeout=600)["t"]
    cpu, hwm = gw.usage()
    gw.stop()
    res = {"rate": P.rate(args.requests, t0, t1), "in_rate": P.rate(args.requests, t0, t_in),
           "cpu": cpu, "hwm": hwm}
    P.log("  gateway: %(rate).0f submits/s (requests in %(in_rate).0f/s), CPU %(cpu).2fs, "
          "VmHWM %(hwm)d kB" % res)
    return res


def check_ab(run, what):
    # ab counts an answer whose length differs from the first one's as failed: the API's
    # message ids grow in length, so only connections, reads and exceptions count.
    failed = re.search(r"\(Connect: (\d+), Receive: (\d+), Length: \d+, Exceptions: (\d+)\)",
                       run.stdout)
    bad = failed and any(int(x) for x in failed.groups())
    non2xx = re.search(r"Non-2xx responses:\s+(\d+)", run.stdout)
    if run.returncode != 0 or bad or non2xx:
        raise RuntimeError("%s failed:\n%s%s" % (what, run.stdout[-1500:], run.stderr))


def run_kannel(args, smsc, workdir):
    k = P.Kannel(workdir, smsc.port)
    smsc.wait("bind_transceiver", system_id=P.Kannel.SYSTEM_ID)
    base = smsc.submits(P.Kannel.SYSTEM_ID)
    smsc.command(cmd="expect", system_id=P.Kannel.SYSTEM_ID, count=base + args.requests)
    url = "http://127.0.0.1:%d/cgi-bin/sendsms?%s" % (k.sendsms_port, urllib.parse.urlencode(
        {"username": "bench", "password": "bench", "from": "bench", "to": RECIPIENT,
         "text": TEXT}))
    t0 = P.now_ms()
    run = subprocess.run(["ab", "-q", "-k", "-c", str(args.concurrency), "-n",
                          str(args.requests), url], capture_output=True, text=True)
    t_in = P.now_ms()
    try:
        check_ab(run, "sendsms requests")
        t1 = smsc.wait("reached", system_id=P.Kannel.SYSTEM_ID, timeout=600)["t"]
        cpu, hwm = k.usage()
    finally:
        k.stop()
    res = {"rate": P.rate(args.requests, t0, t1), "in_rate": P.rate(args.requests, t0, t_in),
           "cpu": cpu, "hwm": hwm}
    P.log("  kannel:  %(rate).0f submits/s (requests in %(in_rate).0f/s), CPU %(cpu).2fs, "
          "VmHWM %(hwm)d kB (bearerbox + smsbox)" % res)
    return res


def answer_times(args, smsc, workdir, key, key_file):
    """POSTs at a steady rate over keep-alive connections; the answer time of each."""
    port = P.free_port()
    gw = P.Gateway(args.binary, workdir, "gw-api-latency", smsc.port, P.free_port(),
                   recv_mode="none",
                   extra=["api_port %d" % port, "api_key_file %s" % key_file,
                          "sender_ids bench bench"])
    P.wait_port(port, gw)
    smsc.wait("bind_transmitter", system_id=gw.system_id)
    body = json.dumps({"to": RECIPIENT, "text": TEXT, "from": "bench"})
    headers = {"Authorization": "Bearer " + key, "Content-Type": "application/json"}
    clients = 8
    total = args.rate * args.seconds
    times, errors = [], []
    lock = threading.Lock()
    start = time.monotonic() + 0.2

    def client(i):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        mine = []
        for n in range(i, total, clients):
            due = start + n / args.rate
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            t = time.monotonic()
            conn.request("POST", "/api/v1/messages", body, headers)
            r = conn.getresponse()
            r.read()
            mine.append(time.monotonic() - t)
            if r.status != 202:
                with lock:
                    errors.append(r.status)
        conn.close()
        with lock:
            times.extend(mine)

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    gw.stop()
    if errors:
        raise RuntimeError("%d answers were not 202: %s" % (len(errors), sorted(set(errors))))
    times.sort()
    pick = lambda q: times[min(len(times) - 1, int(q * len(times)))] * 1000.0  # noqa: E731
    P.log("answer time at %d POST/s for %d s (%d requests, %d keep-alive connections): "
          "p50 %.2f ms, p99 %.2f ms, max %.2f ms"
          % (args.rate, args.seconds, len(times), clients, pick(0.5), pick(0.99), times[-1] * 1000))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(P.ROOT, "build"))
    ap.add_argument("--requests", type=int, default=10000)
    ap.add_argument("--concurrency", type=int, default=32)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--rate", type=int, default=200)
    ap.add_argument("--seconds", type=int, default=20)
    ap.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = ap.parse_args()
    args.binary = os.path.join(os.path.abspath(args.build), "tolvane")
    P.install_cleanup()
    P.ensure_tools(args.binary, args.build, need_ab=True)
    workdir = P.make_workdir("tv-apibench.")
    try:
        P.log("SMS out by HTTP: %d requests, %d at once, keep-alive on both; load %s"
              % (args.requests, args.concurrency, P.load_line()))
        key, key_file = key_settings(workdir)
        smsc = P.Smsc(workdir)
        gws, ks = [], []
        for n in range(args.rounds):
            P.log("round %d (load %s)" % (n + 1, P.load_line()))
            for who in (["gw", "k"] if n % 2 == 0 else ["k", "gw"]):
                if who == "gw":
                    gws.append(run_gateway(args, smsc, workdir, n, key, key_file))
                else:
                    ks.append(run_kannel(args, smsc, workdir))
        P.report_rounds(args.rounds, gws, ks, "submits/s")
        answer_times(args, smsc, workdir, key, key_file)
    finally:
        P.stop_all()
        P.remove_workdir(workdir, args.keep)


if __name__ == "__main__":
    try:
        main()
    except RuntimeError as e:
        P.fail(str(e))
