#!/usr/bin/env python3
"""SMS in from an SMS centre, the gateway beside a peer gateway in the same run:

                 +--> tolvane (recv_mode smpp) -----------> smtp-sink (counting)
  bench SMSC  ---+
  (deliver_sm)   +--> bearerbox + smsbox (kannel) --------> HTTP sink (counting)

The SMS centre (tests/peers/bench_smsc.js, npm smpp) pushes deliver_sm over the
receiving bind with a fixed window (10 unanswered at most by default) and times every
deliver_sm_resp. Each round starts a fresh gateway and a fresh peer, one after the other
(the order alternates), and measures two rates from the first deliver_sm: until the last
one is answered, and until the last one has arrived at the sink (the figure compared).
Then, with the gateway's mail relay down, 1,000 deliver_sm one at a time give the
deliver_sm -> deliver_sm_resp latency (p50, p99): the answer must not wait for the relay.

  bench/smpp_in_load.py [--build DIR] [--sms N] [--window N] [--rounds N]
                        [--latency N] [--keep]

Installs what is missing (postfix's smtp-sink, node and the npm smpp package, Debian's
kannel) and builds the gateway when the build directory has none. Every process it
starts is stopped, also on failure or interruption.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import smpp_peers as P  # noqa: E402

TEXT = "bob@corp.example load test from the bench"
ORIGINATOR = "447700900123"
DESTINATION = "447700900001"


def push(smsc, system_id, count, window):
    smsc.command(cmd="push", system_id=system_id, count=count, window=window,
                 source_addr=ORIGINATOR, destination_addr=DESTINATION, text=TEXT)
    ev = smsc.wait("pushed", system_id=system_id, timeout=600)
    if ev["failed"]:
        raise RuntimeError("%s refused %d of %d deliver_sm" % (system_id, ev["failed"], count))
    return ev


def run_gateway(args, smsc, workdir, n):
    sink = P.SmtpSink(workdir)
    gw = P.Gateway(args.binary, workdir, "gw-in-%d" % n, smsc.port, sink.port)
    smsc.wait("bind_receiver", system_id=gw.system_id)
    ev = push(smsc, gw.system_id, args.sms, args.window)
    t_sink = sink.wait_count(args.sms, timeout=600, watch=[gw])
    cpu, hwm = gw.usage()
    gw.stop()
    sink.stop()
    res = {"acked": P.rate(args.sms, ev["t0"], ev["t1"]),
           "rate": P.rate(args.sms, ev["t0"], t_sink), "cpu": cpu, "hwm": hwm,
           "p50": ev["p50"], "p99": ev["p99"]}
    P.log("  gateway: %(rate).0f SMS/s mailed (answered %(acked).0f/s, answer p50 %(p50).2f ms "
          "p99 %(p99).2f ms), CPU %(cpu).2fs, VmHWM %(hwm)d kB" % res)
    return res


def run_kannel(args, smsc, workdir):
    sink = P.JsonPeer("http-sink", "bench_http_sink.js", workdir)
    url = "http://127.0.0.1:%d/sms?from=%%p&to=%%P&text=%%a" % sink.port
    k = P.Kannel(workdir, smsc.port, get_url=url)
    smsc.wait("bind_transceiver", system_id=P.Kannel.SYSTEM_ID)
    base = sink.ask("stats", cmd="stats")["requests"]
    sink.command(cmd="expect", count=base + args.sms)
    ev = push(smsc, P.Kannel.SYSTEM_ID, args.sms, args.window)
    t_sink = sink.wait("reached", timeout=600)["t"]
    cpu, hwm = k.usage()
    k.stop()
    sink.stop()
    res = {"acked": P.rate(args.sms, ev["t0"], ev["t1"]),
           "rate": P.rate(args.sms, ev["t0"], t_sink), "cpu": cpu, "hwm": hwm,
           "p50": ev["p50"], "p99": ev["p99"]}
    P.log("  kannel:  %(rate).0f SMS/s posted (answered %(acked).0f/s, answer p50 %(p50).2f ms "
          "p99 %(p99).2f ms), CPU %(cpu).2fs, VmHWM %(hwm)d kB (bearerbox + smsbox)" % res)
    return res


def relay_down_latency(args, smsc, workdir):
    closed = P.free_port()  # nothing listens here: every relay attempt fails
    gw = P.Gateway(args.binary, workdir, "gw-relay-down", smsc.port, closed)
    smsc.wait("bind_receiver", system_id=gw.system_id)
    ev = push(smsc, gw.system_id, args.latency, 1)
    gw.stop()
    P.log("relay down: %d deliver_sm one at a time, deliver_sm_resp after p50 %.2f ms, "
          "p99 %.2f ms, max %.2f ms (all answered 0: %s)"
          % (args.latency, ev["p50"], ev["p99"], ev["max"], "yes" if not ev["failed"] else "no"))
    return ev


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(P.ROOT, "build"))
    ap.add_argument("--sms", type=int, default=10000)
    ap.add_argument("--window", type=int, default=10)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--latency", type=int, default=1000,
                    help="deliver_sm timed with the relay down (0: skip)")
    ap.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = ap.parse_args()
    args.binary = os.path.join(os.path.abspath(args.build), "tolvane")
    P.install_cleanup()
    P.ensure_tools(args.binary, args.build)

    workdir = P.make_workdir("tv-smppinbench.")
    try:
        P.log("SMS in: %d deliver_sm, window %d; load %s" % (args.sms, args.window,
                                                               P.load_line()))
        smsc = P.Smsc(workdir)
        gws, ks = [], []
        for n in range(args.rounds):
            P.log("round %d (load %s)" % (n + 1, P.load_line()))
            if n % 2 == 0:
                gws.append(run_gateway(args, smsc, workdir, n))
                ks.append(run_kannel(args, smsc, workdir))
            else:
                ks.append(run_kannel(args, smsc, workdir))
                gws.append(run_gateway(args, smsc, workdir, n))
        if args.rounds:
            P.report_rounds(args.rounds, gws, ks, "SMS/s")
        if args.latency:
            relay_down_latency(args, smsc, workdir)
    finally:
        P.stop_all()
        P.remove_workdir(workdir, args.keep)


if __name__ == "__main__":
    try:
        main()
    except RuntimeError as e:
        P.fail(str(e))
