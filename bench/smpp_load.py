#!/usr/bin/env python3
"""SMS out through an SMS centre, the gateway beside a peer gateway in the same run:

  smtp-source (20 sessions, one recipient a mail) --> tolvane (send_mode smpp) --+
                                                                                 +--> bench SMSC
  ab (32 concurrent sendsms requests) ----------> bearerbox + smsbox (kannel) ---+

The SMS centre (tests/peers/bench_smsc.js, npm smpp) answers every submit_sm at once and
counts them per bound system_id. Each round starts a fresh gateway and a fresh peer, one
after the other (the order alternates between rounds), and times from the start of the
feed until the centre has answered the last submit_sm. Printed per round and as the
median over the rounds: submits per second of both, the ratio gateway/peer, and the CPU
seconds and peak resident memory (VmHWM) of the gateway and of the peer's two processes.

  bench/smpp_load.py [--build DIR] [--mails N] [--sessions N] [--concurrency N]
                     [--rounds N] [--smtp-reuse] [--peer-keep-alive] [--no-drain]
                     [--keep]

By default both feeds do what the two tools do by default: smtp-source opens a connection
per mail and ab one per request. --smtp-reuse makes both keep their connections
(smtp-source -d, ab -k); --peer-keep-alive keeps only ab's (the unlike pairing this script
used by default before). --peer-new-connections is accepted and changes nothing (it is
the default now).

Then, as a diagnosis, the sending sides alone: each of the two takes the whole load while
the centre is away, and the rate at which it empties its queue once the centre is back
is printed (the peer keeps its queue in memory; the gateway's is on disk), with the rate
at which the load went in meanwhile (the intake alone).

Installs what is missing (postfix's smtp-source, node and the npm smpp package,
Debian's kannel and apache2-utils) and builds the gateway when the build directory has
none. Every process it starts is stopped, also on failure or interruption.
"""

import argparse
import os
import re
import time
import subprocess
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import smpp_peers as P  # noqa: E402

RECIPIENT = "0412345678"


def smtp_source(args, port):
    # By default a connection per mail, as smtp-source does; with --smtp-reuse the
    # sessions stay open like the peer's kept-alive HTTP connections.
    return (["smtp-source", "-s", str(args.sessions), "-m", str(args.mails)]
            + (["-d"] if args.smtp_reuse else [])
            + ["-f", "bench@corp.example", "-t", RECIPIENT + "@gw.example", "-S", "load test",
               "127.0.0.1:%d" % port])


def peer_keeps(args):
    return args.smtp_reuse or args.peer_keep_alive


def ab(args, url):
    # A connection per request, as smtp-source makes one per mail; kept alive with
    # --smtp-reuse (both keep theirs) or --peer-keep-alive (only the peer).
    return (["ab", "-q"] + (["-k"] if peer_keeps(args) else [])
            + ["-c", str(args.concurrency), "-n", str(args.mails), url])


def run_gateway(args, smsc, workdir, n, relay_port):
    gw = P.Gateway(args.binary, workdir, "gw-out-%d" % n, smsc.port, relay_port)
    smsc.wait("bind_transmitter", system_id=gw.system_id)
    base = smsc.submits(gw.system_id)
    smsc.command(cmd="expect", system_id=gw.system_id, count=base + args.mails)
    t0 = P.now_ms()
    subprocess.run(smtp_source(args, gw.port), check=True)
    t_in = P.now_ms()
    t1 = smsc.wait("reached", system_id=gw.system_id, timeout=600)["t"]
    cpu, hwm = gw.usage()
    octets = smsc.octets(gw.system_id)
    # The queue writes the SUCCESS record after the answer: let the last ones land.
    deadline = time.monotonic() + 30
    while gw.records("SUCCESS") < args.mails and time.monotonic() < deadline:
        time.sleep(0.05)
    ok, failed = gw.records("SUCCESS"), gw.records("FAILURE")
    gw.stop()
    res = {"rate": P.rate(args.mails, t0, t1), "in_rate": P.rate(args.mails, t0, t_in),
           "cpu": cpu, "hwm": hwm, "octets": octets, "ok": ok, "failed": failed}
    P.log("  gateway: %(rate).0f submits/s (mails in %(in_rate).0f/s), CPU %(cpu).2fs, "
          "VmHWM %(hwm)d kB, %(octets)d octets a submit, SUCCESS %(ok)d FAILURE %(failed)d"
          % res)
    if ok != args.mails or failed:
        P.log("  warning: the gateway's records do not show every mail sent once")
    return res


def run_kannel(args, smsc, workdir, text):
    k = P.Kannel(workdir, smsc.port)
    smsc.wait("bind_transceiver", system_id=P.Kannel.SYSTEM_ID)
    base = smsc.submits(P.Kannel.SYSTEM_ID)
    smsc.command(cmd="expect", system_id=P.Kannel.SYSTEM_ID, count=base + args.mails)
    url = "http://127.0.0.1:%d/cgi-bin/sendsms?%s" % (k.sendsms_port, urllib.parse.urlencode(
        {"username": "bench", "password": "bench", "from": "bench", "to": RECIPIENT,
         "text": text}))
    t0 = P.now_ms()
    ab_run = subprocess.run(ab(args, url), capture_output=True, text=True)
    t_in = P.now_ms()
    failed = re.search(r"Failed requests:\s+(\d+)", ab_run.stdout)
    non2xx = re.search(r"Non-2xx responses:\s+(\d+)", ab_run.stdout)
    if ab_run.returncode != 0 or (failed and int(failed.group(1))) or non2xx:
        k.stop()
        raise RuntimeError("sendsms requests failed:\n%s%s"
                           % (ab_run.stdout[-1500:], ab_run.stderr))
    t1 = smsc.wait("reached", system_id=P.Kannel.SYSTEM_ID, timeout=600)["t"]
    cpu, hwm = k.usage()
    octets = smsc.octets(P.Kannel.SYSTEM_ID)
    k.stop()
    res = {"rate": P.rate(args.mails, t0, t1), "in_rate": P.rate(args.mails, t0, t_in),
           "cpu": cpu, "hwm": hwm, "octets": octets}
    P.log("  kannel:  %(rate).0f submits/s (requests in %(in_rate).0f/s), CPU %(cpu).2fs, "
          "VmHWM %(hwm)d kB (bearerbox + smsbox), %(octets)d octets a submit" % res)
    return res


def drain(args, workdir, text):
    """The sending side alone: each gateway takes the whole load while its SMS centre is
    not there yet, then the centre comes up and the time from its bind to the last
    answered submit_sm gives the rate at which the SMPP side empties the queue. The
    time the load took to go in, with nothing sent meanwhile, is the intake alone."""
    res, intake = {}, {}
    for who in ("gw", "k"):
        port = P.free_port()
        if who == "gw":
            peer = P.Gateway(args.binary, workdir, "gw-drain", port, P.free_port(),
                             extra=["smpp_reconnect_max 1"])
            system_id = peer.system_id
            t0 = P.now_ms()
            subprocess.run(smtp_source(args, peer.port), check=True)
        else:
            peer = P.Kannel(workdir, port)
            system_id = P.Kannel.SYSTEM_ID
            url = "http://127.0.0.1:%d/cgi-bin/sendsms?%s" % (
                peer.sendsms_port, urllib.parse.urlencode(
                    {"username": "bench", "password": "bench", "from": "bench",
                     "to": RECIPIENT, "text": text}))
            t0 = P.now_ms()
            subprocess.run(ab(args, url), capture_output=True, check=True)
        intake[who] = P.rate(args.mails, t0, P.now_ms())
        smsc = P.Smsc(workdir, port=port, name="smsc-drain-" + who)
        smsc.command(cmd="expect", system_id=system_id, count=args.mails)
        bound = smsc.wait("bind_" + ("transmitter" if who == "gw" else "transceiver"),
                          system_id=system_id)["t"]
        t1 = smsc.wait("reached", system_id=system_id, timeout=600)["t"]
        cpu, _ = peer.usage()
        peer.stop()
        smsc.stop()
        res[who] = P.rate(args.mails, bound, t1)
        P.log("  %s intake alone %.0f/s, queue drained at %.0f submits/s (CPU %.2fs for the "
              "whole run)" % ("gateway:" if who == "gw" else "kannel: ", intake[who], res[who],
                              cpu))
    P.log("drain ratio %.2fx, intake ratio %.2fx"
          % (res["gw"] / res["k"] if res["k"] else 0.0,
             intake["gw"] / intake["k"] if intake["k"] else 0.0))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(P.ROOT, "build"))
    ap.add_argument("--mails", type=int, default=10000)
    ap.add_argument("--sessions", type=int, default=20)
    ap.add_argument("--concurrency", type=int, default=32)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--smtp-reuse", action="store_true",
                    help="both feeds keep their connections (smtp-source -d, ab -k)")
    ap.add_argument("--peer-keep-alive", action="store_true",
                    help="only the peer's feed keeps its connections (ab -k)")
    ap.add_argument("--peer-new-connections", action="store_true",
                    help="the default: a connection per sendsms request (ab without -k)")
    ap.add_argument("--no-drain", dest="drain", action="store_false",
                    help="skip the queue-drain comparison of the sending sides alone")
    ap.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = ap.parse_args()
    args.binary = os.path.join(os.path.abspath(args.build), "tolvane")
    P.install_cleanup()
    P.ensure_tools(args.binary, args.build, need_ab=True)

    workdir = P.make_workdir("tv-smppbench.")
    try:
        P.log("SMS out: %d mails/requests, %d SMTP sessions (%s), %d HTTP requests at once "
              "(%s); load %s"
              % (args.mails, args.sessions,
                 "connections kept" if args.smtp_reuse else "a connection per mail",
                 args.concurrency,
                 "kept alive" if peer_keeps(args) else "a connection per request",
                 P.load_line()))
        smsc = P.Smsc(workdir)
        relay_port = P.free_port()  # nothing is mailed on this path; no relay listens
        # The peer sends the same text the gateway makes of smtp-source's mail.
        text = None
        gws, ks = [], []
        for n in range(args.rounds):
            P.log("round %d (load %s)" % (n + 1, P.load_line()))
            order = ["gw", "k"] if n % 2 == 0 else ["k", "gw"]
            if text is None:
                order = ["gw", "k"]
            for who in order:
                if who == "gw":
                    gws.append(run_gateway(args, smsc, workdir, n, relay_port))
                    if text is None:
                        text = "x" * max(1, gws[-1]["octets"])
                else:
                    ks.append(run_kannel(args, smsc, workdir, text))
        P.report_rounds(args.rounds, gws, ks, "submits/s")
        if args.drain:
            P.log("queue drain, the sending sides alone (load %s)" % P.load_line())
            drain(args, workdir, text or "x" * 84)
    finally:
        P.stop_all()
        P.remove_workdir(workdir, args.keep)


if __name__ == "__main__":
    try:
        main()
    except RuntimeError as e:
        P.fail(str(e))
