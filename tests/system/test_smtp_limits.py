"""The mail listener under pressure and against careless or hostile clients, on the real
binary with real clients (smtplib, swaks, raw sockets): the session cap, running out of
descriptors, the recipient cap, the error budget, recipient numbers written every way
people write them, and a workpath that fills up while a mail is spooled."""

import os
import resource
import smtplib
import socket
import subprocess
import tempfile
import unittest

from mailsms import Client, Gateway, free_port, wait_for

TOO_MANY = "421 Too many connections, try again later"


def greeting(port, timeout=5.0):
    """The first line the listener sends a new client, or None when it just closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        data = b""
        while b"\n" not in data:
            chunk = s.recv(200)
            if not chunk:
                break
            data += chunk
        return data.decode("latin-1").split("\r\n")[0] if data else None


class SessionCap(unittest.TestCase):
    def test_one_client_too_many_is_told_and_closed_and_a_freed_place_is_reused(self):
        gw = Gateway(self, {"smtp_max_sessions": "5"})

        def session():
            # The start-up check's own connection holds a place until the gateway has
            # seen it close: a 421 then is right, and the place comes free soon.
            c = Client(self, gw.port)
            if (c.line() or "").startswith("220 "):
                return c
            c.close()
            return None
        held = [wait_for(session, what="session %d" % i) for i in range(5)]
        # A real client, one too many: smtplib reports the refusal as a connect error.
        with self.assertRaises(smtplib.SMTPConnectError) as e:
            smtplib.SMTP("127.0.0.1", gw.port, timeout=5)
        self.assertEqual(e.exception.smtp_code, 421)
        self.assertEqual(e.exception.smtp_error.decode(),
                         "Too many connections, try again later")
        # The refused client is closed, not left waiting.
        over = Client(self, gw.port)
        self.assertEqual(over.line(), TOO_MANY)
        self.assertIsNone(over.line())
        # A place given back (QUIT) is free again.
        self.assertTrue(held[0].ask("QUIT").startswith("221"))
        wait_for(lambda: (greeting(gw.port) or "").startswith("220 "),
                 what="a greeting once a session ended")
        # The held sessions still work.
        self.assertTrue(held[1].ask("HELO me").startswith("250 "))

    def test_running_out_of_descriptors_is_logged_and_the_listener_recovers(self):
        # Few descriptors for the whole process (soft and hard), far fewer than sessions.
        def low_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48))

        gw = Gateway(self, {"smtp_max_sessions": "500", "phone_country": "+61"}, start=False,
                     fast_robot=True)
        gw.out = open(os.path.join(gw.home, "stdout.txt"), "wb")
        self.addCleanup(gw.out.close)
        gw.proc = subprocess.Popen([os.environ["TOLVANE_BIN"], "-config", gw.ini, "-foreground"],
                                   stdout=gw.out, stderr=subprocess.STDOUT, cwd=gw.home,
                                   preexec_fn=low_limit)
        self.addCleanup(gw.stop)
        wait_for(gw._listening, 15, what="the gateway to listen")
        held, refused = [], 0
        for _ in range(80):
            c = Client(self, gw.port)
            first = c.line()
            if first is None or first.startswith("421"):
                refused += 1
                c.close()
                break
            held.append(c)
        self.assertGreater(refused, 0, "the descriptor limit was never reached")
        gw.wait_log("SMTP listener: accepting a connection failed (Too many open files)")
        for c in held:
            c.close()
        # Once the pressure has passed, mail flows again through the same listener.
        def sent():
            try:
                s = smtplib.SMTP("127.0.0.1", gw.port, timeout=5)
            except (smtplib.SMTPException, OSError):
                return False
            try:
                s.helo("client.example")
                s.sendmail("a@corp.example", ["0412000001@gw"], "Subject: s\r\n\r\nback\r\n")
                return True
            finally:
                s.quit()
        wait_for(sent, what="a mail accepted after the pressure passed")
        gw.wait_attempts(1)


class RecipientCapAndErrorBudget(unittest.TestCase):
    def test_150_recipients_give_100_sms_and_50_refusals(self):
        gw = Gateway(self, {"phone_country": "+61"}, fast_robot=True)
        rcpts = ["04120%05d@gw" % i for i in range(150)]
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=60)
        s.helo("client.example")
        refused = s.sendmail("a@corp.example", rcpts, "Subject: many\r\n\r\nhello\r\n")
        s.quit()
        self.assertEqual(sorted(refused), sorted(rcpts[100:]))
        for r in rcpts[100:]:
            self.assertEqual(refused[r], (452, b"Too many recipients"))
        got = gw.wait_attempts(100, timeout=60)
        self.assertEqual(sorted(a["to"] for a in got),
                         sorted("+614120%05d" % i for i in range(100)))

    def test_the_21st_error_closes_the_session(self):
        gw = Gateway(self, {"phone_country": "+61"})
        cases = [
            ("unknown commands", lambda c: c.ask("FROB x"), "500 Unknown command (FROB)"),
            ("refused recipients", lambda c: c.ask("RCPT TO:<abc@gw>"),
             "500 Not a phone number (abc@gw)"),
        ]
        for name, command, answer in cases:
            with self.subTest(name):
                c = Client(self, gw.port)
                c.line()
                self.assertTrue(c.ask("HELO me").startswith("250 "))
                self.assertTrue(c.ask("MAIL FROM:<a@corp.example>").startswith("250 "))
                for i in range(20):
                    self.assertEqual(command(c), answer, "error %d" % (i + 1))
                self.assertEqual(command(c), "421 Too many errors")
                self.assertIsNone(c.line())
                c.close()
        # Twenty errors are allowed: a client that errs and then behaves is served.
        c = Client(self, gw.port)
        c.line()
        for _ in range(19):
            c.ask("FROB")
        self.assertTrue(c.ask("HELO me").startswith("250 "))
        self.assertTrue(c.ask("MAIL FROM:<a@corp.example>").startswith("250 "))
        self.assertEqual(c.ask("RCPT TO:<0412345678@gw>"), "250 Command RCPT User found OK")


class RecipientNumbers(unittest.TestCase):
    def send(self, gw, rcpts):
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=30)
        s.helo("client.example")
        try:
            return s.sendmail("a@corp.example", rcpts, "Subject: n\r\n\r\nnumber\r\n")
        finally:
            s.quit()

    def test_every_written_form_becomes_one_international_number(self):
        gw = Gateway(self, {"phone_country": "+61", "smtp_prefix": "sms"}, fast_robot=True)
        table = [
            ("00441234567890@gw", "+441234567890"),        # "00" international prefix
            ("0011441234567890@gw", "+441234567890"),      # the region's own prefix
            ("0412-345-678@gw", "+61412345678"),
            ("0412.345.678@gw", "+61412345678"),
            ('"0412 345 678"@gw', "+61412345678"),         # quoted local part
            ("sms0299998888@gw", "+61299998888"),          # smtp_prefix removed first
            ("+1-212-555-0123@gw", "+12125550123"),        # United States
            ("+4930123456@gw", "+4930123456"),            # Germany
            ("0033612345678@gw", "+33612345678"),          # France, "00" form
            ("+819012345678@gw", "+819012345678"),         # Japan
        ]
        bad = ["abc@gw", "0412@gw", "+61412345678x9@gw", "0412345678abc@gw", '""@gw']
        refused = self.send(gw, [r for r, _ in table] + bad)
        self.assertEqual(sorted(refused), sorted(bad))
        for b in bad:
            code, text = refused[b]
            self.assertEqual((code, text.decode()), (500, "Not a phone number (%s)" % b))
        got = gw.wait_attempts(len(table))
        self.assertEqual(sorted(a["to"] for a in got), sorted(e for _, e in table))

    def test_a_region_with_its_own_prefixes(self):
        # An Australian national number has a North American length: only the ranges of
        # the number data tell them apart.
        gw = Gateway(self, {"phone_country": "+1", "number_check": "valid"}, fast_robot=True)
        table = [
            ('"(212) 555-0123"@gw', "+12125550123"),
            ("011441234567890@gw", "+441234567890"),  # the region's own prefix
            ("2125550123@gw", "+12125550123"),
        ]
        refused = self.send(gw, [r for r, _ in table] + ["0412345678@gw"])
        self.assertEqual(list(refused), ["0412345678@gw"])
        got = gw.wait_attempts(len(table))
        self.assertEqual(sorted(a["to"] for a in got), sorted(e for _, e in table))

    def test_a_range_newer_than_the_number_data_is_taken_unless_valid_is_asked(self):
        # Area code 835 came into service after the installed number data was made.
        for check in (None, "possible", "valid"):
            with self.subTest(number_check=check):
                settings = {"phone_country": "+1"}
                if check:
                    settings["number_check"] = check
                gw = Gateway(self, settings, fast_robot=True)
                refused = self.send(gw, ["8355550123@gw", "abc@gw", "83555501@gw",
                                         "2125550123@gw"])
                if check == "valid":
                    self.assertEqual(sorted(refused), ["8355550123@gw", "83555501@gw", "abc@gw"])
                    self.assertEqual(refused["8355550123@gw"],
                                     (500, b"Not a phone number (8355550123@gw)"))
                    want = ["+12125550123"]
                else:
                    self.assertEqual(sorted(refused), ["83555501@gw", "abc@gw"])
                    want = ["+12125550123", "+18355550123"]
                got = gw.wait_attempts(len(want))
                self.assertEqual(sorted(a["to"] for a in got), want)
                self.doCleanups()

    def test_swaks_sees_the_refusal_of_a_word(self):
        gw = Gateway(self, {"phone_country": "+61"})
        r = subprocess.run(["swaks", "--server", "127.0.0.1", "--port", str(gw.port),
                            "--from", "a@corp.example", "--to", "abc@gw", "--helo", "c"],
                           capture_output=True, text=True, timeout=30)
        self.assertIn("<** 500 Not a phone number (abc@gw)", r.stdout)
        self.assertEqual(gw.attempts(), [])

    def test_mail_to_a_provider_without_its_domain_keeps_the_whole_address(self):
        gw = Gateway(self, {"phone_country": "+61", "send_mode": "smtp"})
        refused = self.send(gw, ["abc@provider.example"])
        self.assertEqual(refused, {})
        mails = gw.sink.wait_mails(1)
        self.assertEqual(mails[0]["rcpt"], "abc@provider.example")


class FullDisk(unittest.TestCase):
    def test_a_mail_that_does_not_fit_is_refused_and_nothing_is_sent(self):
        work = tempfile.mkdtemp(prefix="tv-tmpfs-")
        self.addCleanup(os.rmdir, work)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=0700", "tmpfs", work],
                           capture_output=True, text=True)
        if r.returncode != 0:
            self.skipTest("cannot mount a small tmpfs as workpath: " + r.stderr.strip())
        self.addCleanup(subprocess.run, ["umount", "-l", work], check=False)
        gw = Gateway(self, {"phone_country": "+61", "workpath": work,
                            "smtp_spool_over": "4096"})
        big = "Subject: big\r\n\r\n" + ("x" * 76 + "\r\n") * 8000  # about 600 KB
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=30)
        s.helo("client.example")
        with self.assertRaises(smtplib.SMTPDataError) as e:
            s.sendmail("a@corp.example", ["0412345678@gw"], big)
        s.close()
        self.assertEqual((e.exception.smtp_code, e.exception.smtp_error),
                         (452, b"Insufficient system storage"))
        gw.wait_log("Message data from [a@corp.example] not available, no SMS sent")
        self.assertEqual(gw.attempts(), [])
        wait_for(lambda: gw.spool_files() == [], what="the half-written spool file to go")
        # The space is back: the next mail goes through.
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=30)
        s.helo("client.example")
        s.sendmail("a@corp.example", ["0412345678@gw"], "Subject: small\r\n\r\nfits\r\n")
        s.quit()
        self.assertEqual([a["to"] for a in gw.wait_attempts(1)], ["+61412345678"])


if __name__ == "__main__":
    unittest.main()
