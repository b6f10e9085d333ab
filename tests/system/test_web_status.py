"""The status page, /metrics and /health of the real gateway: counters read back with a
real Prometheus text-format parser after real mail, health of the parts, and the page as
headless Chromium draws it at a desktop and a phone width (screenshots kept in a
temporary directory, or in $TOLVANE_SCREENS when that is set)."""

import base64
import http.client
import os
import re
import shutil
import smtplib
import struct
import subprocess
import sys
import tempfile
import unittest

import tvtest
from tvtest import wait_for
from test_web import PASSWORD, USER, request, web_gateway

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:  # Debian's package, when the interpreter on PATH is another one
    sys.path.append("/usr/lib/python3/dist-packages")
    from prometheus_client.parser import text_string_to_metric_families


def scrape(gw, auth=True):
    """(status, {(sample name, frozenset(labels)): value}, raw text) of /metrics."""
    status, headers, body = request(gw, "/metrics", auth=(USER, PASSWORD) if auth else None)
    samples = {}
    if status == 200:
        for family in text_string_to_metric_families(body):
            for s in family.samples:
                samples[(s.name, frozenset(s.labels.items()))] = s.value
    return status, samples, body, headers


def value(samples, name, **labels):
    return samples.get((name, frozenset(labels.items())), 0)


def mail(gw, sender, rcpts, subject="Status"):
    """Sends one mail; returns the refused recipients or the exception's SMTP code."""
    s = smtplib.SMTP("127.0.0.1", gw.smtp_port, timeout=30)
    try:
        s.helo("client.example")
        return s.sendmail(sender, rcpts, "Subject: %s\r\n\r\nBody\r\n" % subject)
    except smtplib.SMTPRecipientsRefused:
        return "all recipients refused"
    except smtplib.SMTPResponseException as e:
        return e.smtp_code
    finally:
        try:
            s.quit()
        except (smtplib.SMTPException, OSError):
            pass


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    return struct.unpack(">II", head[16:24])


class Metrics(unittest.TestCase):
    def test_counters_equal_what_was_sent(self):
        gw = web_gateway(self, extra=["accept_from *@corp.example"])
        self.assertEqual(mail(gw, "ann@corp.example", ["0412345678@gw.example"]), {})
        self.assertEqual(mail(gw, "bob@corp.example",
                              ["0412345679@gw.example", "0412345670@gw.example"]), {})
        self.assertEqual(mail(gw, "ann@corp.example", ["nobody@gw.example"]),
                         "all recipients refused")
        self.assertNotEqual(mail(gw, "eve@evil.example", ["0412345678@gw.example"]), {})
        wait_for(lambda: len(gw.outbox_files()) == 3, what="three SMS in the outbox")

        # An SMS is counted sent before its lag, its record and its end in the queue, and
        # a session is counted closed after its last reply: wait until all of it is in.
        def settled():
            status, samples, _, _ = scrape(gw)
            return samples if (value(samples, "tolvane_sms_sent_total", transport="robot") == 3
                               and value(samples, "tolvane_queue_length") == 0
                               and value(samples, "tolvane_smtp_sessions_open") == 0) else None
        samples = wait_for(settled, what="three SMS counted")
        status, samples, body, headers = scrape(gw)
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "text/plain; version=0.0.4; charset=utf-8")
        expect = [
            ("tolvane_mails_received_total", {}, 4),
            ("tolvane_mails_accepted_total", {}, 2),
            ("tolvane_mails_refused_total", {"reason": "recipient"}, 1),
            ("tolvane_mails_refused_total", {"reason": "sender"}, 1),
            ("tolvane_mails_refused_total", {"reason": "limit"}, 0),
            ("tolvane_sms_sent_total", {"transport": "robot"}, 3),
            ("tolvane_sms_failed_total", {"transport": "robot"}, 0),
            ("tolvane_mail_to_sms_seconds_count", {}, 3),
            ("tolvane_mail_to_sms_seconds_bucket", {"le": "+Inf"}, 3),
            ("tolvane_smtp_sessions_open", {}, 0),
            ("tolvane_queue_length", {}, 0),
            ("tolvane_transport_up", {"transport": "smtp", "role": "listener"}, 1),
            ("tolvane_transport_up", {"transport": "robot", "role": "send"}, 1),
        ]
        for name, labels, want in expect:
            with self.subTest(name=name, labels=labels):
                self.assertEqual(value(samples, name, **labels), want, body)
        # Every refusal has its reason: received is accepted plus refused.
        refused = sum(v for (n, _), v in samples.items() if n == "tolvane_mails_refused_total")
        self.assertEqual(refused + 2, 4)

    def test_metrics_need_a_password_unless_open(self):
        gw = web_gateway(self)
        self.assertEqual(scrape(gw, auth=False)[0], 401)
        self.assertEqual(scrape(gw)[0], 200)
        gw.stop_with_exit_file()
        gw.lines.append("metrics_open true")
        gw.write_settings()
        gw.start()
        gw.wait_started(after=len(gw.log()))
        status, samples, _, _ = scrape(gw, auth=False)
        self.assertEqual(status, 200)
        self.assertEqual(request(gw, "/", auth=None)[0], 401)


class Health(unittest.TestCase):
    def test_health_is_ok_with_every_part_up_and_needs_no_password(self):
        gw = web_gateway(self)
        status, headers, body = request(gw, "/health", auth=None)
        self.assertEqual((status, body), (200, "ok\n"))
        self.assertEqual(headers["Content-Type"], "text/plain; charset=utf-8")


    def test_health_is_503_with_the_reason_while_the_robot_cannot_run(self):
        gw = tvtest.Gateway(extra=["webpath %s" % os.path.join(tvtest.SOURCE_DIR, "etc", "web"),
                                   "phone_country +61", "metrics_open true"])
        self.addCleanup(gw.close)
        robot = os.path.join(gw.dir, "robot.sh")
        shutil.copy(tvtest.DEMO_ROBOT, robot)
        os.chmod(robot, 0o755)
        gw.lines = [l for l in gw.lines if not l.startswith("robot_cmd")]
        gw.lines.append("robot_cmd %s %s" % (robot, gw.outbox))
        gw.write_settings()
        gw.start()
        gw.wait_started()
        self.assertEqual(request(gw, "/health", auth=None)[:3:2], (200, "ok\n"))

        os.chmod(robot, 0o644)
        status, _, body = request(gw, "/health", auth=None)
        self.assertEqual(status, 503)
        self.assertEqual(body, "robot: command %s cannot be run\n" % robot)
        _, samples, _, _ = scrape(gw, auth=False)
        self.assertEqual(value(samples, "tolvane_transport_up", transport="robot", role="send"), 0)
        self.assertEqual(value(samples, "tolvane_transport_up", transport="smtp",
                               role="listener"), 1)
        # A mail meanwhile is kept, not failed, and goes out once the robot can run again.
        self.assertEqual(mail(gw, "ann@corp.example", ["0412345678@gw.example"]), {})
        self.assertEqual(gw.outbox_files(), [])

        os.chmod(robot, 0o755)
        self.assertEqual(request(gw, "/health", auth=None)[:3:2], (200, "ok\n"))
        wait_for(lambda: len(gw.outbox_files()) == 1, what="the held SMS sent")
        _, samples, _, _ = scrape(gw, auth=False)
        self.assertEqual(value(samples, "tolvane_sms_failed_total", transport="robot"), 0)


class StatusPage(unittest.TestCase):
    def chromium(self, args):
        exe = shutil.which("chromium") or shutil.which("chromium-browser")
        if exe is None:
            self.fail("chromium is not installed: run scripts/install-deps")
        profile = tempfile.mkdtemp(prefix="tvchrome_")
        self.addCleanup(shutil.rmtree, profile, True)
        cmd = [exe, "--headless", "--no-sandbox", "--disable-gpu",
               "--disable-background-networking", "--no-first-run", "--hide-scrollbars",
               "--user-data-dir=" + profile] + args
        r = subprocess.run(cmd, capture_output=True, timeout=120)
        return r

    def test_status_page_shows_the_parts_today_and_outcomes_and_refreshes(self):
        # The request trace shows the page's own refresh request.
        gw = web_gateway(self, extra=["web_trace true"])
        self.assertEqual(mail(gw, "ann@corp.example", ["0412345678@gw.example"]), {})
        self.assertEqual(mail(gw, "bob@corp.example", ["0412345679@gw.example"]), {})
        wait_for(lambda: len(gw.outbox_files()) == 2, what="two SMS")
        # The day file's line is written after the SMS is handed over.
        page = wait_for(lambda: (lambda b: b if '<span class="big" id="sms-sent">2</span>' in b
                                 else None)(request(gw)[2]), what="two SMS sent today")
        self.assertIn('<span id="sms-failed">0</span>', page)
        self.assertRegex(page, r'<tr class="up"><td>smtp</td><td>listener</td><td>[^<]+</td></tr>')
        self.assertRegex(page, r'<tr class="up"><td>robot</td><td>send</td>')
        outcomes = re.findall(r'<tr class="ok"><td>[^<]+</td><td>mail to SMS</td>'
                              r'<td>SUCCESS</td><td>([^<]+)</td><td>([^<]+)</td>', page)
        # Newest first; the two SMS may go out in either order.
        self.assertEqual(sorted(outcomes), [("ann@corp.example", "+61412345678"),
                                            ("bob@corp.example", "+61412345679")])
        # The figures come before the rate limits, and the fragment alone refreshes them.
        self.assertLess(page.index('id="live"'), page.index("Rate limits"))
        status, _, part = request(gw, "/?cmd=status")
        self.assertEqual(status, 200)
        self.assertIn('id="sms-sent">2<', part)
        self.assertNotIn("Rate limits", part)
        self.assertNotIn("<html>", part)

        url = "http://%s:%s@127.0.0.1:%d/" % (USER, PASSWORD.replace(":", "%3A"), gw.web_port)
        # The page's own script fetches the figures again after 10 s.
        r = self.chromium(["--virtual-time-budget=12000", "--dump-dom", url])
        dom = r.stdout.decode("utf-8", "replace")
        self.assertIn('id="sms-sent">2<', dom, r.stderr.decode("utf-8", "replace")[-2000:])
        self.assertIn('name="cmd_limit_reset"', dom)
        def refreshed():
            with open(gw.path("input.log")) as f:
                return "GET /?cmd=status" in f.read()
        wait_for(refreshed, what="the page's refresh request")

        shots = os.environ.get("TOLVANE_SCREENS") or tempfile.mkdtemp(prefix="tvshots_")
        if not os.environ.get("TOLVANE_SCREENS"):
            self.addCleanup(shutil.rmtree, shots, True)
        os.makedirs(shots, exist_ok=True)
        for width, height in ((1200, 1400), (400, 2200)):
            path = os.path.join(shots, "status-%d.png" % width)
            if os.path.exists(path):
                os.remove(path)
            r = self.chromium(["--window-size=%d,%d" % (width, height),
                               "--screenshot=" + path, url])
            self.assertTrue(os.path.exists(path), r.stderr.decode("utf-8", "replace")[-2000:])
            self.assertEqual(png_size(path), (width, height))


if __name__ == "__main__":
    unittest.main()
