"""AUTH on the listener against the real binary with swaks: PLAIN and LOGIN with right
and wrong passwords, a required AUTH refusing MAIL, AUTH refused on a connection that is
not encrypted unless plaintext AUTH is allowed, and no secret in the dialogue trace."""

import base64
import hashlib
import os
import re
import subprocess
import time
import unittest

from mailsms import Gateway, replies, ssha, swaks, wait_for


class Auth(unittest.TestCase):
    def gateway(self, **settings):
        users = os.path.join(self._tmp(), "smtp_users")
        with open(users, "w") as f:
            f.write("ann:%s\n" % ssha("right one"))
            f.write("bob:%s\n" % ssha("b0b"))
            f.write("junk line\n")
        base = {"phone_country": "+61", "smtp_users": users}
        base.update(settings)
        return Gateway(self, base)

    def _tmp(self):
        import tempfile
        d = tempfile.mkdtemp(prefix="tv-auth-")
        self.addCleanup(__import__("shutil").rmtree, d, True)
        return d

    def test_required_auth_with_right_and_wrong_passwords(self):
        trace = os.path.join(self._tmp(), "smtp.log")
        gw = self.gateway(smtp_auth="required", smtp_auth_plaintext="true",
                          smtp_debug_file=trace)
        # Without AUTH, MAIL is refused.
        r = replies(swaks(gw.port))
        self.assertIn("250 AUTH PLAIN LOGIN", r)
        self.assertIn("530 Authentication required", r)
        table = [
            ("PLAIN", "ann", "right one", "235 Authentication successful"),
            ("LOGIN", "bob", "b0b", "235 Authentication successful"),
            ("PLAIN", "ann", "wrong", "535 Authentication failed"),
            ("LOGIN", "bob", "right one", "535 Authentication failed"),
            ("PLAIN", "nobody", "x", "535 Authentication failed"),
        ]
        for mech, user, password, answer in table:
            with self.subTest(mech=mech, user=user, password=password):
                start = time.monotonic()
                out = swaks(gw.port, "--auth", mech, "--auth-user", user,
                            "--auth-password", password)
                took = time.monotonic() - start
                self.assertIn(answer, replies(out), out)
                if answer.startswith("535"):
                    self.assertGreaterEqual(took, 0.9)  # a failure costs a second
        got = gw.wait_attempts(2)
        self.assertEqual(len(got), 2)
        log = "\n".join(gw.log())
        self.assertIn("authenticated as ann", log)
        self.assertIn("authenticated as bob", log)
        # A session's trace lines are written when it ends: wait for all six sessions.
        def trace_text():
            with open(trace) as f:
                return f.read()
        wait_for(lambda: trace_text().count("SMTP->[221") >= 1 + len(table), 10,
                 what="the trace of every session")
        text = trace_text()
        self.assertIn("SMTP<-[AUTH <redacted>]", text)
        for secret in ["right one", "b0b", base64.b64encode(b"right one").decode(),
                       base64.b64encode(b"\0ann\0right one").decode(),
                       base64.b64encode(b"b0b").decode()]:
            self.assertNotIn(secret, text)
            self.assertNotIn(secret, log)

    def test_auth_is_refused_on_a_plain_connection(self):
        gw = self.gateway(smtp_auth="optional")
        out = swaks(gw.port)
        self.assertNotIn("250 AUTH PLAIN LOGIN", replies(out))
        self.assertIn("250 Command DATA Processed mail data OK", replies(out), out)
        out = swaks(gw.port, "--auth", "PLAIN", "--auth-user", "ann", "--auth-password",
                    "right one")
        self.assertNotIn("235 Authentication successful", replies(out), out)

    def test_auth_before_starttls_gets_530_from_a_raw_client(self):
        from mailsms import Client
        gw = self.gateway(smtp_auth="optional")
        c = Client(self, gw.port)
        c.line()
        c.ask("HELO me")
        self.assertEqual(c.ask("AUTH PLAIN AGFubgByaWdodCBvbmU="),
                         "530 Must issue a STARTTLS command first")

    def test_required_auth_closes_an_open_listener(self):
        gw = self.gateway(smtp_auth="required", smtp_listen="0.0.0.0")
        gw.wait_log("SMTP listening on")
        self.assertFalse(any("Warning: SMTP listener" in l for l in gw.log()))


if __name__ == "__main__":
    unittest.main()
