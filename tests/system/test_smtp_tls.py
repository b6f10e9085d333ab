"""Encryption on the listener against the real binary: STARTTLS then AUTH PLAIN and LOGIN
with swaks, AUTH kept back until the session is encrypted, implicit TLS on a port of its
own, TLS 1.2 and later only (openssl s_client), a client that opens TLS and says nothing
while others are served, and a command sent behind STARTTLS in the same packet dropped."""

import base64
import hashlib
import os
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

from mailsms import BIN, Client, Gateway, free_port, replies, ssha, swaks


def offers(lines, word):
    return any(l[:3] == "250" and l[4:] == word for l in lines)


def s_client(port, *extra):
    r = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port,
                        "-starttls", "smtp", *extra],
                       input="QUIT\n", capture_output=True, text=True, timeout=30)
    return r.returncode, r.stdout + r.stderr


def unverified():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


class TlsLine:
    """A raw client line reader over an encrypted socket."""

    def __init__(self, test, sock):
        self.sock = sock
        test.addCleanup(sock.close)
        self.buf = b""

    def line(self):
        while b"\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                return None
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        return line.rstrip(b"\r").decode("latin-1")

    def ask(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.line()

    def reply(self, text):
        """All lines of a multi-line reply."""
        self.sock.sendall(text.encode() + b"\r\n")
        lines = [self.line()]
        while lines[-1] is not None and lines[-1][3:4] == "-":
            lines.append(self.line())
        return lines


class Tls(unittest.TestCase):
    def _tmp(self):
        d = tempfile.mkdtemp(prefix="tv-tls-")
        self.addCleanup(shutil.rmtree, d, True)
        return d

    def gateway(self, **settings):
        users = os.path.join(self._tmp(), "smtp_users")
        with open(users, "w") as f:
            f.write("ann:%s\n" % ssha("right one"))
            f.write("bob:%s\n" % ssha("b0b"))
        base = {"phone_country": "+61", "smtp_users": users, "smtp_tls": "starttls"}
        base.update(settings)
        return Gateway(self, base)

    def test_starttls_then_auth_plain_and_login(self):
        gw = self.gateway(smtp_auth="required")
        table = [
            ("PLAIN", "ann", "right one", "235 Authentication successful"),
            ("LOGIN", "bob", "b0b", "235 Authentication successful"),
            ("PLAIN", "ann", "wrong", "535 Authentication failed"),
            ("LOGIN", "bob", "right one", "535 Authentication failed"),
        ]
        for mech, user, password, answer in table:
            with self.subTest(mech=mech, user=user, password=password):
                out = swaks(gw.port, "--tls", "--auth", mech, "--auth-user", user,
                            "--auth-password", password)
                r = replies(out)
                self.assertIn("220 Ready to start TLS", r, out)
                self.assertIn(answer, r, out)
                # Before STARTTLS the extensions offer it and no AUTH; after it, AUTH
                # and no second STARTTLS.
                first = r.index("220 Ready to start TLS")
                self.assertTrue(offers(r[:first], "STARTTLS"), out)
                self.assertFalse(any("AUTH" in x for x in r[:first]), out)
                self.assertIn("250 AUTH PLAIN LOGIN", r[first:])
                self.assertFalse(any("STARTTLS" in x for x in r[first + 1:]), out)
                if answer.startswith("235"):
                    self.assertIn("250 Command DATA Processed mail data OK", r, out)
                else:
                    self.assertNotIn("250 Command MAIL OK", r, out)
        self.assertEqual(len(gw.wait_attempts(2)), 2)
        log = "\n".join(gw.log())
        self.assertIn("authenticated as ann", log)
        self.assertIn("authenticated as bob", log)

    def test_accept_user_lists_the_authenticated_names_that_may_send(self):
        gw = self.gateway(smtp_auth="optional", accept_user="an*, carol")
        table = [
            (("--auth", "PLAIN", "--auth-user", "ann", "--auth-password", "right one"), True),
            (("--auth", "LOGIN", "--auth-user", "bob", "--auth-password", "b0b"), False),
            # Not authenticated: accept_ip alone decides.
            ((), True),
        ]
        for extra, sent in table:
            with self.subTest(extra=extra):
                out = swaks(gw.port, "--tls", *extra)
                r = replies(out)
                if sent:
                    self.assertIn("250 Command DATA Processed mail data OK", r, out)
                else:
                    self.assertTrue(any(x.endswith(" User Blocked") for x in r), out)
                    self.assertNotIn("250 Command DATA Processed mail data OK", r, out)
        self.assertEqual(len(gw.wait_attempts(2)), 2)
        gw.wait_log("Connection from [127.0.0.1] as user [bob] blocked")

    def test_a_broken_certificate_stops_the_start_with_its_reason(self):
        cert = os.path.join(self._tmp(), "broken.pem")
        with open(cert, "w") as f:
            f.write("-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n")
        gw = Gateway(self, {"phone_country": "+61", "smtp_tls": "starttls",
                            "smtp_tls_cert": cert}, start=False)
        with self.assertRaises(AssertionError) as caught:
            gw.start()
        self.assertIn("Failed to init smtp, Error while listening for connections "
                      "(TLS set-up failed: use_certificate_file failed (%s" % cert,
                      str(caught.exception))

    def test_password_tool_writes_a_user_the_listener_takes(self):
        users = os.path.join(self._tmp(), "smtp_users")
        with open(users, "w") as f:
            f.write("ann:%s\n" % ssha("right one"))
        gw = Gateway(self, {"phone_country": "+61", "smtp_users": users, "smtp_tls": "starttls",
                            "smtp_auth": "required"}, start=False)
        r = subprocess.run([BIN, "-config", gw.ini, "-password", "smtp"],
                           input="carl\nc4rl pw!\nc4rl pw!\n", capture_output=True, text=True,
                           timeout=30)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("Added user carl in " + users, r.stdout)
        self.assertNotIn("c4rl pw!", r.stdout)
        self.assertEqual(os.stat(users).st_mode & 0o777, 0o600)
        gw.start()
        for user, password in (("carl", "c4rl pw!"), ("ann", "right one")):
            with self.subTest(user=user):
                out = swaks(gw.port, "--tls", "--auth", "PLAIN", "--auth-user", user,
                            "--auth-password", password)
                self.assertIn("235 Authentication successful", replies(out), out)

    def test_auth_is_refused_before_starttls_and_offered_after(self):
        gw = self.gateway(smtp_auth="optional")
        c = Client(self, gw.port)
        c.line()
        c.send("EHLO me")
        ehlo = [c.line()]
        while ehlo[-1][3:4] == "-":
            ehlo.append(c.line())
        self.assertTrue(offers(ehlo, "STARTTLS"), ehlo)
        self.assertFalse(any("AUTH" in l for l in ehlo), ehlo)
        self.assertEqual(c.ask("AUTH PLAIN AGFubgByaWdodCBvbmU="),
                         "530 Must issue a STARTTLS command first")
        self.assertEqual(c.ask("STARTTLS now"), "501 Syntax error (no parameters allowed)")
        self.assertEqual(c.ask("STARTTLS"), "220 Ready to start TLS")
        t = TlsLine(self, unverified().wrap_socket(c.sock))
        self.assertTrue(t.ask("MAIL FROM:<a@b>").startswith("500 HELO expected"))
        ehlo = t.reply("EHLO me")
        self.assertIn("250 AUTH PLAIN LOGIN", ehlo)
        self.assertFalse(offers(ehlo, "STARTTLS"), ehlo)
        self.assertEqual(t.ask("STARTTLS"), "503 TLS already active")
        self.assertEqual(t.ask("AUTH PLAIN AGFubgByaWdodCBvbmU="), "235 Authentication successful")

    def test_a_command_sent_behind_starttls_is_dropped(self):
        gw = self.gateway()
        c = Client(self, gw.port)
        c.line()
        c.send("EHLO me")
        while c.line()[3:4] == "-":
            pass
        # STARTTLS, EHLO and MAIL FROM in one packet: neither may run.
        c.sock.sendall(b"STARTTLS\r\nEHLO evil\r\nMAIL FROM:<smuggled@evil.example>\r\n")
        self.assertEqual(c.line(), "220 Ready to start TLS")
        self.assertEqual(c.buf, b"")
        t = TlsLine(self, unverified().wrap_socket(c.sock))
        ehlo = t.reply("EHLO me")
        self.assertIn("Hello me(", ehlo[0])
        # Were the MAIL run, this recipient would be taken.
        self.assertEqual(t.ask("RCPT TO:<0412345678@gw>"), "500 Unknown command (RCPT)")
        gw.wait_log("behind STARTTLS before the handshake: dropped unread")

    def test_implicit_tls_on_a_second_port(self):
        tls_port = free_port()
        gw = self.gateway(smtp_tls="wrapper", smtp_tls_port=str(tls_port))
        gw.wait_log("port %d (implicit TLS)" % tls_port)
        out = swaks(tls_port, "--tls-on-connect")
        r = replies(out)
        self.assertIn("250 Command DATA Processed mail data OK", r, out)
        self.assertFalse(any("STARTTLS" in x for x in r), out)
        # The mail port still speaks plain text and offers STARTTLS.
        out = swaks(gw.port, "--tls")
        self.assertIn("250 Command DATA Processed mail data OK", replies(out), out)
        self.assertEqual(len(gw.wait_attempts(2)), 2)

    def test_tls_1_2_and_later_only(self):
        gw = self.gateway()
        table = [
            ((), True),
            (("-tls1_2",), True),
            (("-tls1_3",), True),
            # The client is told to allow TLS 1.1 at its lowest security level, so the
            # refusal can only be the server's.
            (("-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"), False),
        ]
        for extra, works in table:
            with self.subTest(extra=extra):
                rc, out = s_client(gw.port, *extra)
                proto = re.search(r"Protocol\s*:\s*(\S+)", out) or \
                    re.search(r"New, (TLSv[\d.]+)", out)
                if works:
                    self.assertEqual(rc, 0, out)
                    self.assertIsNotNone(proto, out)
                    self.assertIn(proto.group(1), ("TLSv1.2", "TLSv1.3"), out)
                else:
                    self.assertNotEqual(rc, 0, out)
                    self.assertIn("Cipher is (NONE)", out)

    def test_a_silent_tls_client_does_not_hold_others_up(self):
        tls_port = free_port()
        gw = self.gateway(smtp_tls="wrapper", smtp_tls_port=str(tls_port))
        gw.wait_log("(implicit TLS)")
        # One client opens the implicit-TLS port and sends nothing; another says
        # STARTTLS and then nothing.
        silent = socket.create_connection(("127.0.0.1", tls_port), timeout=30)
        self.addCleanup(silent.close)
        opened = time.monotonic()
        half = Client(self, gw.port, timeout=30)
        half.line()
        half.ask("EHLO me")
        while half.line()[3:4] == "-":
            pass
        self.assertEqual(half.ask("STARTTLS"), "220 Ready to start TLS")
        for port, how in ((gw.port, "--tls"), (tls_port, "--tls-on-connect"), (gw.port, "")):
            with self.subTest(port=port, how=how):
                out = swaks(port, *([how] if how else []))
                self.assertIn("250 Command DATA Processed mail data OK", replies(out), out)
        self.assertEqual(len(gw.wait_attempts(3)), 3)
        # The silent one is still waited for on its own session, unless the client time
        # limit (10 s) has passed on a very slow machine.
        silent.setblocking(False)
        if time.monotonic() - opened < 9:
            with self.assertRaises(BlockingIOError):
                silent.recv(1)


if __name__ == "__main__":
    unittest.main()
