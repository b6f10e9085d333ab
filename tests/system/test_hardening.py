"""Secrets in logs, the web channel's host check and wire, the servers' TLS ciphers and
silent web clients, against the real gateway: what is written where at the default
settings (the log's mode, no environment at any level, no web traces) and with
web_trace (private traces, secrets masked); form tokens used up by their command;
Host names accepted and refused (curl -H 'Host: ...'); header lines ending in CR LF
(the raw bytes); TLS 1.2 ciphers of the web port and of the SMTP STARTTLS and wrapper
ports (openssl s_client); and /health answered while silent clients hold every slot."""

import base64
import http.client
import os
import re
import socket
import stat
import subprocess
import time
import unittest

import tvtest
from mailsms import Gateway as MailGateway
from mailsms import free_port
from tvtest import gateway, wait_for
from test_web_security import closed_without_answer
from test_web import (PASSWORD, USER, WEB, check_clean_exit, count_row, request, send_mail,
                      session_of, token_of, web_gateway, write_admin)

AUTH = "Basic " + base64.b64encode(("%s:%s" % (USER, PASSWORD)).encode()).decode()
ENCODED_CREDENTIALS = AUTH[len("Basic "):]


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def umask():
    old = os.umask(0)
    os.umask(old)
    return old


def post(gw, form, cookie, headers=None):
    """(status, body) of a logged-in form POST in the session of cookie."""
    c = http.client.HTTPConnection("127.0.0.1", gw.web_port, timeout=60)
    h = {"Content-Type": "application/x-www-form-urlencoded", "Authorization": AUTH,
         "Cookie": cookie}
    h.update(headers or {})
    try:
        c.request("POST", "/", body=form, headers=h)
        r = c.getresponse()
        return r.status, r.read().decode("utf-8", "replace")
    finally:
        c.close()


def login(gw):
    """(cookie, token) of a new login session."""
    status, headers, page = request(gw)
    assert status == 200, page
    cookie = session_of(headers)
    assert cookie, "no login session cookie in %s" % headers
    return cookie, token_of(page)


def raw_answer(port, request_bytes):
    """Everything the server sends back to one raw request, up to its close."""
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(request_bytes)
        got = b""
        while True:
            part = s.recv(65536)
            if not part:
                return got
            got += part


def mail_with_robot(test, gw):
    """A mail that becomes an SMS through the robot (a spawned program)."""
    send_mail(gw, "ann@corp.example", "0412345678@gw.example")
    wait_for(lambda: gw.outbox_files(), what="the SMS in the outbox")
    return gw.read_outbox(gw.outbox_files()[0])


class Logs(unittest.TestCase):
    def test_what_is_written_at_the_default_settings(self):
        gw = gateway(self, extra=["webpath %s" % WEB, "phone_country +61"])
        # The harness asks for debug lines; here the gateway's own default rules.
        gw.lines = [l for l in gw.lines if not l.startswith("loglevel")]
        gw.write_settings()
        write_admin(self, gw)
        gw.start()
        self.addCleanup(check_clean_exit, self, gw)
        gw.wait_started()
        sms = mail_with_robot(self, gw)
        self.assertIn("At noon", sms)
        self.assertEqual(request(gw)[0], 200)
        gw.wait_log("New message from=[ann@corp.example]")
        log = gw.log()
        files = [
            # (file, its mode, or None when it must not exist)
            ("tolvane.log", 0o640 & ~umask()),
            ("smtp.log", 0o600),
            ("input.log", None),
            ("output.log", None),
        ]
        for name, want in files:
            with self.subTest(file=name):
                path = gw.path(name)
                if want is None:
                    self.assertFalse(os.path.exists(path))
                else:
                    self.assertEqual(oct(mode(path)), oct(want))
        lines = [
            # (what must not be in tolvane.log, why)
            (" Debug: ", "the default level is info"),
            ("lib_spawn: env(", "the robot's environment"),
            ("At noon", "the SMS text"),
            (ENCODED_CREDENTIALS, "the web credentials"),
        ]
        for text, why in lines:
            with self.subTest(absent=why):
                self.assertNotIn(text, log)
        self.assertIn(" Info: ", log)

    def test_the_environment_is_not_logged_even_at_debug(self):
        gw = gateway(self, extra=["webpath %s" % WEB, "phone_country +61"])
        self.assertIn("loglevel debug", gw.lines)
        secret = "pgpass-%d" % os.getpid()
        gw.start(env={"TOLVANE_TEST_DB_PASSWORD": secret})
        self.addCleanup(check_clean_exit, self, gw)
        gw.wait_started()
        mail_with_robot(self, gw)
        gw.wait_log("lib_spawn: lib_spawn(")
        log = gw.log()
        self.assertIn(" Debug: ", log)
        self.assertNotIn("lib_spawn: env(", log)
        self.assertNotIn("no env vars", log)
        self.assertNotIn(secret, log)

    def test_logs_of_an_earlier_version_lose_what_others_could_read(self):
        gw = gateway(self, extra=["webpath %s" % WEB, "phone_country +61"])
        for name in ("tolvane.log", "smtp.log"):
            with open(gw.path(name), "w") as f:
                f.write("Jan  1 00:00:00  [1][1] Info: made by an earlier version\n")
            os.chmod(gw.path(name), 0o644)
        gw.start()
        self.addCleanup(check_clean_exit, self, gw)
        gw.wait_started()
        send_mail(gw, "ann@corp.example", "0412345678@gw.example")
        wait_for(lambda: os.path.getsize(gw.path("smtp.log")) > 80, what="an SMTP trace line")
        self.assertEqual(oct(mode(gw.path("tolvane.log"))), oct(0o640))
        self.assertEqual(oct(mode(gw.path("smtp.log"))), oct(0o600))
        self.assertIn("made by an earlier version", gw.log())

    def test_web_trace_writes_private_traces_with_every_secret_masked(self):
        gw = web_gateway(self, extra=["web_trace true"])
        cookie, token = login(gw)
        status, body = post(gw, "limit_name=msgrec&sel_l_1=x&cmd_limit_reset=1&token=" + token,
                            cookie)
        self.assertEqual(status, 200)
        self.assertNotIn('id="refused"', body)
        next_token = token_of(body)
        with open(gw.path("input.log")) as f:
            requests = f.read()
        with open(gw.path("output.log")) as f:
            answers = f.read()
        for name in ("input.log", "output.log"):
            with self.subTest(file=name):
                self.assertEqual(oct(mode(gw.path(name))), oct(0o600))
        self.assertRegex(requests, r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} POST /\n")
        self.assertIn("\tAuthorization: (masked)\n", requests)
        self.assertIn("\tCookie: (masked)\n", requests)
        self.assertIn("\t(token)=(masked)\n", requests)
        self.assertIn("\t(limit_name)=(msgrec)\n", requests)
        self.assertIn("Set-Cookie: tolvane_session=(masked); Path=/; HttpOnly; SameSite=Strict",
                      answers)
        self.assertIn('name="token" value="(masked)"', answers)
        self.assertIn("Rate limits", answers)
        secrets = [("credentials", ENCODED_CREDENTIALS), ("session", cookie.split("=", 1)[1]),
                   ("used token", token), ("next token", next_token)]
        for what, secret in secrets:
            with self.subTest(secret=what):
                self.assertNotIn(secret, requests)
                self.assertNotIn(secret, answers)


class FormTokens(unittest.TestCase):
    def test_a_token_is_used_up_and_good_in_its_own_session_only(self):
        gw = web_gateway(self)
        for who in ("ann", "bob", "cy"):
            send_mail(gw, "%s@corp.example" % who, "0412345678@gw.example")
        wait_for(lambda: count_row(request(gw)[2], "cy@corp.example") == 1, what="the counts")
        cookie, first = login(gw)
        other_cookie, other_token = login(gw)
        self.assertNotEqual(cookie, other_cookie)

        def reset(who, token, in_cookie=cookie):
            status, body = post(gw, "limit_name=msgrec&limit_mode=from&cmd_limit_reset=1"
                                    "&sel_l_1=%s%%40corp.example&token=%s" % (who, token),
                                in_cookie)
            self.assertEqual(status, 200)
            return body

        body = reset("ann", first)
        self.assertNotIn('id="refused"', body)
        self.assertEqual(count_row(body, "ann@corp.example"), 0)
        second = token_of(body)
        self.assertNotEqual(second, first)
        table = [
            # (what, token, cookie)
            ("the used token", first, cookie),
            ("another session's token", other_token, cookie),
            ("the token without its session", second, "theme=dark"),
        ]
        for what, token, in_cookie in table:
            with self.subTest(what):
                body = reset("bob", token, in_cookie)
                self.assertIn('id="refused"', body)
                self.assertEqual(count_row(body, "bob@corp.example"), 1)
        gw.wait_log("not carried out: wrong form token")
        self.assertNotIn('id="refused"', reset("bob", second))
        self.assertEqual(count_row(request(gw)[2], "bob@corp.example"), 0)
        self.assertNotIn('id="refused"', reset("cy", other_token, other_cookie))
        self.assertEqual(count_row(request(gw)[2], "cy@corp.example"), 0)


class HostNames(unittest.TestCase):
    def curl_host(self, gw, host):
        r = subprocess.run(["curl", "-s", "-S", "--max-time", "60", "-o", "/dev/null",
                            "-w", "%{http_code}", "-u", "%s:%s" % (USER, PASSWORD),
                            "-H", "Host: " + host, "http://127.0.0.1:%d/" % gw.web_port],
                           capture_output=True, text=True, timeout=90)
        self.assertEqual(r.returncode, 0, r.stderr)
        return int(r.stdout)

    def test_host_names_accepted_and_refused(self):
        gw = web_gateway(self)
        name = re.search(r"Set HOST\[([^\]]*)\]", gw.log()).group(1)
        port = gw.web_port
        table = [
            ("127.0.0.1:%d" % port, 200),
            ("127.0.0.1", 200),
            ("localhost:%d" % port, 200),
            ("localhost", 200),
            ("LocalHost:%d" % port, 200),
            ("localhost.:%d" % port, 200),
            ("%s:%d" % (name, port), 200),
            (name, 200),
            ("evil.example", 421),
            ("evil.example:%d" % port, 421),
            ("localhost:1", 421),
            ("127.0.0.2:%d" % port, 421),
            ("%s.evil.example:%d" % (name, port), 421),
            ("localhost@evil.example", 421),
            ("[::1]:%d" % port, 421),
        ]
        for host, status in table:
            with self.subTest(host=host):
                self.assertEqual(self.curl_host(gw, host), status)
        gw.wait_log("refused: Host (evil.example) is none of web_host (127.0.0.1 localhost %s)"
                    % name)

    def test_web_host_names_the_hosts_instead(self):
        gw = web_gateway(self, extra=["web_host admin.corp.example, 127.0.0.1:%d"
                                      % tvtest.free_port()])
        port = gw.web_port
        self.assertEqual(self.curl_host(gw, "admin.corp.example"), 200)
        self.assertEqual(self.curl_host(gw, "admin.corp.example:%d" % port), 200)
        self.assertEqual(self.curl_host(gw, "localhost:%d" % port), 421)
        self.assertEqual(self.curl_host(gw, "127.0.0.1:%d" % port), 421)

    def test_a_page_of_another_name_cannot_post_even_with_a_matching_origin(self):
        gw = web_gateway(self)
        send_mail(gw, "ann@corp.example", "0412345678@gw.example")
        wait_for(lambda: count_row(request(gw)[2], "ann@corp.example") == 1, what="a count")
        cookie, token = login(gw)
        evil = "evil.example:%d" % gw.web_port
        status, body = post(gw, "limit_name=msgrec&sel_l_1=ann%40corp.example&cmd_limit_reset=1"
                                "&token=" + token, cookie,
                            {"Host": evil, "Origin": "http://" + evil,
                             "Referer": "http://%s/" % evil})
        self.assertEqual(status, 421)
        self.assertNotIn("Rate limits", body)
        self.assertEqual(count_row(request(gw)[2], "ann@corp.example"), 1)


class Wire(unittest.TestCase):
    def test_every_header_line_ends_in_cr_lf(self):
        gw = web_gateway(self)
        host = "Host: 127.0.0.1:%d\r\n" % gw.web_port
        auth = "Authorization: %s\r\n" % AUTH
        table = [
            ("main page", "GET / HTTP/1.0\r\n" + host + auth),
            ("shutdown page", "GET /?cmd=shutdown HTTP/1.0\r\n" + host + auth),
            ("401 page", "GET / HTTP/1.0\r\n" + host),
            ("health", "GET /health HTTP/1.0\r\n" + host),
            ("metrics", "GET /metrics HTTP/1.0\r\n" + host + auth),
            ("421", "GET / HTTP/1.0\r\nHost: evil.example\r\n" + auth),
        ]
        for what, req in table:
            with self.subTest(what):
                got = raw_answer(gw.web_port, (req + "\r\n").encode())
                head, sep, _ = got.partition(b"\r\n\r\n")
                self.assertEqual(sep, b"\r\n\r\n", got[:400])
                lines = (head + b"\r\n").split(b"\n")[:-1]
                self.assertGreater(len(lines), 2)
                for line in lines:
                    self.assertTrue(line.endswith(b"\r"), (line, head))


class Ciphers(unittest.TestCase):
    def s_client(self, port, starttls, *args):
        cmd = ["openssl", "s_client", "-connect", "127.0.0.1:%d" % port] + list(args)
        if starttls:
            cmd += ["-starttls", "smtp"]
        r = subprocess.run(cmd, input=b"", capture_output=True, timeout=60)
        return r.returncode, r.stdout.decode("latin-1") + r.stderr.decode("latin-1")

    def test_tls_1_2_only_with_ecdhe_and_aead_on_the_web_and_smtp_ports(self):
        web_port = free_port()
        tls_port = free_port()
        gw = MailGateway(self, {"web_port": str(web_port), "web_https": "true",
                                "smtp_tls": "wrapper", "smtp_tls_port": str(tls_port),
                                "phone_country": "+61"})
        tvtest.wait_for(lambda: "COMMAND channel is in HTTPS mode" in gw.log(),
                        what="the HTTPS web channel")
        ports = [("web", web_port, False), ("smtp starttls", gw.port, True),
                 ("smtp wrapper", tls_port, False)]
        # The client offers one suite at its lowest security level: a refusal is the
        # server's own.
        table = [
            ("AES128-SHA", False),
            ("AES256-SHA256", False),
            ("AES128-GCM-SHA256", False),        # AEAD without forward secrecy
            ("ECDHE-RSA-AES128-SHA", False),     # forward secrecy without AEAD
            ("DHE-RSA-AES128-GCM-SHA256", False),
            ("ECDHE-RSA-AES128-GCM-SHA256", True),
            ("ECDHE-RSA-AES256-GCM-SHA384", True),
            ("ECDHE-RSA-CHACHA20-POLY1305", True),
        ]
        for where, port, starttls in ports:
            for cipher, works in table:
                with self.subTest(port=where, cipher=cipher):
                    rc, out = self.s_client(port, starttls, "-tls1_2",
                                            "-cipher", cipher + "@SECLEVEL=0")
                    if works:
                        self.assertEqual(rc, 0, out[-2000:])
                        self.assertRegex(out, r"Cipher is %s\b" % re.escape(cipher))
                        self.assertRegex(out, r"Protocol\s*:\s*TLSv1\.2")
                    else:
                        self.assertNotEqual(rc, 0, out[-2000:])
                        self.assertIn("Cipher is (NONE)", out)
            with self.subTest(port=where, cipher="TLS 1.3 default"):
                rc, out = self.s_client(port, starttls, "-tls1_3")
                self.assertEqual(rc, 0, out[-2000:])
                self.assertRegex(out, r"New, TLSv1\.3, Cipher is TLS_")


class SilentClients(unittest.TestCase):
    def test_health_and_logged_in_requests_are_answered_while_silent_clients_hold_every_slot(self):
        gw = web_gateway(self)
        opened = time.monotonic()
        socks = []
        # The 256 ordinary slots and four of the reserve's eight.
        for _ in range(260):
            s = socket.create_connection(("127.0.0.1", gw.web_port), timeout=30)
            self.addCleanup(s.close)
            socks.append(s)
        status, _, body = request(gw, "/health", auth=None)
        self.assertEqual((status, body), (200, "ok\n"))
        status, _, body = request(gw)
        self.assertEqual(status, 200)
        self.assertIn("Rate limits", body)
        print("\n/health and a logged-in page answered with 260 silent clients open")
        # Each silent client is closed once its 2 s for the request line are up.
        for s in socks:
            self.assertTrue(closed_without_answer(s, max(0.1, 30 - (time.monotonic() - opened))))
        dropped = time.monotonic() - opened
        print("260 silent clients closed %.1f s after they connected" % dropped)
        # Well before the 10 s a whole request may take.
        self.assertLess(dropped, 9)
        gw.wait_log("webserv: no request line within 2000 ms, connection dropped")
        self.assertNotIn("connections and 8 in reserve already open", gw.log())

    def test_a_silent_https_client_is_closed_after_2_s_too(self):
        gw = gateway(self, extra=["webpath %s" % WEB])
        gw.lines = [l for l in gw.lines if not l.startswith("web_https")] + ["web_https true"]
        gw.write_settings()
        gw.start()
        self.addCleanup(check_clean_exit, self, gw)
        gw.wait_started()
        s = socket.create_connection(("127.0.0.1", gw.web_port), timeout=30)
        self.addCleanup(s.close)
        opened = time.monotonic()
        self.assertTrue(closed_without_answer(s, 30))
        took = time.monotonic() - opened
        print("\nsilent HTTPS client closed after %.1f s" % took)
        self.assertLess(took, 9)
        gw.wait_log("webserv: no request line within 2000 ms, connection dropped")


if __name__ == "__main__":
    unittest.main()
