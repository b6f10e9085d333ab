"""Today's mail clients against the real binary: EHLO and its extensions with swaks,
a pipelined dialogue that gets the same replies as a plain one, the mail, implicit-TLS
and web listeners on exactly the configured addresses (IPv6 included), and the warning
an open gateway logs."""

import re
import smtplib
import subprocess
import unittest

from mailsms import Gateway


def swaks(port, *extra, server="127.0.0.1", to="0412345678@gw"):
    r = subprocess.run(["swaks", "--server", server, "--port", str(port), "--from",
                        "a@corp.example", "--to", to, "--helo", "client.example",
                        "--header", "Subject: esmtp", "--body", "hello", *extra],
                       capture_output=True, text=True, timeout=30)
    return r.stdout + r.stderr


def replies(transcript):
    """The server's replies in a swaks transcript, without the greeting's host text."""
    out = []
    for line in transcript.splitlines():
        m = re.match(r"^\s*<[-*~]+\s+(.*)$", line)
        if m:
            out.append(m.group(1))
    return out


def listening(port):
    r = subprocess.run(["ss", "-ltnH"], capture_output=True, text=True, check=True)
    found = set()
    for line in r.stdout.splitlines():
        local = line.split()[3]
        addr, _, p = local.rpartition(":")
        if p == str(port):
            found.add(addr)
    return found


def web_port_of(gw):
    with open(gw.ini) as f:
        return int(dict(l.split(" ", 1) for l in f.read().splitlines())["web_port"])


class Esmtp(unittest.TestCase):
    def test_swaks_gets_the_extensions_and_its_mail_becomes_an_sms(self):
        gw = Gateway(self, {"phone_country": "+61"})
        out = swaks(gw.port)
        r = replies(out)
        self.assertIn("250-PIPELINING", r)
        self.assertIn("250-SIZE 10485760", r)
        self.assertIn("250 8BITMIME", r)
        self.assertIn("250 Command DATA Processed mail data OK", r, out)
        self.assertEqual([a["to"] for a in gw.wait_attempts(1)], ["+61412345678"])

    def test_noop_vrfy_and_a_second_ehlo_are_answered_as_mail_programs_expect(self):
        gw = Gateway(self, {"phone_country": "+61"}, fast_robot=True)
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=30)
        self.addCleanup(s.close)
        self.assertEqual(s.noop(), (250, b"OK"))
        self.assertEqual(s.ehlo("first.example")[0], 250)
        self.assertEqual(s.docmd("NOOP", "still there?"), (250, b"OK"))
        self.assertEqual(s.verify("0412345678@gw"),
                         (252, b"Cannot VRFY user, but will accept message and attempt delivery"))
        # A mail begun, then a new greeting: it is dropped, and the greeting answered in full.
        self.assertEqual(s.mail("dropped@corp.example")[0], 250)
        self.assertEqual(s.rcpt("0498765432@gw")[0], 250)
        code, text = s.ehlo("second.example")
        self.assertEqual(code, 250)
        self.assertIn(b"Hello second.example(127.0.0.1)", text)
        self.assertIn("pipelining", s.esmtp_features)
        s.sendmail("a@corp.example", ["0412345678@gw"], "Subject: after\r\n\r\nhello\r\n")
        self.assertEqual(s.helo("third.example")[0], 250)
        self.assertEqual(s.quit()[0], 221)
        self.assertEqual([a["to"] for a in gw.wait_attempts(1)], ["+61412345678"])

    def test_a_pipelined_dialogue_gets_the_same_replies(self):
        gw = Gateway(self, {"phone_country": "+61", "smtp_max_size": "5000"}, fast_robot=True)
        plain = replies(swaks(gw.port))
        piped_out = swaks(gw.port, "--pipeline")
        piped = replies(piped_out)
        self.assertIn("250-SIZE 5000", plain)
        self.assertEqual(piped, plain, piped_out)
        # A refused recipient in the middle of a pipelined batch keeps its place.
        out = swaks(gw.port, "--pipeline", to="abc@gw,0412345678@gw")
        r = replies(out)
        self.assertIn("500 Not a phone number (abc@gw)", r, out)
        self.assertIn("250 Command DATA Processed mail data OK", r, out)
        gw.wait_attempts(3)

    def test_listeners_on_exactly_the_configured_addresses_ipv6_included(self):
        gw = Gateway(self, {"phone_country": "+61", "smtp_listen": "127.0.0.1 ::1"})
        self.assertEqual(listening(gw.port), {"127.0.0.1", "[::1]"})
        out = swaks(gw.port, server="::1")
        self.assertIn("250 Command DATA Processed mail data OK", replies(out), out)
        self.assertEqual([a["to"] for a in gw.wait_attempts(1)], ["+61412345678"])
        self.assertFalse(any("Warning: SMTP listener" in l for l in gw.log()))

    def test_web_and_implicit_tls_listeners_on_exactly_the_configured_addresses(self):
        import mailsms
        tls_port = mailsms.free_port()
        gw = Gateway(self, {"phone_country": "+61", "smtp_listen": "127.0.0.1 ::1",
                            "web_listen": "127.0.0.1, ::1", "web_allow": "127.0.0.1 ::1",
                            "smtp_tls": "wrapper", "smtp_tls_port": str(tls_port)})
        web_port = web_port_of(gw)
        gw.wait_log("port %d (implicit TLS)" % tls_port)
        self.assertEqual(listening(tls_port), {"127.0.0.1", "[::1]"})
        self.assertEqual(listening(web_port), {"127.0.0.1", "[::1]"})
        for host in ("127.0.0.1", "[::1]"):
            with self.subTest(host=host):
                r = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                    "--max-time", "10",
                                    "http://%s:%d/health" % (host, web_port)],
                                   capture_output=True, text=True, timeout=30)
                self.assertEqual(r.stdout, "200", r.stderr)
        out = swaks(tls_port, "--tls-on-connect", server="::1")
        self.assertIn("250 Command DATA Processed mail data OK", replies(out), out)
        gw.wait_attempts(1)

    def test_the_web_listener_is_on_loopback_by_default(self):
        gw = Gateway(self, {"phone_country": "+61"})
        web_port = web_port_of(gw)
        gw.wait_log("COMMAND listening on 127.0.0.1 port %d" % web_port)
        self.assertEqual(listening(web_port), {"127.0.0.1"})

    def test_an_open_gateway_is_warned_about_and_a_closed_one_is_not(self):
        table = [
            ({}, "0.0.0.0"),
            ({"smtp_listen": "127.0.0.1, ::"}, "::"),
            ({"smtp_listen": "127.0.0.1"}, None),
            ({"accept_ip": "10.1.*, 127.0.0.1"}, None),
        ]
        for settings, warned in table:
            with self.subTest(settings=settings):
                gw = Gateway(self, dict(settings, phone_country="+61"))
                gw.wait_log("SMTP listening on")
                lines = [l for l in gw.log() if "Warning: SMTP listener" in l]
                if warned is None:
                    self.assertEqual(lines, [])
                else:
                    self.assertEqual(len(lines), 1, lines)
                    self.assertIn("listener on %s takes mail from any address" % warned,
                                  lines[0])
                    self.assertIn("smtp_listen 127.0.0.1, accept_ip or smtp_auth required",
                                  lines[0])
                gw.stop()


if __name__ == "__main__":
    unittest.main()
