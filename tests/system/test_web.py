"""Web administration through the real gateway, driven by curl and http.client over
plain HTTP: Basic authentication against an admin.dat written by the gateway's own
-password tool, the banned and not-found pages, the status page with the rate-limit
counts of a real mail, resetting counts, and shutting the server down from a page."""

import base64
import http.client
import os
import re
import smtplib
import socket
import subprocess
import unittest

import tvtest
from tvtest import gateway, run_tool, wait_for

WEB = os.path.join(tvtest.SOURCE_DIR, "etc", "web")
USER = "admin"
# A password may hold ":"; only the first one separates it from the user name.
PASSWORD = "s3cret:pw"


def write_admin(test, gw, user=USER, password=PASSWORD):
    """admin.dat in the home, written by the -password tool run from a link in the home."""
    link = os.path.join(gw.home, "tolvane")
    os.symlink(tvtest.BIN, link)
    answers = "%s\n%s\n%s\n" % (user, password, password)
    r = run_tool(["-config", gw.ini, "-password"], cwd=gw.dir, binary=link, stdin_text=answers)
    test.assertEqual(r.returncode, 0, r.stdout + r.stderr)
    with open(os.path.join(gw.home, "admin.dat")) as f:
        test.assertRegex(f.read(), r"^%s:\$y\$[./A-Za-z0-9$]+\n$" % re.escape(user))


def web_gateway(test, extra=(), webpath=WEB, admin=True):
    gw = gateway(test, extra=["webpath %s" % webpath, "phone_country +61"] + list(extra))
    if admin:
        write_admin(test, gw)
    gw.start()
    test.addCleanup(check_clean_exit, test, gw)
    gw.wait_started()
    return gw


def check_clean_exit(test, gw):
    """Runs before the gateway's own cleanup: stops it in order and fails the test on a
    sanitizer report."""
    if gw.running():
        gw.stop_with_exit_file()
    out = gw.stdout()
    test.assertNotIn("Sanitizer", out)
    test.assertNotIn("runtime error:", out)


def curl(gw, target="/", user=None):
    """(status, head, body) as curl saw them."""
    cmd = ["curl", "-s", "-S", "-i", "--max-time", "60", "-o", "-", "-w", "\n%{http_code}"]
    if user is not None:
        cmd += ["-u", user]
    cmd.append("http://127.0.0.1:%d%s" % (gw.web_port, target))
    r = subprocess.run(cmd, capture_output=True, timeout=90)
    out = r.stdout.decode("utf-8", "replace")
    text, _, code = out.rpartition("\n")
    head, _, body = text.partition("\r\n\r\n")
    return int(code), head, body


def request(gw, target="/", auth=(USER, PASSWORD), method="GET", body=None, cookie=None):
    """(status, headers, body) through http.client."""
    c = http.client.HTTPConnection("127.0.0.1", gw.web_port, timeout=60)
    headers = {}
    if cookie:
        headers["Cookie"] = cookie
    if auth:
        token = base64.b64encode(("%s:%s" % auth).encode()).decode()
        headers["Authorization"] = "Basic " + token
    if body is not None:
        headers["Content-Type"] = "application/x-www-form-urlencoded"
    try:
        c.request(method, target, body=body, headers=headers)
        r = c.getresponse()
        data = r.read().decode("utf-8", "replace")
        return r.status, r.headers, data
    finally:
        c.close()


def session_of(headers):
    """The "tolvane_session=..." cookie a page's headers give, or None."""
    m = re.match(r"(tolvane_session=[0-9a-f]+);", headers.get("Set-Cookie") or "")
    return m.group(1) if m else None


def token_of(page):
    m = re.search(r'name="token" value="([0-9a-f]{32})"', page)
    return m.group(1) if m else None


def raw(gw, data):
    """Sends raw bytes, then reads until the server closes."""
    with socket.create_connection(("127.0.0.1", gw.web_port), timeout=60) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        got = b""
        while True:
            part = s.recv(65536)
            if not part:
                return got
            got += part


def send_mail(gw, sender, rcpt):
    s = smtplib.SMTP("127.0.0.1", gw.smtp_port, timeout=30)
    try:
        s.helo("client.example")
        s.sendmail(sender, [rcpt], "Subject: Lunch\r\n\r\nAt noon\r\n")
    finally:
        try:
            s.quit()
        except smtplib.SMTPException:
            pass


def count_row(page, key):
    """The count the page shows for key, or None when it lists no such key."""
    m = re.search(r'<td class="key">%s</td><td class="count">(\d+)</td>' % re.escape(key), page)
    return int(m.group(1)) if m else None


class Authentication(unittest.TestCase):
    def test_credentials_decide_between_the_401_page_and_the_main_page(self):
        gw = web_gateway(self)
        host = re.search(r"Set HOST\[([^\]]*)\]", gw.log()).group(1)

        code, head, body = curl(gw)
        self.assertEqual(code, 401, head)
        self.assertIn('WWW-Authenticate: Basic realm="tolvane.%s"' % host, head)
        self.assertIn('id="needauth"', body)

        for wrong in ("admin:wrong", "admin:s3cret", "ADMIN:" + PASSWORD, "someone:" + PASSWORD):
            code, _, body = curl(gw, "/?cmd_shutdown_do=1", user=wrong)
            self.assertEqual(code, 401, wrong)
            self.assertNotIn("Rate limits", body)
        self.assertTrue(gw.running())

        code, head, body = curl(gw, user="%s:%s" % (USER, PASSWORD))
        self.assertEqual(code, 200, head + body)
        self.assertIn("Content-Type: text/html", head)
        self.assertRegex(body, r'<p id="status">Running for \d\d:\d\d:\d\d \(\d+ seconds\)\. '
                               r'You are connected from 127\.0\.0\.1\.</p>')
        self.assertNotIn("||", body)
        self.assertIn("credentials missing or wrong", gw.log())

        # Requests and answers are traced only when web_trace asks for it.
        self.assertFalse(os.path.exists(gw.path("input.log")))
        self.assertFalse(os.path.exists(gw.path("output.log")))

    def test_without_admin_dat_nobody_gets_in(self):
        gw = web_gateway(self, admin=False)
        code, _, body = curl(gw, user="%s:%s" % (USER, PASSWORD))
        self.assertEqual(code, 401)
        self.assertIn('id="needauth"', body)
        gw.wait_log("Failed to read admin.dat: No such file or directory")

    def test_address_outside_web_allow_is_closed_even_with_credentials(self):
        # Such a client is closed before its request is read, so it gets no page at all.
        gw = web_gateway(self, extra=["web_allow 10.1.2.3"])
        with socket.create_connection(("127.0.0.1", gw.web_port), timeout=30) as s:
            try:
                got = s.recv(100)
            except ConnectionResetError:
                got = b""
        self.assertEqual(got, b"")
        gw.wait_log("Web connection from [127.0.0.1] refused: not in web_allow")
        self.assertTrue(gw.running())


class Pages(unittest.TestCase):
    def test_a_request_cannot_pick_the_page(self):
        gw = web_gateway(self)
        for target in ("/?show=shutdown.htm", "/?show=../../etc/passwd"):
            status, headers, body = request(gw, target)
            self.assertEqual(status, 200, target)
            self.assertIn("Rate limits", body)
            self.assertNotIn('name="cmd_shutdown_do"', body)
            self.assertNotIn("root:", body)

    def test_missing_templates_give_the_built_in_page(self):
        gw = web_gateway(self, webpath="/nonexistent/web")
        got = raw(gw, ("GET / HTTP/1.0\r\nAuthorization: Basic %s\r\n\r\n" % base64.b64encode(
            ("%s:%s" % (USER, PASSWORD)).encode()).decode()).encode())
        page = (b"<HTML>\n<HEAD>Page not found</HEAD>\n<BODY>\n<P>Page not found.</P>\n"
                b"</BODY>\n</HTML>\n")
        self.assertEqual(got, b"HTTP/1.0 550 No such file\r\nContent-Type: text/html\r\n"
                              b"Content-Length: %d\r\n\r\n" % len(page) + page)
        self.assertIn("Error opening '/nonexistent/web/notfound.htm' for read", gw.log())

    def test_malformed_and_silent_clients_leave_the_channel_working(self):
        gw = web_gateway(self)
        silent = socket.create_connection(("127.0.0.1", gw.web_port), timeout=60)
        self.addCleanup(silent.close)
        self.assertEqual(raw(gw, b"BREW /pot HTCPCP/1.0\r\n\r\n"), b"")
        self.assertEqual(raw(gw, b"GET / HTTP/1.0\r\nHost: cut off"), b"")
        self.assertEqual(raw(gw, b"POST / HTTP/1.0\r\nContent-Length: 100\r\n\r\nshort"), b"")
        gw.wait_log("webserv: (BREW /pot HTCPCP/1.0) unrecognised")
        status, _, body = request(gw)
        self.assertEqual(status, 200)
        self.assertIn("Rate limits", body)


class Limits(unittest.TestCase):
    def test_counts_of_a_real_mail_are_listed_and_reset(self):
        gw = web_gateway(self)
        send_mail(gw, "ann@corp.example", "0412345678@gw.example")
        send_mail(gw, "bob@corp.example", "0412345678@gw.example")

        def page(target="/"):
            status, _, body = request(gw, target)
            self.assertEqual(status, 200, body)
            return body
        # The two mails are sent by workers of their own, in either order.
        wait_for(lambda: (lambda b: count_row(b, "ann@corp.example") == 1 and
                          count_row(b, "bob@corp.example") == 1)(page()), what="both counts")
        status, headers, body = request(gw)
        cookie = session_of(headers)
        self.assertIsNotNone(cookie, headers)
        self.assertEqual(count_row(body, "ann@corp.example"), 1)
        self.assertIn('<option value="msgrec" selected>msgrec</option>', body)
        # A mail's recipient is counted just after its sender.
        wait_for(lambda: count_row(page("/?limit_mode=to"), "+61412345678") == 2,
                 what="the recipient's count")

        token = token_of(body)
        form = ("limit_name=msgrec&limit_mode=from&sel_l_1=ann%40corp.example"
                "&cmd_limit_reset=Reset+the+selected+counts&token=" + token)
        status, _, body = request(gw, "/", method="POST", body=form, cookie=cookie)
        self.assertEqual(status, 200)
        self.assertNotIn('id="result"', body)
        self.assertEqual(count_row(body, "ann@corp.example"), 0)
        self.assertEqual(count_row(body, "bob@corp.example"), 1)
        self.assertEqual(count_row(page("/?limit_mode=to"), "+61412345678"), 2)
        with open(gw.path("msgrec.from")) as f:
            counts = f.read()
        self.assertIn("ann@corp.example|0000000000\n", counts)
        self.assertIn("bob@corp.example|0000000001\n", counts)

        # A reset of a limit that does not exist says so and changes nothing (with the
        # token the last answer gave: the first one is used up).
        self.assertNotEqual(token_of(body), token)
        status, _, body = request(gw, "/", method="POST", cookie=cookie,
                                  body="cmd=limit_reset&limit_name=nope&sel_l_1=bob%40corp.example"
                                       "&token=" + token_of(body))
        self.assertIn('id="result"', body)
        gw.wait_log("Failed to find limit named (nope)")
        self.assertEqual(count_row(page(), "bob@corp.example"), 1)


class Shutdown(unittest.TestCase):
    def test_shutdown_asks_first_then_the_image_button_stops_the_process(self):
        gw = web_gateway(self)
        jar = os.path.join(gw.dir, "cookies.txt")
        r = subprocess.run(["curl", "-s", "-S", "--max-time", "60", "-u", "%s:%s" % (USER, PASSWORD),
                            "-c", jar, "http://127.0.0.1:%d/?cmd=shutdown" % gw.web_port],
                           capture_output=True, timeout=90)
        body = r.stdout.decode("utf-8", "replace")
        self.assertIn("Shut the gateway down?", body)
        self.assertTrue(gw.running())

        token = token_of(body)
        # The button is sent as the page's form sends it: by POST, with the token, in the
        # login session the page came in (the cookie curl keeps).
        r = subprocess.run(["curl", "-s", "-S", "--max-time", "60", "-u", "%s:%s" % (USER, PASSWORD),
                            "-b", jar,
                            "-d", "token=%s&cmd_shutdown_do.x=7&cmd_shutdown_do.y=3" % token,
                            "-w", "\n%{http_code}", "http://127.0.0.1:%d/" % gw.web_port],
                           capture_output=True, timeout=90)
        body, _, code = r.stdout.decode("utf-8", "replace").rpartition("\n")
        self.assertEqual(code, "200")
        self.assertIn('<h1 id="message">Shutting down</h1>', body)
        self.assertEqual(gw.wait_exit(), 0)
        log = gw.log()
        self.assertIn("Shutdown requested through the web channel by [127.0.0.1]", log)
        self.assertIn("Exiting...", log)
        self.assertNotIn("threads still running", log)


if __name__ == "__main__":
    unittest.main()
