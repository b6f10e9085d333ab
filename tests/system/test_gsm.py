"""Mail to SMS and SMS to mail through a GSM modem: the real gateway with
delivery_mode gsm on the serial line of tests/peers/fake_modem.py (a scripted
modem on a pseudo-terminal), driven by Python's smtplib, with smtp-sink receiving
the mails the gateway sends.

Every process and thread started here (gateway, sink, modem) is stopped by the
test's cleanups, also when a test fails.
"""

import os
import sys
import unittest

import mailsms
from mailsms import BIN, Gateway, wait_for

SOURCE_DIR = os.environ.get(
    "TOLVANE_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "peers"))

from fake_modem import FakeModem, decode_submit  # noqa: E402

WAIT = 30.0  # generous: sanitizer builds on a loaded machine
MAIL = "Subject: Lunch\r\n\r\nAt noon\r\n"


def send_mail(gw, sender, rcpt, data=MAIL):
    return mailsms.send_mail(gw, sender, rcpt, data)


class ModemCase(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        self.modem = FakeModem()
        self.addCleanup(self.modem.close)

    def start(self, sms_mode="text", **more):
        settings = {"delivery_mode": "gsm", "send_mode": "gsm", "recv_mode": "gsm",
                    "gsm_com": self.modem.path, "gsm_number": "+447700900999",
                    "cpin_ok": "true", "sms_mode": sms_mode, "phone_country": "+61",
                    "sms_retries": "1", "smtp_domain": "gw.example",
                    "com_debug_file": os.path.join("COMDIR", "gsm.log")}
        settings.update(more)
        gw = Gateway(self, settings, start=False)
        with open(gw.ini) as f:
            settings_text = f.read().replace("COMDIR", gw.home)
        with open(gw.ini, "w") as f:
            f.write(settings_text)
        gw.start()
        gw.wait_log("GSM modem on %s ready" % self.modem.path, timeout=WAIT)
        self.gw = gw
        return gw


class MailToModem(ModemCase):
    def test_text_mode_mail_becomes_at_cmgs_with_number_and_text(self):
        gw = self.start()
        send_mail(gw, "ann@corp.example", "0412345678@gw.example")
        self.modem.wait_command('AT+CMGS="', WAIT)
        body = self.modem.wait_body(1, WAIT)
        self.assertIn('AT+CMGS="+61412345678"', self.modem.commands)
        # The modem's own alphabet: the at sign is code 0. Replies can come back by
        # SMS, so the sender is named in front.
        self.assertEqual(body, b"Reply w/ ann\x00corp.example - Lunch - At noon\n")
        gw.wait_records(1, timeout=WAIT)
        self.assertIn("SUCCESS", gw.records()[0])
        # The dialogue log and the raw trace were written beside each other.
        self.assertTrue(os.path.exists(os.path.join(gw.home, "gsm.log")))
        self.assertTrue(os.path.exists(os.path.join(gw.home, "gsm_raw.log")))

    def test_pdu_mode_mail_becomes_a_submit_unit(self):
        gw = self.start("pdu")
        send_mail(gw, "ann@corp.example", "0412345678@gw.example")
        unit = self.modem.wait_body(1, WAIT).decode("latin-1")
        cmgs = [c for c in self.modem.commands if c.startswith("AT+CMGS=")]
        self.assertEqual(len(cmgs), 1)
        self.assertEqual(int(cmgs[0][8:]), (len(unit) - 2) // 2)
        self.assertEqual(decode_submit(unit),
                         ("+61412345678", "Reply w/ ann@corp.example - Lunch - At noon\n"))
        self.assertIn("AT+CMGF=0", self.modem.commands)
        gw.wait_records(1, timeout=WAIT)
        self.assertIn("SUCCESS", gw.records()[0])

    def test_a_refused_message_is_retried_recorded_and_reported_by_mail(self):
        gw = self.start()
        self.modem.handler = lambda cmd: (
            "\r\n+CMS ERROR: 38\r\n" if cmd == "AT+CMGS-END" else None)
        send_mail(gw, "ann@corp.example", "0412345678@gw.example")
        self.modem.wait_body(2, WAIT)  # the attempt and one retry
        notice = gw.sink.wait_mails(1, timeout=WAIT)[0]
        self.assertEqual(notice["rcpt"], "ann@corp.example")
        self.assertIn("+61412345678", notice["body"])
        gw.wait_records(1, timeout=WAIT)
        self.assertIn("FAILURE", gw.records()[0])


class ModemToMail(ModemCase):
    def test_a_message_stored_at_start_is_mailed_and_deleted(self):
        index = self.modem.store("+447700900123", "bob@corp.example stored before start")
        gw = self.start()
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        self.assertEqual(mails[0]["rcpt"], "bob@corp.example")
        self.assertIn("stored before start", mails[0]["body"])
        # Deleted once stored in the queue, which may be after the relay has sent it on.
        wait_for(lambda: self.modem.stored == [], WAIT, what="the message to be deleted")
        self.assertEqual(self.modem.commands.count("AT+CMGD=%d" % index), 1)

    def test_an_announced_message_is_read_mailed_and_deleted(self):
        gw = self.start("pdu")
        self.modem.wait_command("AT+CMGL=4", WAIT)  # the start-up listing is done
        index = self.modem.deliver("+447700900123", "bob@corp.example see you at six")
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        self.assertEqual(mails[0]["rcpt"], "bob@corp.example")
        self.assertIn("bob@corp.example see you at six", mails[0]["body"])
        self.assertIn("447700900123", mails[0]["sender"])
        self.assertIn("AT+CMGR=%d" % index, self.modem.commands)
        wait_for(lambda: self.modem.stored == [], WAIT, what="the message to be deleted")


class ModemsAsTheyAre(ModemCase):
    """Modems that send lines of their own, hold drafts, keep indications in mode 0,
    answer the PIN state with or without OK, or refuse a delete."""

    def test_a_notice_before_the_prompt_does_not_send_to_the_wrong_person(self):
        self.modem.entry_echo = True
        gw = self.start()
        self.modem.before_prompt = "\r\n+CREG: 1\r\n"
        send_mail(gw, "ann@corp.example", "0411111111@gw.example",
                  "Subject: one\r\n\r\nfor one\r\n")
        gw.wait_records(1, timeout=WAIT)
        send_mail(gw, "ann@corp.example", "0422222222@gw.example",
                  "Subject: two\r\n\r\nfor two\r\n")
        gw.wait_records(2, timeout=WAIT)
        sent = [(cmd, body.decode("latin-1")) for cmd, body in self.modem.sent]
        self.assertEqual(len(sent), 2, sent)
        self.assertEqual(sent[0][0], 'AT+CMGS="+61411111111"')
        self.assertIn("for one", sent[0][1])
        self.assertEqual(sent[1][0], 'AT+CMGS="+61422222222"')
        self.assertIn("for two", sent[1][1])
        self.assertNotIn("AT+CMGS", sent[0][1] + sent[1][1])
        records = gw.records()
        self.assertTrue(all("SUCCESS" in r for r in records), records)

    def test_drafts_on_the_sim_are_not_mailed_nor_deleted(self):
        self.modem.store("+447700900123", "bob@corp.example a draft", stat="STO UNSENT")
        self.modem.store("+447700900124", "bob@corp.example a sent copy", stat="STO SENT")
        self.modem.store("+447700900125", "bob@corp.example received one")
        gw = self.start(sms_bounces="true")
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        self.assertIn("received one", mails[0]["body"])
        wait_for(lambda: len(self.modem.stored) == 2, WAIT, what="the received one deleted")
        self.assertEqual(sorted(s.stat for s in self.modem.stored), ["STO SENT", "STO UNSENT"])
        self.assertEqual(len(gw.sink.mails()), 1)
        self.assertEqual(self.modem.sent, [])  # nothing bounced

    def test_a_modem_holding_indications_in_mode_zero_still_delivers(self):
        gw = self.start("pdu")
        self.modem.wait_command("AT+CMGL=4", WAIT)
        self.modem.deliver("+447700900123", "bob@corp.example announced at once")
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        self.assertIn("announced at once", mails[0]["body"])
        self.assertIn("AT+CNMI=2,1,0,0,0", self.modem.commands)

    def test_a_standard_modem_starts_with_cpin_ok_false(self):
        gw = self.start(cpin_ok="false")  # the simulator answers +CPIN: READY, then OK
        send_mail(gw, "ann@corp.example", "0412345678@gw.example")
        self.assertIn("At noon", self.modem.wait_body(1, WAIT).decode("latin-1"))
        gw.wait_records(1, timeout=WAIT)
        self.assertIn("SUCCESS", gw.records()[0])

    def test_a_modem_without_ok_after_the_pin_state_starts_with_cpin_ok_true(self):
        self.modem.ok_after_cpin = False
        gw = self.start(cpin_ok="true")
        send_mail(gw, "ann@corp.example", "0412345678@gw.example")
        gw.wait_records(1, timeout=WAIT)
        self.assertIn("SUCCESS", gw.records()[0])

    def test_a_refused_delete_is_retried_and_reception_goes_on(self):
        gw = self.start()
        self.modem.wait_command('AT+CMGL="ALL"', WAIT)
        self.modem.refuse_deletes = 1
        first = self.modem.deliver("+447700900123", "bob@corp.example first")
        gw.sink.wait_mails(1, timeout=WAIT)
        self.modem.deliver("+447700900124", "bob@corp.example second")
        mails = gw.sink.wait_mails(2, timeout=WAIT)
        self.assertIn("second", mails[1]["body"])
        wait_for(lambda: self.modem.stored == [], WAIT, what="the refused delete retried")
        self.assertEqual(self.modem.commands.count("AT+CMGD=%d" % first), 2)
        self.assertTrue(any("trying again later" in line for line in gw.log()))


class ModemFails(unittest.TestCase):
    def test_a_modem_refusing_echo_off_stops_the_start(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        import subprocess
        modem = FakeModem()
        self.addCleanup(modem.close)
        modem.handler = lambda cmd: "\r\nERROR\r\n" if cmd == "ATE0" else None
        gw = Gateway(self, {"delivery_mode": "gsm", "send_mode": "gsm", "recv_mode": "gsm",
                            "gsm_com": modem.path, "gsm_number": "+447700900999"},
                     start=False)
        with open(os.path.join(gw.home, "stdout.txt"), "wb") as out:
            proc = subprocess.Popen([BIN, "-config", gw.ini, "-foreground"], stdout=out,
                                    stderr=subprocess.STDOUT, cwd=gw.home)
            self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
            rc = proc.wait(timeout=60)
        with open(os.path.join(gw.home, "stdout.txt"), "rb") as f:
            text = f.read().decode("latin-1")
        self.assertNotEqual(rc, 0, text)
        # The error says what the modem answered, not what the system last failed at.
        self.assertIn("Error with ATEO (Echo): the modem answered ATE0 with (ERROR)",
                      text + "\n".join(gw.log()))


if __name__ == "__main__":
    unittest.main()
