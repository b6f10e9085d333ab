#!/usr/bin/env python3
"""Several transports behind routes, measured from outside in one run:

  1. share: N mails (one SMS each) through one modem simulator alone, then through three
     sharing one route (`strategy="share"`), each modem taking --delay seconds per SMS
     (tests/peers/fake_modem.py on pseudo-terminals): the time of each, their ratio, and
     how many SMS each of the three carried.
  2. fail-over: --mails-failover mails over a `failover` route of two SMS centres
     (tests/peers/smsc.js), the first killed when half of them are in: how long after
     the kill the second centre had its first submit, how many SMS both centres got
     twice (at most the first centre's window of 10), and whether all reached a centre.

  bench/routes_load.py [--build DIR] [--mails N] [--delay S] [--mails-failover N]

Uses the system tests' helpers (tests/system), so the peers are those the tests
install (make test, or scripts/install-deps). Every process it starts is stopped at the
end, also on failure.
"""

import argparse
import os
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
ARGS = None
RESULTS = {}


def parse():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--mails", type=int, default=60)
    ap.add_argument("--delay", type=float, default=1.5)
    ap.add_argument("--mails-failover", type=int, default=500)
    return ap.parse_args()


def load_helpers():
    os.environ["TOLVANE_BIN"] = os.path.join(os.path.abspath(ARGS.build), "tolvane")
    os.environ.setdefault("TOLVANE_SOURCE_DIR", ROOT)
    sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
    import test_routes  # noqa: E402
    return test_routes


class Routes(unittest.TestCase):
    R = None

    def share(self, count):
        R = self.R
        modems = []
        for _ in range(count):
            m = R.FakeModem()
            m.send_delay = ARGS.delay
            self.addCleanup(m.close)
            modems.append(m)
        sections = []
        for i, m in enumerate(modems):
            sections += [("transport", "modem-%d" % (i + 1)), ("mode", "gsm"),
                         ("gsm_com", m.path), ("gsm_number", "+44770090099%d" % i),
                         ("cpin_ok", "true")]
        via = ",".join("modem-%d" % (i + 1) for i in range(count))
        gw = R.Gateway(self, R.GLOBAL + [("route", 'match="*" via="%s" strategy="share"' % via)]
                       + sections)
        for m in modems:
            gw.wait_log("GSM modem on %s ready" % m.path, timeout=R.WAIT)
        started = time.monotonic()
        self.assertEqual(R.send_many(gw, [R.au(i) for i in range(ARGS.mails)]), {})
        gw.wait_records(ARGS.mails, timeout=ARGS.mails * ARGS.delay * 3 + 60)
        took = time.monotonic() - started
        return took, [len(m.sent) for m in modems]

    def test_1_one_modem(self):
        RESULTS["one"] = self.share(1)

    def test_2_three_modems(self):
        RESULTS["three"] = self.share(3)

    def test_3_failover(self):
        R = self.R
        a, b = R.Smsc(self), R.Smsc(self)
        gw = R.Gateway(self, R.GLOBAL + [("route", 'match="*" via="centre-a,centre-b" '
                                                   'strategy="failover"')]
                       + R.centre("centre-a", a, ("smpp_window", "10"))
                       + R.centre("centre-b", b, ("smpp_window", "10")))
        a.wait_event("bind_transmitter", timeout=R.WAIT)
        b.wait_event("bind_transmitter", timeout=R.WAIT)
        n = ARGS.mails_failover
        out = {}
        sender = threading.Thread(
            target=lambda: out.update(refused=R.send_many(gw, [R.au(i) for i in range(n)])))
        sender.start()
        try:
            a.wait_event("submit_sm", n // 2, timeout=300)
            killed_ms = time.time() * 1000
            a.proc.kill()
            a.proc.wait(timeout=10)
        finally:
            sender.join(timeout=600)
        want = {R.au_e164(i) for i in range(n)}
        R.wait_for(lambda: set(R.dests(a)) | set(R.dests(b)) >= want, 300,
                   what="every SMS at one centre or the other")
        carried = R.dests(a) + R.dests(b)
        after = [e["t"] for e in b.all("submit_sm")]
        RESULTS["failover"] = {
            "n": n, "first": len(R.dests(a)), "second": len(R.dests(b)),
            "duplicates": len(carried) - n, "all": set(carried) == want,
            "switch_ms": (min(after) - killed_ms) if after else None,
            "refused": len(out.get("refused") or {})}


def main():
    global ARGS
    ARGS = parse()
    Routes.R = load_helpers()
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Routes)
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    if "one" in RESULTS and "three" in RESULTS:
        (t1, _), (t3, counts) = RESULTS["one"], RESULTS["three"]
        print("share, %d mails at %.1f s an SMS: one modem %.1f s, three modems %.1f s "
              "(%.0f%% of one modem's time, target at most 40%%), carried %s"
              % (ARGS.mails, ARGS.delay, t1, t3, 100.0 * t3 / t1, counts))
    f = RESULTS.get("failover")
    if f:
        print("fail-over, %(n)d mails, the first centre killed half-way: %(first)d SMS at the "
              "first, %(second)d at the second, %(duplicates)d twice (target at most 10), every "
              "one at a centre: %(all)s, %(refused)d refused; the second centre's first submit "
              "%(switch_ms).0f ms after the kill (target within 2,000 ms)" % f)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
