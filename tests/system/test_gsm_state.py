"""The real gateway on the simulated modem (tests/peers/fake_modem.py on a pty): a received
SMS leaves the SIM only after its mail is stored in the queue, and mail waits while the
modem is off the network, which /health and the status page say.

Peers: the modem simulator, smtp-sink as the relay, smtplib as the mail client; a small
tmpfs as the workpath for the full disk. Every process is stopped by the test's cleanups.
"""

import os
import sys
import unittest

import mailsms
from mailsms import BIN, Gateway, fill_disk, free_port, small_tmpfs, wait_for
from test_web_health_smsc import get

SOURCE_DIR = os.environ.get(
    "TOLVANE_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "peers"))

from fake_modem import FakeModem  # noqa: E402

WAIT = 30.0


class ModemState(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        self.modem = FakeModem()
        self.addCleanup(self.modem.close)

    def start(self, **more):
        self.web = free_port()
        settings = {"delivery_mode": "gsm", "send_mode": "gsm", "recv_mode": "gsm",
                    "gsm_com": self.modem.path, "gsm_number": "+447700900999",
                    "phone_country": "+61", "sms_retries": "1", "smtp_domain": "gw.example",
                    "gsm_poll": "1", "web_port": str(self.web), "loglevel": "info"}
        settings.update(more)
        gw = Gateway(self, settings, start=False)
        gw.work = settings.get("workpath", gw.work)
        gw.start()
        gw.wait_log("GSM modem on %s ready" % self.modem.path, timeout=WAIT)
        return gw

    def creg_count(self):
        return self.modem.commands.count("AT+CREG?")

    def test_an_sms_that_cannot_be_stored_stays_on_the_sim_and_is_read_again(self):
        mnt = small_tmpfs(self)
        gw = self.start(workpath=os.path.join(mnt, "work"))
        self.modem.wait_command('AT+CMGL="ALL"', WAIT)  # the start-up listing is done
        filler = os.path.join(mnt, "filler")
        fill_disk(filler)
        # Together more than the free end of the journal's last page.
        count = 12
        for i in range(count):
            self.modem.deliver("+447700900123", "bob@corp.example sms %d %s" % (i, "x" * 900))
        wait_for(lambda: any("left in the modem" in l for l in gw.log()), WAIT,
                 what="an SMS that could not be stored")
        self.assertTrue(self.modem.stored, "nothing was kept although the disk was full")
        listings = self.modem.commands.count('AT+CMGL="ALL"')

        os.remove(filler)
        wait_for(lambda: self.modem.stored == [], WAIT, what="the kept SMS read again")
        self.assertGreater(self.modem.commands.count('AT+CMGL="ALL"'), listings)
        # Had a delete come before the store, the SMS the full disk refused would be lost:
        # every one arrives, once, and each is deleted once.
        mails = gw.sink.wait_mails(count, timeout=WAIT)
        bodies = [m["body"] for m in mails]
        self.assertEqual(len(bodies), count)
        for i in range(count):
            self.assertEqual(sum(("sms %d x" % i) in b for b in bodies), 1, "sms %d" % i)
        deletes = [c for c in self.modem.commands if c.startswith("AT+CMGD=")]
        self.assertEqual(sorted(deletes), sorted("AT+CMGD=%d" % i for i in range(1, count + 1)))

    def test_mail_waits_while_the_modem_is_off_the_network_and_goes_when_it_is_on(self):
        self.modem.registration = 2  # searching
        gw = self.start()
        status, body = get(self.web, "/health")
        self.assertEqual(status, 503)
        self.assertIn("gsm: down: not registered (searching), signal 20 of 31", body)

        self.assertEqual(mailsms.send_mail(gw, "ann@corp.example", "0412345678@gw.example",
                                           "Subject: wait\r\n\r\nfor the network\r\n"), {})
        # Long enough for the delivery engine to have looked at the modem several times.
        seen = self.creg_count()
        wait_for(lambda: self.creg_count() >= seen + 12, WAIT, what="the modem asked again")
        self.assertFalse(any(c.startswith("AT+CMGS") for c in self.modem.commands))
        self.assertEqual(gw.records(), [])

        # The signal is read before the registration in each look: registered only once a
        # look has read the new signal, the modem is seen up with it (not with the old one).
        self.modem.signal = 14
        csq = self.modem.commands.count("AT+CSQ")
        wait_for(lambda: self.modem.commands.count("AT+CSQ") > csq, WAIT,
                 what="the new signal read")
        self.modem.registration = 5  # roaming
        body = self.modem.wait_body(1, WAIT)
        self.assertIn(b"for the network", body)
        gw.wait_records(1, timeout=WAIT)
        self.assertIn("SUCCESS", gw.records()[0])
        self.assertEqual(get(self.web, "/health"), (200, "ok\n"))
        self.assertTrue(any("is up, registered (roaming), signal 14 of 31" in l
                            for l in gw.log()))


if __name__ == "__main__":
    unittest.main()
