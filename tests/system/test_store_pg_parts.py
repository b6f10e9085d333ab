"""Long SMS across gateways on the shared store: two real gateways on one private
PostgreSQL server, each bound to an SMS centre of its own, one relay for both.

- the parts of one long SMS split between the two gateways become one mail, also when the
  last two parts reach the two gateways at the same moment (one mail per set, never two);
- a gateway killed (kill -9) while it holds an incomplete set: the other takes the set up
  once the killed one's lease has run out, without being restarted, and mails it with the
  gap marked; the stored parts are gone from the database afterwards.

Peers: the private PostgreSQL server (pgcluster.py), tests/peers/smsc.js (npm smpp) as the
SMS centres, smtp-sink as the relay. A short queue_lease (2 s) keeps the takeover to
seconds.
"""

import os
import shutil
import signal
import tempfile
import threading
import time
import unittest

from mailsms import BIN, Gateway, Sink, wait_for
from pgcluster import PgCluster
from test_smpp import Smsc, smpp_settings
from test_smpp_text import mail_text, text_to_gsm_septets

WAIT = 30.0
LEASE = 2


def deliver_part(smsc, ref, total, part, text, source="447700900123"):
    udh = bytes([5, 0, 3, ref, total, part])
    smsc.command(cmd="deliver", source_addr=source, destination_addr="447700900001",
                 data_coding=0, esm_class=0x40, hex=(udh + text_to_gsm_septets(text)).hex())


class PartsAcrossGateways(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        self.pg = PgCluster(self)
        self.db = self.pg.fresh_database()
        home = tempfile.mkdtemp(prefix="tv-parts-")
        self.addCleanup(shutil.rmtree, home, True)
        self.sink = Sink(self, home)

    def gateway(self, **more):
        smsc = Smsc(self)
        settings = smpp_settings(smsc, store="postgresql", store_dsn=self.pg.dsn(self.db),
                                 queue_lease=str(LEASE), loglevel="info",
                                 smtp_domain="gw.example", sms_subject="false")
        settings.update(more)
        gw = Gateway(self, settings, sink=self.sink)
        smsc.wait_event("bind_receiver")
        gw.wait_log("SMPP transport ready")
        return smsc, gw

    def parts_stored(self):
        return int(self.pg.psql("SELECT count(*) FROM tv_queue WHERE kind = 3", self.db))

    def test_a_set_split_between_two_gateways_is_one_mail_even_when_they_race(self):
        smsc_a, a = self.gateway()
        smsc_b, b = self.gateway()
        # Plain split: part 1 at A, part 2 at B.
        deliver_part(smsc_a, 0x21, 2, 1, "bob@corp.example first half ")
        smsc_a.wait_event("deliver_sm_resp")
        self.assertEqual(self.sink.mails(), [], "half a set mailed")
        deliver_part(smsc_b, 0x21, 2, 2, "second half")
        m = self.sink.wait_mails(1, timeout=WAIT)[0]
        self.assertEqual(m["rcpt"], "bob@corp.example")
        body = mail_text(m)
        self.assertIn("first half second half", body)
        self.assertNotIn("missing", body)

        # Races: part 1 at A first, then parts 2 and 3 at both gateways at once; every
        # set is one whole mail, whichever gateway finds it complete.
        sets = 8
        for n in range(sets):
            deliver_part(smsc_a, 0x40 + n, 3, 1, "bob@corp.example race%d-one " % n)
        smsc_a.wait_event("deliver_sm_resp", 1 + sets)
        go = threading.Barrier(2)

        def last_parts(smsc, part):
            go.wait()
            for n in range(sets):
                deliver_part(smsc, 0x40 + n, 3, part, "race%d-%s " % (n, "two" if part == 2
                                                                      else "three"))
        threads = [threading.Thread(target=last_parts, args=(smsc_a, 2)),
                   threading.Thread(target=last_parts, args=(smsc_b, 3))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(WAIT)
        self.sink.wait_mails(1 + sets, timeout=WAIT)
        wait_for(lambda: self.parts_stored() == 0, WAIT, what="every stored part finished")
        time.sleep(1.0)  # a second mail of a set would come now
        bodies = [mail_text(m) for m in self.sink.mails()]
        self.assertEqual(len(bodies), 1 + sets, bodies)
        for n in range(sets):
            with self.subTest(set=n):
                mine = [x for x in bodies if "race%d-" % n in x]
                self.assertEqual(len(mine), 1, mine)
                self.assertIn("race%d-one race%d-two race%d-three" % (n, n, n), mine[0])
                self.assertNotIn("missing", mine[0])
        # Both gateways saw the race from both sides: each joined some sets, or one of
        # them all, but the mails are the sets, once each.
        joined = sum(1 for gw in (a, b) for l in gw.log() if "parts joined" in l)
        self.assertEqual(joined, 1 + sets, "one join per set")

    def test_a_killed_gateways_waiting_set_is_mailed_by_the_other_after_its_lease(self):
        # A would wait longer than the test lets it live; B mails a set whose wait ran out.
        smsc_a, a = self.gateway(sms_concat_wait="30")
        smsc_b, b = self.gateway(sms_concat_wait="1")
        deliver_part(smsc_a, 0x33, 3, 1, "bob@corp.example kept ")
        deliver_part(smsc_a, 0x33, 3, 3, "end")
        smsc_a.wait_event("deliver_sm_resp", 2)
        a.proc.send_signal(signal.SIGKILL)
        a.proc.wait(timeout=WAIT)
        a.proc = None
        t_kill = time.monotonic()
        self.assertEqual(self.parts_stored(), 2)
        m = self.sink.wait_mails(1, timeout=WAIT + 2 * LEASE)[0]
        took = time.monotonic() - t_kill
        print("B mailed the killed gateway's set %.1f s after the kill (lease %d s)"
              % (took, LEASE))
        # Not before A's lease ran out: A renewed it at most LEASE/3 s before the kill.
        self.assertGreater(took, LEASE * 2 / 3.0 - 0.3)
        body = mail_text(m)
        self.assertIn("kept ", body)
        self.assertIn("end", body)
        self.assertLess(body.index("kept "), body.index("[part 2 of 3 missing]"))
        self.assertLess(body.index("[part 2 of 3 missing]"), body.index("end"))
        wait_for(lambda: self.parts_stored() == 0, WAIT, what="the parts finished")
        self.assertTrue(any("taken over from gateways whose lease ran out" in l
                            for l in b.log()), b.log()[-20:])
        time.sleep(1.0)
        self.assertEqual(len(self.sink.mails()), 1)


if __name__ == "__main__":
    unittest.main()
