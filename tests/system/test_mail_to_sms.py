"""Mail to SMS through the real gateway, driven by real mail clients (smtplib, swaks),
with the robot transport recording every SMS and smtp-sink receiving relayed mail."""

import email.header
import re
import smtplib
import socket
import subprocess
import time
import unittest

from mailsms import Client, Gateway, Sink, wait_for

ASCTIME = r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}"
MAIL = "Subject: Lunch\r\n\r\nAt noon\r\n"


def smtp(gw):
    s = smtplib.SMTP("127.0.0.1", gw.port, timeout=15)
    s.helo("client.example")
    return s


def send(gw, sender, rcpts, data=MAIL):
    s = smtp(gw)
    try:
        refused = s.sendmail(sender, rcpts, data)
    finally:
        try:
            s.quit()
        except smtplib.SMTPException:
            pass
    return refused


class Dialogue(unittest.TestCase):
    def test_whole_dialogue_gets_the_exact_replies(self):
        gw = Gateway(self, {"phone_country": "+61"})
        c = Client(self, gw.port)
        self.assertEqual(c.line(), "220 TOLVANE")
        hello = c.ask("HELO client.example")
        self.assertRegex(hello, r"^250 \S+\. Hello client\.example\(127\.0\.0\.1\)$")
        self.assertEqual(c.ask("MAIL FROM:<ann@corp.example>"), "250 Command MAIL OK")
        self.assertEqual(c.ask("RCPT TO:<0412345678@gw.example>"),
                         "250 Command RCPT User found OK")
        self.assertEqual(c.ask("DATA"), "354 Command DATA Start mail input; end with <CRLF>.<CRLF>")
        c.send("Subject: Lunch")
        c.send("")
        c.send("At noon")
        self.assertEqual(c.ask("."), "250 Command DATA Processed mail data OK")
        self.assertEqual(c.ask("QUIT"), "221 Command QUIT, disconnecting")
        self.assertIsNone(c.line())
        sms = gw.wait_attempts(1)
        self.assertEqual(sms, [{"from": "ann@corp.example", "to": "+61412345678",
                                "text": "Lunch - At noon\n", "answer": "SUCCESS"}])
        gw.wait_records(1)
        # The spool file goes when the message is released, just after its records.
        wait_for(lambda: gw.spool_files() == [], what="the spool file to go")

    def test_swaks_transcript_and_sms(self):
        gw = Gateway(self, {"phone_country": "+61"})
        out = subprocess.run(
            ["swaks", "--protocol", "SMTP", "--server", "127.0.0.1:%d" % gw.port,
             "--helo", "client.example", "--from", "ann@corp.example",
             "--to", "0412345678@gw.example", "--header", "Subject: Hello",
             "--body", "Lunch at noon"],
            capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        replies = [l[4:] for l in out.stdout.splitlines() if l.startswith("<-  ")]
        self.assertEqual(replies[0], "220 TOLVANE")
        self.assertEqual(replies[2:], [
            "250 Command MAIL OK", "250 Command RCPT User found OK",
            "354 Command DATA Start mail input; end with <CRLF>.<CRLF>",
            "250 Command DATA Processed mail data OK", "221 Command QUIT, disconnecting"])
        sms = gw.wait_attempts(1)
        self.assertEqual(sms[0]["to"], "+61412345678")
        self.assertTrue(sms[0]["text"].startswith("Hello - Lunch at noon"))

    def test_several_mails_on_one_connection(self):
        gw = Gateway(self, {"phone_country": "+61"})
        s = smtp(gw)
        self.assertEqual(s.sendmail("a@corp.example", ["0412000001@gw"], "Subject: one\r\n\r\n1\r\n"), {})
        self.assertEqual(s.sendmail("b@corp.example", ["0412000002@gw"], "Subject: two\r\n\r\n2\r\n"), {})
        self.assertEqual(s.sendmail("c@corp.example", ["0412000003@gw"], "Subject: three\r\n\r\n3\r\n"), {})
        s.quit()
        sms = sorted(gw.wait_attempts(3), key=lambda a: a["to"])
        self.assertEqual([(a["from"], a["to"], a["text"]) for a in sms], [
            ("a@corp.example", "+61412000001", "one - 1\n"),
            ("b@corp.example", "+61412000002", "two - 2\n"),
            ("c@corp.example", "+61412000003", "three - 3\n")])

    def test_rset_in_the_middle_drops_that_mail(self):
        gw = Gateway(self, {"phone_country": "+61"})
        c = Client(self, gw.port)
        c.line()
        c.ask("HELO c")
        self.assertEqual(c.ask("MAIL FROM:<a@corp.example>"), "250 Command MAIL OK")
        self.assertEqual(c.ask("RCPT TO:<0412000001@gw>"), "250 Command RCPT User found OK")
        self.assertEqual(c.ask("RSET"), "250 Command RSET OK")
        self.assertEqual(c.ask("MAIL FROM:<b@corp.example>"), "250 Command MAIL OK")
        self.assertEqual(c.ask("RCPT TO:<0412000002@gw>"), "250 Command RCPT User found OK")
        self.assertTrue(c.ask("DATA").startswith("354 "))
        c.send("Subject: s\r\n\r\nbody")
        self.assertEqual(c.ask("."), "250 Command DATA Processed mail data OK")
        self.assertEqual(c.ask("QUIT"), "221 Command QUIT, disconnecting")
        sms = gw.wait_attempts(1)
        gw.wait_log("Message data from [a@corp.example] not available, no SMS sent")
        self.assertEqual([a["to"] for a in gw.attempts()], ["+61412000002"])
        # The record is written after the SMS is handed over: wait for it.
        self.assertEqual(len(gw.wait_records(1)), 1)
        self.assertEqual(sms[0]["from"], "b@corp.example")

    def test_client_cut_off_in_its_data_sends_nothing(self):
        gw = Gateway(self, {"phone_country": "+61"})
        c = Client(self, gw.port)
        c.line()
        c.ask("HELO c")
        c.ask("MAIL FROM:<a@corp.example>")
        c.ask("RCPT TO:<0412000001@gw>")
        self.assertTrue(c.ask("DATA").startswith("354 "))
        c.send("Subject: cut\r\n\r\nhalf of a")
        c.close()
        gw.wait_log("Message data from [a@corp.example] not available, no SMS sent")
        self.assertEqual(gw.attempts(), [])
        self.assertEqual(gw.records(), [])
        wait_for(lambda: gw.spool_files() == [], what="the spool file to go")
        # The gateway is still there for the next client.
        self.assertEqual(send(gw, "b@corp.example", ["0412000002@gw"]), {})
        gw.wait_attempts(1)


class Recipients(unittest.TestCase):
    def test_national_number_gets_the_country_prefix(self):
        gw = Gateway(self, {"phone_country": "+61"})
        send(gw, "a@corp.example", ["0412345678@gw.example"])
        self.assertEqual(gw.wait_attempts(1)[0]["to"], "+61412345678")
        gw.wait_log("Fixed number (0412345678) --> (+61412345678)")

    def test_smtp_prefix_is_removed_first(self):
        gw = Gateway(self, {"phone_country": "+61", "smtp_prefix": "sms"})
        send(gw, "a@corp.example", ["SMS0412345678@gw.example"])
        self.assertEqual(gw.wait_attempts(1)[0]["to"], "+61412345678")

    def test_international_number_is_kept(self):
        gw = Gateway(self, {"phone_country": "+61"})
        send(gw, "a@corp.example", ["+6421555000@gw.example"])
        self.assertEqual(gw.wait_attempts(1)[0]["to"], "+6421555000")


class Refusals(unittest.TestCase):
    def test_accept_ip_refuses_right_after_the_greeting(self):
        gw = Gateway(self, {"accept_ip": "10.*, 192.168.*"})
        c = Client(self, gw.port)
        self.assertEqual(c.line(), "220 TOLVANE")
        self.assertEqual(c.line(), "500 Ip Blocked")
        self.assertIsNone(c.line())
        gw.wait_log("Connection from [127.0.0.1] blocked")

    def test_accept_to_refuses_one_recipient_the_others_get_their_sms(self):
        gw = Gateway(self, {"phone_country": "+61", "accept_to": "+614*"})
        refused = send(gw, "a@corp.example", ["0412000001@gw", "0299998888@gw", "0412000002@gw"])
        self.assertEqual(refused, {"0299998888@gw": (500, b"To Blocked")})
        sms = gw.wait_attempts(2)
        time.sleep(0.2)
        self.assertEqual(sorted(a["to"] for a in gw.attempts()), ["+61412000001", "+61412000002"])
        gw.wait_log("Connection to [+61299998888] blocked")

    def test_accept_from_refuses_at_the_end_of_data(self):
        gw = Gateway(self, [("accept_from", "*@corp.example"), ("phone_country", "+61")])
        with self.assertRaises(smtplib.SMTPDataError) as e:
            send(gw, "eve@else.example", ["0412000001@gw"])
        self.assertEqual((e.exception.smtp_code, e.exception.smtp_error), (500, b"From Blocked"))
        gw.wait_log("Connection for [eve@else.example] blocked")
        self.assertEqual(gw.attempts(), [])
        self.assertEqual(gw.records(), [])

    def test_send_mode_none_refuses_every_mail(self):
        gw = Gateway(self, {"send_mode": "none", "delivery_mode": "none"})
        c = Client(self, gw.port)
        self.assertEqual(c.line(), "220 TOLVANE")
        self.assertEqual(c.line(), "500 Outgoing SMS disabled (send_mode none specified)")
        self.assertIsNone(c.line())


class Limits(unittest.TestCase):
    def test_client_limit(self):
        gw = Gateway(self, {"ip_limit": "2", "phone_country": "+61"})
        send(gw, "a@corp.example", ["0412000001@gw"])
        send(gw, "a@corp.example", ["0412000002@gw"])
        gw.wait_file("msgrec.ip", "127.0.0.1|0000000002\n")
        c = Client(self, gw.port)
        self.assertEqual(c.line(), "220 TOLVANE")
        self.assertEqual(c.line(), "500 msgrec Limit reached")
        gw.wait_log("Connection from [127.0.0.1] exceeds (msgrec) limit of 2")

    def test_recipient_limit_refuses_that_recipient_only(self):
        gw = Gateway(self, {"to_limit": "1", "phone_country": "+61"})
        send(gw, "a@corp.example", ["0412000001@gw"])
        gw.wait_file("msgrec.to", "+61412000001|0000000001\n")
        refused = send(gw, "a@corp.example", ["0412000001@gw", "0412000002@gw"])
        self.assertEqual(refused, {"0412000001@gw": (500, b"msgrec Limit reached")})
        gw.wait_records(2)
        self.assertEqual([a["to"] for a in gw.attempts()], ["+61412000001", "+61412000002"])
        gw.wait_log("Mail to [+61412000001] exceeds (msgrec) limit of 1")

    def test_sender_limit_refuses_at_the_end_of_data(self):
        gw = Gateway(self, {"from_limit": "2", "phone_country": "+61"})
        send(gw, "a@corp.example", ["0412000001@gw"])
        send(gw, "a@corp.example", ["0412000002@gw"])
        gw.wait_file("msgrec.from", "a@corp.example|0000000002\n")
        with self.assertRaises(smtplib.SMTPDataError) as e:
            send(gw, "a@corp.example", ["0412000003@gw"])
        self.assertEqual((e.exception.smtp_code, e.exception.smtp_error),
                         (500, b"msgrec Limit reached"))
        # Another sender is not held back.
        self.assertEqual(send(gw, "b@corp.example", ["0412000003@gw"]), {})
        gw.wait_file("msgrec.from", "a@corp.example|0000000002\nb@corp.example|0000000001\n")

    def test_named_limit_with_its_own_message(self):
        gw = Gateway(self, [("limit", 'name="hourly" to="1" period="1"'),
                            ("to_limit_msg", "Try again later"), ("phone_country", "+61")])
        send(gw, "a@corp.example", ["0412000001@gw"])
        gw.wait_file("hourly.to", "+61412000001|0000000001\n")
        refused = send(gw, "a@corp.example", ["0412000001@gw", "0412000002@gw"])
        self.assertEqual(refused, {"0412000001@gw": (500, b"hourly Try again later")})


class Records(unittest.TestCase):
    def test_counter_day_file_and_msglog_lines(self):
        gw = Gateway(self, {"phone_country": "+61", "sender_ids": "ann@corp.example 5550001"})
        send(gw, "ann@corp.example", ["0412345678@gw"],
             "X-Sms-Number: 5550001\r\nSubject: s\r\n\r\nb\r\n")
        recs = gw.wait_records(1)
        self.assertEqual(len(recs), 1)
        self.assertRegex(recs[0], r"^SUCCESS\|127\.0\.0\.1\|ann@corp\.example\|\+61412345678\|"
                         + ASCTIME + r"\|NONE\|$")
        self.assertTrue(gw.day_files("rec").endswith("|NONE|\n"))
        gw.wait_file("msgrec.to", "+61412345678|0000000001\n")
        self.assertEqual(gw.file("msgrec.ip"), "127.0.0.1|0000000001\n")
        self.assertEqual(gw.file("msgrec.from"), "ann@corp.example|0000000001\n")
        self.assertRegex(gw.file("msglog.dat"), r"^\+61412345678\|ann@corp\.example\|\d+\n$")
        self.assertEqual(gw.wait_attempts(1)[0]["from"], "5550001")
        # A second SMS to the same number rewrites the ten digits in place.
        send(gw, "ann@corp.example", ["0412345678@gw"])
        gw.wait_file("msgrec.to", "+61412345678|0000000002\n")

    def test_sender_as_originator_leaves_no_msglog_entry(self):
        gw = Gateway(self, {"phone_country": "+61"})
        send(gw, "ann@corp.example", ["0412345678@gw"])
        gw.wait_records(1)
        self.assertIn(gw.file("msglog.dat"), (None, ""))

    def test_billing_header_for_checks_counts_and_notice(self):
        gw = Gateway(self, [("accept_from", "boss@corp.example"), ("phone_country", "+61"),
                            ("sms_retries", "0"), ("sender_ids", "clerk@corp.example 5550001")])
        data = ("X-Sms-Bill: <boss@corp.example>\r\nX-Sms-Number: 5550001\r\n"
                "Subject: s\r\n\r\nb\r\n")
        self.assertEqual(send(gw, "clerk@corp.example", ["0412000001@gw"], data), {})
        gw.wait_file("msgrec.from", "boss@corp.example|0000000001\n")
        gw.wait_log("New message from=[clerk@corp.example] bill=[boss@corp.example]")
        self.assertRegex(gw.file("msglog.dat"), r"^\+61412000001\|clerk@corp\.example\|\d+\n$")
        gw.fail_robot("FAILED no signal")
        send(gw, "clerk@corp.example", ["0412000002@gw"], data)
        mails = gw.sink.wait_mails(1)
        self.assertEqual(mails[0]["rcpt"], "boss@corp.example")
        recs = gw.wait_records(2)
        self.assertRegex(recs[1], r"^FAILURE\|127\.0\.0\.1\|boss@corp\.example\|\+61412000002\|"
                         + ASCTIME + r"\|FAILED no signal\|$")
        self.assertEqual(gw.file("msgrec.from"), "boss@corp.example|0000000001\n")


class SenderIds(unittest.TestCase):
    def test_a_client_chooses_only_the_sender_ids_granted_to_it(self):
        gw = Gateway(self, [("phone_country", "+61"), ("gsm_number", "+61400000009"),
                            ("sender_ids", "*@corp.example BANK,+61400000001"),
                            ("sender_ids", "ops@corp.example OPS")])

        def choosing(sender_id):
            return "X-Sms-Number: %s\r\nSubject: s\r\n\r\nb\r\n" % sender_id

        for sender, sender_id in [("eve@else.example", "BANK"), ("ann@corp.example", "OPS"),
                                  ("ann@corp.example", "BANK,OPS")]:
            with self.subTest(sender=sender, sender_id=sender_id):
                with self.assertRaises(smtplib.SMTPDataError) as e:
                    send(gw, sender, ["0412000001@gw"], choosing(sender_id))
                self.assertEqual((e.exception.smtp_code, e.exception.smtp_error),
                                 (550, ("Sender ID not allowed (%s)" % sender_id).encode()))
        self.assertEqual(send(gw, "ann@corp.example", ["0412000002@gw"], choosing("BANK")), {})
        self.assertEqual(send(gw, "ops@corp.example", ["0412000003@gw"], choosing("OPS")), {})
        self.assertEqual(send(gw, "eve@else.example", ["0412000004@gw"],
                              choosing("+61400000009")), {})
        sms = gw.wait_attempts(3)
        self.assertEqual(sorted((a["to"], a["from"]) for a in sms),
                         [("+61412000002", "BANK"), ("+61412000003", "OPS"),
                          ("+61412000004", "+61400000009")])
        gw.wait_log("Sender ID [BANK] not allowed for [eve@else.example]")
        self.assertEqual(len(gw.wait_records(3)), 3)  # the refused mails left none


class HostileValues(unittest.TestCase):
    def test_a_bar_in_a_quoted_sender_stays_inside_its_field(self):
        gw = Gateway(self, {"phone_country": "+61"})
        s = smtp(gw)
        try:
            s.mail('"x|10.9.9.9"@corp.example')
            s.rcpt("0412345678@gw")
            s.data(MAIL)
        finally:
            s.quit()
        recs = gw.wait_records(1)
        self.assertRegex(recs[0], r'^SUCCESS\|127\.0\.0\.1\|"x\\\|10\.9\.9\.9"@corp\.example\|'
                         r"\+61412345678\|" + ASCTIME + r"\|NONE\|$")


class Failures(unittest.TestCase):
    def attempts_with(self, retries):
        gw = Gateway(self, {"phone_country": "+61", "sms_retries": retries})
        gw.fail_robot("FAILED no signal")
        send(gw, "ann@corp.example", ["0412345678@gw"])
        gw.wait_records(1)
        gw.sink.wait_mails(1)
        return gw, gw.attempts()

    def test_retries_zero_is_one_attempt(self):
        gw, attempts = self.attempts_with("0")
        self.assertEqual(len(attempts), 1)
        self.assertFalse(any("Message send failed, retry..." in l for l in gw.log()))

    def test_retries_three_is_four_attempts(self):
        gw, attempts = self.attempts_with("3")
        self.assertEqual(len(attempts), 4)
        self.assertEqual(sum(l == "Message send failed, retry..." for l in gw.log()), 3)
        self.assertEqual(gw.file("msgrec.to"), None)  # failures are not counted

    def test_failure_notice_recipient_headers_and_text(self):
        gw, _ = self.attempts_with("0")
        mail = gw.sink.wait_mails(1)[0]
        self.assertEqual(mail["rcpt"], "ann@corp.example")
        h = dict(mail["headers"])
        self.assertEqual(h["Subject"], "SMS Failed")
        self.assertEqual(h["X-Tolvane"], "ERROR")
        self.assertEqual(h["To"], "ann@corp.example")
        self.assertEqual(h["From"], "ann@corp.example")
        self.assertEqual(mail["body"].strip(),
                         "SMS to (+61412345678) failed delivery (FAILED no signal)")
        self.assertRegex(gw.wait_records(1)[0], r"^FAILURE\|127\.0\.0\.1\|ann@corp\.example\|"
                         r"\+61412345678\|" + ASCTIME + r"\|FAILED no signal\|$")


class Text(unittest.TestCase):
    def test_multipart_mail_gives_its_text_plain_part(self):
        gw = Gateway(self, {"phone_country": "+61"})
        data = ("Subject: Parts\r\nMIME-Version: 1.0\r\n"
                "Content-Type: multipart/alternative; boundary=\"XYZ\"\r\n\r\n"
                "preamble\r\n--XYZ\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n"
                "--XYZ\r\nContent-Type: text/plain\r\n\r\nplain words\r\n--XYZ--\r\n")
        send(gw, "a@corp.example", ["0412000001@gw"], data)
        self.assertEqual(gw.wait_attempts(1)[0]["text"], "Parts - plain words\n")

    def test_encoded_subjects_are_decoded(self):
        gw = Gateway(self, {"phone_country": "+61"})
        q = "=?iso-8859-1?q?Gro=DFe_news?="
        b = email.header.Header("Caf\u00e9 ready", "iso-8859-1").encode()
        self.assertTrue(b.startswith("=?iso-8859-1?"))
        send(gw, "a@corp.example", ["0412000001@gw"], "Subject: %s\r\n\r\nx\r\n" % q)
        send(gw, "a@corp.example", ["0412000002@gw"], "Subject: %s\r\n\r\ny\r\n" % b)
        texts = {a["to"]: a["text"] for a in gw.wait_attempts(2)}
        self.assertEqual(texts["+61412000001"], "Gro\u00dfe news - x\n")
        self.assertEqual(texts["+61412000002"], "Caf\u00e9 ready - y\n")

    def test_sms_format_template(self):
        gw = Gateway(self, {"phone_country": "+61", "sms_format": "$(Subject): $(body5)$(nl)#$(X-Ref)"})
        send(gw, "a@corp.example", ["0412000001@gw"],
             "Subject: Hello\r\nX-Ref: R7\r\n\r\nLunch at noon\r\n")
        self.assertEqual(gw.wait_attempts(1)[0]["text"], "Hello: Lunch\n#R7")

    def test_sms_smart_spaces(self):
        gw = Gateway(self, {"phone_country": "+61", "sms_smart": "spaces"})
        send(gw, "a@corp.example", ["0412000001@gw"], "Subject: big news\r\n\r\nsee you soon\r\n")
        self.assertEqual(gw.wait_attempts(1)[0]["text"], "BigNews-SeeYouSoon")

    def test_subject_can_be_left_out(self):
        gw = Gateway(self, {"phone_country": "+61", "sms_subject": "false"})
        send(gw, "a@corp.example", ["0412000001@gw"])
        self.assertEqual(gw.wait_attempts(1)[0]["text"], "At noon\n")


class SmsByMail(unittest.TestCase):
    def test_send_mode_smtp_with_provider_domain(self):
        gw = Gateway(self, {"send_mode": "smtp", "smtp_sms_todomain": "sms.provider.example",
                            "smtp_domain": "gw.example", "phone_country": "+61"})
        send(gw, "ann@corp.example", ["0412345678@gw.example"])
        mail = gw.sink.wait_mails(1)[0]
        self.assertEqual(mail["rcpt"], "+61412345678@sms.provider.example")
        self.assertEqual(mail["sender"], "ann@corp.example")
        self.assertEqual(dict(mail["headers"])["Subject"], "Lunch")
        self.assertEqual(mail["body"].strip(), "Lunch - At noon")
        rec = gw.wait_records(1)
        self.assertIn("|+61412345678|", rec[0])

    def test_send_mode_smtp_without_domain_keeps_whole_addresses(self):
        gw = Gateway(self, {"send_mode": "smtp", "phone_country": "+61"})
        out = subprocess.run(
            ["swaks", "--protocol", "SMTP", "--server", "127.0.0.1:%d" % gw.port,
             "--from", "ann@corp.example", "--to", "0412345678@provider.example",
             "--header", "Subject: Hi", "--body", "by mail"],
            capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stdout)
        mail = gw.sink.wait_mails(1)[0]
        self.assertEqual(mail["rcpt"], "0412345678@provider.example")
        self.assertTrue(mail["body"].startswith("Hi - by mail"))
        self.assertIn("|0412345678@provider.example|", gw.wait_records(1)[0])


if __name__ == "__main__":
    unittest.main()
