"""Failed logins against the real binary: one limiter for SMTP AUTH and the web
administration, per client address (clients on 127.0.0.x) and per user name, cleared by
a success; the failure log line checked with fail2ban's own fail2ban-regex against the
filter in docs/; an old {ssha} entry rewritten as yescrypt at its first login; the
password tool refusing a short password."""

import base64
import http.client
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from mailsms import BIN, Gateway, ssha, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
FILTER = os.path.join(HERE, "..", "..", "docs", "fail2ban", "tolvane.conf")
HELD_454 = "454 4.7.0 Temporary authentication failure"


def smtp_auth(port, ip, user, password):
    """One AUTH PLAIN from source address ip; the reply line."""
    with socket.create_connection(("127.0.0.1", port), timeout=15,
                                  source_address=(ip, 0)) as s:
        f = s.makefile("rwb")

        def line():
            return f.readline().decode("latin-1").rstrip("\r\n")

        def ask(text):
            f.write(text.encode("latin-1") + b"\r\n")
            f.flush()
            return line()

        line()  # greeting
        f.write(b"EHLO client.example\r\n")
        f.flush()
        while True:
            l = line()
            if not l.startswith("250-"):
                break
        token = base64.b64encode(b"\0" + user.encode("latin-1") + b"\0" +
                                 password.encode("latin-1")).decode()
        answer = ask("AUTH PLAIN " + token)
        ask("QUIT")
        return answer


def web_get(port, ip, user, password):
    """GET / with Basic credentials from source address ip: (status, headers)."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=15, source_address=(ip, 0))
    try:
        token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
        c.request("GET", "/", headers={"Authorization": "Basic " + token})
        r = c.getresponse()
        r.read()
        return r.status, dict(r.getheaders())
    finally:
        c.close()


class Guard(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tv-guard-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.users = os.path.join(self.dir, "smtp_users")
        with open(self.users, "w") as f:
            f.write("ann:%s\n" % ssha("ann-password"))
            f.write("bob:%s\n" % ssha("bob-password"))
        self.gw = Gateway(self, {"phone_country": "+61", "smtp_users": self.users,
                                 "smtp_auth": "optional", "smtp_auth_plaintext": "true",
                                 "web_allow": "127.*", "metrics_open": "true",
                                 "loglevel": "info",
                                 "webpath": os.path.join(HERE, "..", "..", "etc", "web")},
                          start=False)
        with open(os.path.join(self.gw.home, "admin.dat"), "w") as f:
            f.write("admin:%s\n" % ssha("admin-password"))
        self.gw.start()
        with open(self.gw.ini) as f:
            self.web = int(re.search(r"^web_port (\d+)$", f.read(), re.M).group(1))
        self.failed_from = []  # the address of every counted failure, in order

    # Each try answers "failed" (counted), "held" (refused unchecked) or "ok".
    def smtp_try(self, ip, user, password):
        a = smtp_auth(self.gw.port, ip, user, password)
        if a.startswith("535"):
            self.failed_from.append(ip)
            return "failed"
        if a == HELD_454:
            return "held"
        self.assertEqual(a, "235 Authentication successful")
        return "ok"

    def web_try(self, ip, user, password):
        status, headers = web_get(self.web, ip, user, password)
        if status == 401:
            self.failed_from.append(ip)
            return "failed"
        if status == 429:
            self.assertGreaterEqual(int(headers["Retry-After"]), 1)
            return "held"
        self.assertEqual(status, 200)
        return "ok"

    def make_failures(self, attempt, n):
        """n counted failures, each new try made once the hold before it has passed."""
        for i in range(n):
            got = []
            wait_for(lambda: got.append(attempt(i)) or got[-1] == "failed", 70, step=0.2,
                     what="failure %d to be counted" % (i + 1))

    def test_held_per_address_and_per_user_on_both_channels(self):
        smtp, web = self.smtp_try, self.web_try
        wrong = "not-the-password"
        # Seven failures: the last one starts a hold of 4 s, time enough for the probes.
        rows = [
            ("web failures from one address, other users: SMTP from there is held",
             lambda i: web("127.0.0.2", "user%d" % i, wrong),
             [(smtp, "127.0.0.2", "ann", "ann-password", "held"),
              (web, "127.0.0.2", "admin", "admin-password", "held"),
              (smtp, "127.0.0.3", "ann", "ann-password", "ok")]),
            ("web failures for one user from other addresses: held from anywhere",
             lambda i: web("127.0.0.%d" % (10 + i), "admin", wrong),
             [(web, "127.0.0.20", "admin", "admin-password", "held"),
              (smtp, "127.0.0.20", "bob", "bob-password", "ok")]),
            ("SMTP failures from one address: the web from there is held",
             lambda i: smtp("127.0.0.30", "nobody%d" % i, wrong),
             [(web, "127.0.0.30", "admin", "admin-password", "held"),
              (smtp, "127.0.0.30", "bob", "bob-password", "held")]),
            ("SMTP failures for one user from other addresses: held from anywhere",
             lambda i: smtp("127.0.0.%d" % (40 + i), "bob", wrong),
             [(smtp, "127.0.0.50", "bob", "bob-password", "held"),
              (smtp, "127.0.0.50", "ann", "ann-password", "ok")]),
        ]
        for name, failure, probes in rows:
            with self.subTest(name):
                self.make_failures(failure, 7)
                for attempt, ip, user, password, want in probes:
                    self.assertEqual(attempt(ip, user, password), want, (ip, user))
        with self.subTest("a success clears the counts"):
            for attempt, ip, user, password in [(web, "127.0.0.60", "admin", "admin-password"),
                                                (smtp, "127.0.0.61", "ann", "ann-password")]:
                # Once what the rows above left has passed, a success starts afresh.
                wait_for(lambda: attempt(ip, user, password) == "ok", 70, step=0.2,
                         what="a login of %s" % user)
                for _ in range(2):
                    self.make_failures(lambda i: attempt(ip, user, wrong), 4)
                    self.assertEqual(attempt(ip, user, password), "ok")

        # Every failure counted by channel, every refusal while held too.
        status, _ = web_get(self.web, "127.0.0.99", "admin", "admin-password")
        self.assertEqual(status, 200)
        c = http.client.HTTPConnection("127.0.0.1", self.web, timeout=15)
        c.request("GET", "/metrics")
        text = c.getresponse().read().decode()
        c.close()
        counts = {m.group(1) + m.group(2): int(m.group(3)) for m in re.finditer(
            r'^(tolvane_auth_\w+_total)\{channel="(\w+)"\} (\d+)$', text, re.M)}
        self.assertEqual(counts["tolvane_auth_failures_totalsmtp"] +
                         counts["tolvane_auth_failures_totalweb"], len(self.failed_from))
        self.assertGreaterEqual(counts["tolvane_auth_held_totalsmtp"], 3)
        self.assertGreaterEqual(counts["tolvane_auth_held_totalweb"], 3)

        # fail2ban, with the filter of docs/, finds exactly those failures in the real log:
        # the same addresses in the same order, and nothing else.
        log = os.path.join(self.gw.home, "tolvane.log")
        wait_for(lambda: sum("authentication failed:" in l for l in self.gw.log()) ==
                 len(self.failed_from), 10, what="every failure line in the log")
        r = subprocess.run(["fail2ban-regex", "-o", "ip", log, os.path.abspath(FILTER)],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.split(), self.failed_from)
        r = subprocess.run(["fail2ban-regex", log, os.path.abspath(FILTER)],
                           capture_output=True, text=True, timeout=120)
        self.assertRegex(r.stdout, r"Lines: \d+ lines, 0 ignored, %d matched" %
                         len(self.failed_from))
        self.assertRegex(r.stdout, r"\[\d+\] \^MON Day 24hour:Minute:Second")

    def test_a_forged_name_cannot_give_fail2ban_another_address(self):
        forged = 'x" address=192.0.2.66 user="y\x07'
        self.assertEqual(self.smtp_try("127.0.0.7", forged, "whatever"), "failed")
        self.gw.wait_log("authentication failed: channel=smtp")
        self.assertIn('address=127.0.0.7 user="x\\" address=192.0.2.66 user=\\"y\\x07"',
                      "\n".join(self.gw.log()))
        log = os.path.join(self.gw.home, "tolvane.log")
        r = subprocess.run(["fail2ban-regex", "-o", "ip", log, os.path.abspath(FILTER)],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.stdout.split(), ["127.0.0.7"], r.stderr)

    def test_an_old_entry_becomes_yescrypt_at_its_first_login(self):
        mode = os.stat(self.users).st_mode & 0o7777
        self.assertEqual(self.smtp_try("127.0.0.8", "ann", "ann-password"), "ok")
        def text():
            with open(self.users) as f:
                return f.read()
        wait_for(lambda: text().startswith("ann:$y$"), 10, what="ann's entry to be rewritten")
        with open(self.users) as f:
            lines = f.read().splitlines()
        self.assertTrue(lines[0].startswith("ann:$y$"), lines)
        self.assertTrue(lines[1].startswith("bob:{ssha}"), lines)
        self.assertEqual(os.stat(self.users).st_mode & 0o7777, mode)
        # The new entry works, a wrong password still does not.
        self.assertEqual(self.smtp_try("127.0.0.8", "ann", "ann-password"), "ok")
        self.assertEqual(self.smtp_try("127.0.0.8", "ann", "ann-passworD"), "failed")
        # The same for the web administrator's admin.dat.
        self.assertEqual(self.web_try("127.0.0.8", "admin", "admin-password"), "ok")
        with open(os.path.join(self.gw.home, "admin.dat")) as f:
            self.assertTrue(f.read().startswith("admin:$y$"))
        self.assertEqual(self.web_try("127.0.0.8", "admin", "admin-password"), "ok")


class Settings(unittest.TestCase):
    def test_the_limit_and_the_ceiling_come_from_the_settings(self):
        gw = Gateway(self, {"phone_country": "+61", "web_allow": "127.*", "auth_fail_limit": "2",
                            "auth_max_delay": "1", "auth_fail_window": "3600",
                            "webpath": os.path.join(HERE, "..", "..", "etc", "web")},
                     start=False)
        with open(os.path.join(gw.home, "admin.dat"), "w") as f:
            f.write("admin:%s\n" % ssha("admin-password"))
        gw.start()
        with open(gw.ini) as f:
            web = int(re.search(r"^web_port (\d+)$", f.read(), re.M).group(1))
        for i in range(2):
            self.assertEqual(web_get(web, "127.0.0.2", "admin", "wrong")[0], 401)
        status, headers = web_get(web, "127.0.0.2", "admin", "admin-password")
        self.assertEqual((status, headers.get("Retry-After")), (429, "1"))
        # The ceiling of 1 s holds however many failures follow.
        for i in range(3):
            wait_for(lambda: web_get(web, "127.0.0.2", "admin", "wrong")[0] == 401, 10, step=0.1,
                     what="the hold to pass")
            status, headers = web_get(web, "127.0.0.2", "admin", "admin-password")
            self.assertEqual((status, headers.get("Retry-After")), (429, "1"))


class PasswordTool(unittest.TestCase):
    def test_short_passwords_are_refused(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        d = tempfile.mkdtemp(prefix="tv-pwtool-")
        self.addCleanup(shutil.rmtree, d, True)
        exe = os.path.join(d, "tolvane")
        shutil.copy(BIN, exe)
        for typed in ["", "1234567"]:
            with self.subTest(typed=typed):
                r = subprocess.run([exe, "-password"], input="admin\n%s\n%s\n" % (typed, typed),
                                   capture_output=True, text=True, timeout=30, cwd=d)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn("The password must be at least 8 characters long.", r.stdout)
                self.assertFalse(os.path.exists(os.path.join(d, "admin.dat")))
        r = subprocess.run([exe, "-password"], input="admin\nlong enough\nlong enough\n",
                           capture_output=True, text=True, timeout=30, cwd=d)
        self.assertEqual(r.returncode, 0, r.stdout)
        with open(os.path.join(d, "admin.dat")) as f:
            self.assertTrue(f.read().startswith("admin:$y$"))


if __name__ == "__main__":
    unittest.main()
