"""The real gateway on a modem named by a link, as /dev/serial/by-id/ names are
(tests/peers/fake_modem.py on a pty, the link in a temporary directory): the link is
followed to the device, and a device that is unplugged and plugged in again under a new
name makes mail wait and then go, with the same gateway process and no failure.

Peers: the modem simulator, smtp-sink as the relay, smtplib as the mail client. Every
process is stopped by the test's cleanups.
"""

import os
import shutil
import sys
import tempfile
import unittest

import mailsms
from mailsms import BIN, Gateway, free_port, wait_for
from test_web_health_smsc import get

SOURCE_DIR = os.environ.get(
    "TOLVANE_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "peers"))

from fake_modem import FakeModem  # noqa: E402

WAIT = 30.0


class ModemDevice(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        by_id = tempfile.mkdtemp(prefix="tv-by-id-")
        self.addCleanup(shutil.rmtree, by_id, True)
        self.link = os.path.join(by_id, "usb-Fake_Modem_0123-if00-port0")
        self.modem = FakeModem(link=self.link)
        self.addCleanup(self.modem.close)

    def start(self):
        self.web = free_port()
        gw = Gateway(self, {"delivery_mode": "gsm", "send_mode": "gsm", "recv_mode": "gsm",
                            "gsm_com": self.link, "gsm_number": "+447700900999",
                            "phone_country": "+61", "sms_retries": "1",
                            "smtp_domain": "gw.example", "web_port": str(self.web)})
        gw.wait_log("GSM modem on %s ready" % self.link, timeout=WAIT)
        return gw

    def count(self, gw, text):
        return sum(text in l for l in gw.log())

    def test_a_linked_port_is_followed_to_its_device(self):
        gw = self.start()
        self.assertEqual(self.count(gw, "Opening %s, now %s " % (self.link, self.modem.path)), 1)
        self.assertEqual(mailsms.send_mail(gw, "ann@corp.example", "0412345678@gw.example",
                                           "Subject: linked\r\n\r\nthrough the link\r\n"), {})
        self.assertIn(b"through the link", self.modem.wait_body(1, WAIT))
        gw.wait_records(1, timeout=WAIT)
        self.assertIn("SUCCESS", gw.records()[0])

    def test_a_modem_whose_device_is_removed_and_created_again_its_mail_waits_then_goes(self):
        gw = self.start()
        pid = gw.proc.pid
        first = self.modem.path
        self.modem.wait_command('AT+CMGL="ALL"', WAIT)  # the start-up listing is done

        self.modem.unplug()
        gw.wait_log("GSM modem device gone: %s" % self.link, timeout=WAIT)
        wait_for(lambda: get(self.web, "/health")[0] == 503, WAIT, what="/health down")
        self.assertIn("gsm: down: device gone: %s" % self.link, get(self.web, "/health")[1])
        self.assertEqual(mailsms.send_mail(gw, "ann@corp.example", "0412345678@gw.example",
                                           "Subject: away\r\n\r\nwhile unplugged\r\n"), {})
        # An SMS comes in while the gateway cannot reach the modem: it waits on the SIM.
        self.modem.store("+447700900123", "bob@corp.example sent while unplugged")
        # The gateway keeps looking for the device (a debug line each time) and the mail
        # waits: nothing sent, nothing recorded.
        looked = self.count(gw, "still gone")
        wait_for(lambda: self.count(gw, "still gone") >= looked + 3, WAIT,
                 what="the device looked for again")
        self.assertEqual(gw.records(), [])
        self.assertEqual(self.modem.bodies, [])

        self.modem.plug()
        self.assertNotEqual(self.modem.path, first)
        self.assertIn(b"while unplugged", self.modem.wait_body(1, WAIT))
        gw.wait_records(1, timeout=WAIT)
        records = gw.records()
        self.assertEqual(len(records), 1, records)
        self.assertIn("SUCCESS", records[0])
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        self.assertEqual([m["body"].count("sent while unplugged") for m in mails], [1])
        wait_for(lambda: get(self.web, "/health") == (200, "ok\n"), WAIT, what="/health up")

        # The same process all along, started once, the device found again by its link.
        self.assertEqual(gw.proc.pid, pid)
        self.assertIsNone(gw.proc.poll())
        self.assertEqual(self.count(gw, "GSM modem on %s ready" % self.link), 1)
        self.assertEqual(self.count(gw, "GSM modem device gone: %s" % self.link), 1)
        self.assertEqual(self.count(gw, "GSM modem device %s is back (%s)"
                                    % (self.link, self.modem.path)), 1)
        self.assertEqual(self.count(gw, "GSM modem on %s started again" % self.link), 1)
        self.assertFalse(any("FAILURE" in r for r in gw.records()))
        # Set up again from the start on the new device: echo off, indications on.
        self.assertFalse(self.modem.echo)
        self.assertEqual(self.modem.cnmi_mode, 2)


if __name__ == "__main__":
    unittest.main()
