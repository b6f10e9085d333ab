"""The shared store on the real binary: two gateways on one private PostgreSQL server.

- kill -9 of gateway A while its SMS centre holds the answers to the entries A claimed:
  B leaves them alone while A renews its lease, then sends each one exactly once after it.
- the database stopped for 20 s: new mails get 451 and a received SMS is not acknowledged
  meanwhile, the gateway logs the loss and the return, and everything works again after.
- "tolvane -store check" reports the schema version and every table's rows; wrong store
  settings or an unreachable database are refused by it and by the start-up with a reason.

Peers: the private PostgreSQL server (pgcluster.py), tests/peers/smsc.js (npm smpp) as the
SMS centres, smtp-sink as the relay, smtplib as the mail client. A short queue_lease (3 s)
keeps the takeover to seconds.
"""

import collections
import os
import re
import signal
import smtplib
import subprocess
import time
import unittest

from mailsms import BIN, Gateway, free_port, wait_for
from pgcluster import PgCluster
from test_smpp import Smsc, smpp_settings
from test_web import request

WAIT = 30.0
LEASE = 3


def submitted(smsc):
    return [("+" if e.get("dest_addr_ton") == 1 else "") + e["destination_addr"]
            for e in smsc.all("submit_sm")]


def send_mail(gw, dests, subject="hello"):
    s = smtplib.SMTP("127.0.0.1", gw.port, timeout=10)
    try:
        s.helo("client")
        s.sendmail("a@corp.example", [d + "@gw" for d in dests],
                   "Subject: %s\r\n\r\ntext of %s\r\n" % (subject, subject))
    finally:
        try:
            s.quit()
        except (smtplib.SMTPException, OSError):
            s.close()


def store_check(gw):
    return subprocess.run([BIN, "-config", gw.ini, "-store", "check"], capture_output=True,
                          text=True, timeout=WAIT)


class SharedQueue(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        self.pg = PgCluster(self)
        self.db = self.pg.fresh_database()
        self.dsn = self.pg.dsn(self.db)

    def gateway(self, smsc, **more):
        settings = smpp_settings(smsc, recv_mode="none", store="postgresql",
                                 store_dsn=self.dsn, queue_lease=str(LEASE),
                                 loglevel="info", send_workers="4")
        settings.update(more)
        gw = Gateway(self, settings)
        gw.wait_log("SMPP transport ready")
        return gw

    def test_killed_gateways_claims_are_sent_by_the_other_once_after_the_lease(self):
        slow = Smsc(self)
        slow.command(cmd="set", hold=True)  # A's sends stay in flight
        fast = Smsc(self)
        a = self.gateway(slow)
        dests = ["04120005%02d" % i for i in range(6)]
        send_mail(a, dests)
        want = {"+61" + d[1:] for d in dests}
        wait_for(lambda: set(submitted(slow)) == want, WAIT, what="A sending all six")
        self.assertEqual(self.pg.psql("SELECT count(*) FROM tv_queue WHERE owner IS NOT NULL",
                                      self.db), "6")
        # The operator's listing reads the shared queue and takes nothing from A.
        listing = subprocess.run([BIN, "-config", a.ini, "-queue"], capture_output=True,
                                 text=True, timeout=WAIT)
        self.assertEqual(listing.returncode, 0, listing.stdout + listing.stderr)
        self.assertIn("-- 6 entries", listing.stdout)
        self.assertEqual(self.pg.psql("SELECT count(*) FROM tv_queue WHERE owner IS NOT NULL",
                                      self.db), "6")

        b = self.gateway(fast)
        # Two leases long, A's renewals keep B away from what A holds.
        time.sleep(2 * LEASE)
        self.assertEqual(submitted(fast), [], "B sent what A still held")

        a.proc.send_signal(signal.SIGKILL)
        a.proc.wait(timeout=WAIT)
        a.proc = None
        t_kill = time.monotonic()
        wait_for(lambda: set(submitted(fast)) == want, WAIT, what="B sending A's six")
        took = time.monotonic() - t_kill
        print("B sent the killed gateway's entries %.1f s after the kill (lease %d s)"
              % (took, LEASE))
        wait_for(lambda: self.pg.psql("SELECT count(*) FROM tv_queue", self.db) == "0",
                 WAIT, what="an empty shared queue")
        counts = collections.Counter(submitted(fast))
        self.assertEqual(counts, collections.Counter(want), "each once")
        self.assertTrue(any("taken over from" in l for l in b.log()), b.log()[-20:])

        out = store_check(b)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertRegex(out.stdout, r"Schema version: \d+ \(this program: \d+\)")
        self.assertRegex(out.stdout, r"tv_queue +0 rows")


class StoreSettings(unittest.TestCase):
    """Wrong store settings are refused with a reason, by the tool and by the start-up."""

    def test_bad_settings_are_refused_with_the_reason(self):
        from mailsms import free_port
        cases = [
            ({"store": "mysql"}, "store (mysql)"),
            ({"store": "postgresql"}, "store postgresql needs store_dsn"),
            ({"store": "postgresql",
              "store_dsn": "host=127.0.0.1 port=%d dbname=x connect_timeout=3" % free_port()},
             "PostgreSQL store"),
        ]
        for settings, says in cases:
            with self.subTest(settings=settings):
                gw = Gateway(self, dict(settings, loglevel="info"), start=False)
                out = store_check(gw)
                self.assertEqual(out.returncode, 1, out.stdout)
                self.assertIn(says, out.stdout)
                run = subprocess.run([BIN, "-config", gw.ini, "-foreground"],
                                     capture_output=True, text=True, timeout=WAIT,
                                     cwd=gw.home)
                self.assertNotEqual(run.returncode, 0)
                said = run.stdout + run.stderr + "\n".join(gw.log())
                self.assertIn(says, said)


class DatabaseOutage(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        self.pg = PgCluster(self)
        self.dsn = self.pg.dsn(self.pg.fresh_database())

    def test_451_and_no_acknowledgement_while_away_then_full_recovery(self):
        smsc = Smsc(self)
        web_port = free_port()
        gw = Gateway(self, smpp_settings(smsc, store="postgresql", store_dsn=self.dsn,
                                         smtp_domain="gw.example", loglevel="info",
                                         web_port=str(web_port)))
        gw.web_port = web_port
        gw.wait_log("SMPP transport ready")
        smsc.wait_event("bind_receiver")

        def health():
            status, _, body = request(gw, "/health", auth=None)
            return status, body
        wait_for(lambda: health() == (200, "ok\n"), WAIT, what="/health ok")
        send_mail(gw, ["0412000601"], "before")
        wait_for(lambda: "+61412000601" in submitted(smsc), WAIT, what="the first SMS")

        self.pg.stop_for(20)
        t_stop = time.monotonic()
        # A mail now is refused for a while, not for lack of disk.
        with self.assertRaises(smtplib.SMTPDataError) as refused:
            send_mail(gw, ["0412000602"], "during")
        self.assertEqual(refused.exception.smtp_code, 451)
        # A received SMS is not acknowledged: the centre keeps it.
        smsc.command(cmd="deliver", source_addr="447700900123",
                     destination_addr="447700900001", text="bob@corp.example during")
        resp = smsc.wait_event("deliver_sm_resp")
        self.assertNotEqual(resp["command_status"], 0)
        gw.wait_log("PostgreSQL store lost")
        # Load balancers are told: only the database is named.
        wait_for(lambda: health() == (503, "database: lost\n"), WAIT, what="/health 503")
        self.assertLess(time.monotonic() - t_stop, 20, "the checks ran while it was away")

        self.pg.wait_restarted()
        # Healthy again before any mail is offered.
        wait_for(lambda: health() == (200, "ok\n"), WAIT, what="/health ok again")
        # Back by itself: mails are taken again, the centre's second delivery is acknowledged.
        def accepted():
            try:
                send_mail(gw, ["0412000603"], "after")
                return True
            except smtplib.SMTPDataError as e:
                if e.smtp_code != 451:
                    raise
                return False
        wait_for(accepted, WAIT, what="a mail accepted after the restart")
        wait_for(lambda: "+61412000603" in submitted(smsc), WAIT, what="its SMS")
        smsc.command(cmd="deliver", source_addr="447700900123",
                     destination_addr="447700900001", text="bob@corp.example after")
        resp = smsc.wait_event("deliver_sm_resp", 2)
        self.assertEqual(resp["command_status"], 0)
        wait_for(lambda: gw.sink.mails(), WAIT, what="the SMS mailed")
        gw.wait_log("PostgreSQL store connected")
        store_lines = [l for l in gw.log() if ("PostgreSQL" in l or "Queue" in l) and "Mail from" not in l]
        print("\n".join(store_lines))
        # Each change of state once per connection (the queue's, and those of the records,
        # message log, pool and counts), not a line per attempt while it was away.
        downs = collections.Counter(
            m.group(1) for m in (re.search(r"PostgreSQL store (?:lost|unreachable) \(([^)]*)\)", l)
                                 for l in store_lines) if m)
        self.assertTrue(downs, store_lines)
        self.assertEqual(max(downs.values()), 1, store_lines)
        self.assertNotIn("+61412000602", submitted(smsc), "a refused mail is never sent")


if __name__ == "__main__":
    unittest.main()
