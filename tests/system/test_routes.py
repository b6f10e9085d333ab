"""Several transports behind routes: the real gateway with `transport NAME` sections and
`route` lines against real peers: two SMS centres (tests/peers/smsc.js on the npm smpp
package) for a prefix route and for fail-over with the first centre killed and brought
back, and three modem simulators (tests/peers/fake_modem.py on pseudo-terminals, 1.5 s
per SMS) sharing one route.

Every process started here (gateway, centres, sink, modems) is stopped by the test's
cleanups. Times are printed, never asserted: speed is the benchmarks' business.
"""

import os
import re
import smtplib
import subprocess
import sys
import threading
import time
import unittest
import urllib.request

import tvtest
from mailsms import BIN, Gateway, wait_for
from test_smpp import PEERS, Smsc

sys.path.insert(0, PEERS)

from fake_modem import FakeModem  # noqa: E402

WAIT = 60.0  # generous: sanitizer builds on a loaded machine

GLOBAL = [("phone_country", "+61"), ("sms_retries", "1"), ("smtp_domain", "gw.example"),
          ("from_limit", "1000000"), ("to_limit", "1000000"), ("metrics_open", "true"),
          ("smpp_reconnect_max", "1")]


def centre(name, smsc, *more):
    return [("transport", name), ("mode", "smpp"), ("smpp_host", "127.0.0.1"),
            ("smpp_port", str(smsc.port)), ("smpp_user", "tvgw"), ("smpp_pass", "secret"),
            *more]


def send_many(gw, rcpts, sender="ann@corp.example"):
    """Each recipient its own mail, over one connection; the refused ones with their reply."""
    refused = {}
    s = smtplib.SMTP("127.0.0.1", gw.port, timeout=120)
    try:
        for r in rcpts:
            try:
                s.sendmail(sender, [r], "Subject: hi\r\n\r\nfor %s\r\n" % r)
            except smtplib.SMTPRecipientsRefused as e:
                refused.update(e.recipients)
    finally:
        s.quit()
    return refused


def web(gw, path):
    with open(gw.ini) as f:
        port = [l.split()[1] for l in f if l.startswith("web_port ")][-1]
    try:
        with urllib.request.urlopen("http://127.0.0.1:%s%s" % (port, path), timeout=10) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def dests(smsc):
    return [e["destination_addr"].lstrip("+") for e in smsc.all("submit_sm")]


def au(i):
    return "0412%06d@gw.example" % i


def au_e164(i):
    return "61412%06d" % i


class Routes(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def test_prefix_route_sends_plus44_to_one_centre_and_every_other_to_the_other(self):
        a, b = Smsc(self), Smsc(self)
        gw = Gateway(self, GLOBAL + [("route", 'match="+44*" via="centre-b"'),
                                     ("route", 'match="*" via="centre-a"')]
                     + centre("centre-a", a) + centre("centre-b", b, ("receive", "false")))
        a.wait_event("bind_transmitter", timeout=WAIT)
        b.wait_event("bind_transmitter", timeout=WAIT)
        uk = ["+4477009001%02d@gw.example" % i for i in range(8)]
        others = [au(i) for i in range(8)]
        mixed = [x for pair in zip(uk, others) for x in pair]
        self.assertEqual(send_many(gw, mixed), {})
        gw.wait_records(16, timeout=WAIT)
        # A centre's lines are read apart from the gateway's records: wait for them.
        a.wait_event("submit_sm", 8, timeout=WAIT)
        b.wait_event("submit_sm", 8, timeout=WAIT)
        self.assertEqual(sorted(dests(b)), ["4477009001%02d" % i for i in range(8)])
        self.assertEqual(sorted(dests(a)), [au_e164(i) for i in range(8)])
        # The records name the carrier of each SMS.
        recs = gw.records()
        self.assertEqual(sum(1 for r in recs if "|+44" in r and " via centre-b|" in r), 8, recs)
        self.assertEqual(sum(1 for r in recs if "|+61" in r and " via centre-a|" in r), 8, recs)
        # /metrics counts by transport name; /health keeps "ok" first and lists each one.
        _, metrics = web(gw, "/metrics")
        self.assertIn('tolvane_sms_sent_total{transport="centre-a"} 8\n', metrics)
        self.assertIn('tolvane_sms_sent_total{transport="centre-b"} 8\n', metrics)
        status, health = web(gw, "/health")
        self.assertEqual(status, 200)
        lines = health.splitlines()
        self.assertEqual(lines[0], "ok")
        self.assertEqual(lines[1], "centre-a: transmitter bound, receiver bound; 0 in flight; "
                                   "today 8 sent, 0 failed")
        self.assertEqual(lines[2], "centre-b: transmitter bound; 0 in flight; "
                                   "today 8 sent, 0 failed")
        # centre-b does not receive: it binds no receiver.
        a.wait_event("bind_receiver", timeout=WAIT)
        self.assertEqual(len(a.all("bind_receiver")), 1)
        self.assertEqual(len(b.all("bind_receiver")), 0)

    def test_a_destination_no_route_takes_is_refused_at_rcpt(self):
        a = Smsc(self)
        gw = Gateway(self, GLOBAL + [("route", 'match="+61*" via="centre-a"')]
                     + centre("centre-a", a))
        a.wait_event("bind_transmitter", timeout=WAIT)
        refused = send_many(gw, ["+447700900123@gw.example", au(1)])
        self.assertEqual(refused, {"+447700900123@gw.example": (500, b"No route (+447700900123)")})
        gw.wait_records(1, timeout=WAIT)
        a.wait_event("submit_sm", timeout=WAIT)
        self.assertEqual(dests(a), [au_e164(1)])

    def test_an_answer_goes_back_through_the_centre_its_sms_came_in_on(self):
        a, b = Smsc(self), Smsc(self)
        gw = Gateway(self, GLOBAL + [("route", 'match="*" via="centre-a"'),
                                     ("sms_bounces", "true")]
                     + centre("centre-a", a) + centre("centre-b", b))
        a.wait_event("bind_receiver", timeout=WAIT)
        b.wait_event("bind_receiver", timeout=WAIT)
        # Both receive; an SMS nobody can be found for is answered through its own centre,
        # although the route would take centre-a.
        b.command(cmd="deliver", source_addr="61400000777", destination_addr="61499",
                  text="who gets this")
        ans = b.wait_event("submit_sm", timeout=WAIT)
        self.assertEqual(ans["destination_addr"].lstrip("+"), "61400000777")
        self.assertEqual(dests(a), [])
        a.command(cmd="deliver", source_addr="61400000888", destination_addr="61499",
                  text="and this")
        ans = a.wait_event("submit_sm", timeout=WAIT)
        self.assertEqual(ans["destination_addr"].lstrip("+"), "61400000888")
        self.assertEqual(len(b.all("submit_sm")), 1)

    def test_sms_wait_without_an_attempt_while_no_transport_of_their_route_is_usable(self):
        a = Smsc(self)
        closed = Smsc(self)
        closed.stop()  # a port nobody listens on: centre-b never binds
        gw = Gateway(self, GLOBAL + [("route", 'match="+44*" via="centre-b"'),
                                     ("route", 'match="*" via="centre-a,centre-b"')]
                     + centre("centre-a", a) + centre("centre-b", closed))
        a.wait_event("bind_transmitter", timeout=WAIT)
        self.assertEqual(send_many(gw, ["+447700900321@gw.example", au(5)]), {})
        gw.wait_records(1, timeout=WAIT)
        a.wait_event("submit_sm", timeout=WAIT)
        self.assertEqual(dests(a), [au_e164(5)])
        # The +44 SMS waits: no attempt counted, no record; the listing names its route's
        # transport, /health fails on the stuck route and lists both transports after it.
        gw.wait_log("SMS to [+447700900321] waits: no usable transport", timeout=WAIT)
        listing = subprocess.run([BIN, "-config", gw.ini, "-queue"], capture_output=True,
                                 text=True, timeout=30).stdout
        line = [l for l in listing.splitlines() if "+447700900321" in l]
        self.assertEqual(len(line), 1, listing)
        self.assertRegex(line[0], r"\+447700900321 +0  centre-b +no usable transport")
        self.assertEqual(len(gw.records()), 1)
        status, health = web(gw, "/health")
        self.assertEqual(status, 503)
        lines = health.splitlines()
        self.assertEqual(lines[0], "routes: no usable transport for route +44*")
        self.assertTrue(lines[1].startswith("centre-a: transmitter bound"), health)
        self.assertTrue(lines[2].startswith("centre-b: "), health)

    def test_failover_survives_the_first_centre_killed_and_returns_to_it(self):
        a, b = Smsc(self), Smsc(self)
        gw = Gateway(self, GLOBAL + [("route", 'match="*" via="centre-a,centre-b" '
                                               'strategy="failover"')]
                     + centre("centre-a", a, ("smpp_window", "10"))
                     + centre("centre-b", b, ("smpp_window", "10")))
        a.wait_event("bind_transmitter", timeout=WAIT)
        b.wait_event("bind_transmitter", timeout=WAIT)
        n = 500
        rcpts = [au(i) for i in range(n)]
        out = {}
        sender = threading.Thread(target=lambda: out.update(refused=send_many(gw, rcpts)))
        sender.start()
        try:
            a.wait_event("submit_sm", n // 2, timeout=120)
            killed_ms = time.time() * 1000
            a.proc.kill()
            a.proc.wait(timeout=10)
        finally:
            sender.join(timeout=300)
        self.assertEqual(out.get("refused"), {})
        want = {au_e164(i) for i in range(n)}
        wait_for(lambda: set(dests(a)) | set(dests(b)) >= want, 180,
                 what="every SMS at one centre or the other")
        gw.wait_records(n, timeout=WAIT)
        carried = dests(a) + dests(b)
        self.assertEqual(set(carried), want)
        duplicates = len(carried) - n
        self.assertLessEqual(duplicates, 10)  # at most the first centre's window
        after_kill = [e["t"] for e in b.all("submit_sm")]
        self.assertTrue(after_kill)
        print("\nfail-over: %d SMS at the first centre, %d at the second, %d duplicates, "
              "first SMS at the second %.0f ms after the kill"
              % (len(dests(a)), len(dests(b)), duplicates, min(after_kill) - killed_ms))
        self.assertTrue(all(" via centre-" in r for r in gw.records()))
        # The first centre comes back on its port: new mail goes to it again.
        a2 = Smsc(self, "--port", str(a.port))
        a2.wait_event("bind_transmitter", timeout=WAIT)
        before_b = len(dests(b))
        wait_for(lambda: "centre-a: transmitter bound" in web(gw, "/health")[1], WAIT,
                 what="centre-a usable")
        more = [au(n + i) for i in range(5)]
        self.assertEqual(send_many(gw, more), {})
        a2.wait_event("submit_sm", 5, timeout=WAIT)
        self.assertEqual(sorted(dests(a2)), [au_e164(n + i) for i in range(5)])
        self.assertEqual(len(dests(b)), before_b)

    def test_three_modems_share_one_route_by_load(self):
        modems = []
        for _ in range(3):
            m = FakeModem()
            m.send_delay = 1.5
            self.addCleanup(m.close)
            modems.append(m)
        sections = []
        for i, m in enumerate(modems):
            sections += [("transport", "modem-%d" % (i + 1)), ("mode", "gsm"),
                         ("gsm_com", m.path), ("gsm_number", "+44770090099%d" % i),
                         ("cpin_ok", "true")]
        gw = Gateway(self, GLOBAL + [("route", 'match="*" via="modem-1,modem-2,modem-3" '
                                               'strategy="share"')] + sections)
        for m in modems:
            gw.wait_log("GSM modem on %s ready" % m.path, timeout=WAIT)
        n = 60
        started = time.monotonic()
        self.assertEqual(send_many(gw, [au(i) for i in range(n)]), {})
        gw.wait_records(n, timeout=300)
        took = time.monotonic() - started
        counts = [len(m.sent) for m in modems]
        self.assertEqual(sum(counts), n)
        for c in counts:
            self.assertGreaterEqual(c, 15, counts)
            self.assertLessEqual(c, 25, counts)
        one_modem = n * 1.5
        print("\nshare over 3 modems: %s SMS each, %.1f s for %d (%.0f%% of the %.0f s one modem "
              "takes)" % (counts, took, n, 100 * took / one_modem, one_modem))
        for i in range(3):
            self.assertEqual(sum(1 for r in gw.records() if " via modem-%d|" % (i + 1) in r),
                             counts[i])


class BadRoutes(unittest.TestCase):
    """What would misroute stops the start, naming the file and line."""

    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def test_each_misfit_stops_the_start_with_its_file_and_line(self):
        cases = [
            (['route match="*" via="robot-1,nowhere"', "transport robot-1", "mode robot"],
             'route match="*"', "route names unknown transport (nowhere)"),
            (["transport centre-x", "smpp_port 2775"], "transport centre-x",
             "transport centre-x has no mode"),
            (["transport m1", "mode gsm", "gsm_com /dev/null", "transport m2", "mode gsm",
              "gsm_com /dev/null"], "transport m2",
             "transports m1 and m2 use one modem (/dev/null)"),
        ]
        for extra, at, message in cases:
            with self.subTest(message=message):
                gw = tvtest.gateway(self, extra=extra)
                line = gw.lines.index(next(l for l in gw.lines if l.startswith(at))) + 1
                gw.start()
                rc = gw.wait_exit()
                out = gw.stdout()
                self.assertEqual(rc, 1, out)
                self.assertIn("ERROR: Invalid setting: %s line %d: %s\n" % (gw.ini, line, message),
                              out)
                self.assertNotIn("Main loop started", gw.log())


if __name__ == "__main__":
    unittest.main()
