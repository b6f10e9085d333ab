"""Received SMS as webhooks: the real gateway with recv_mode smpp against tests/peers/smsc.js,
posting each received SMS to tests/peers/webhook_receiver.py, which checks every signature
on its own (HMAC-SHA256 of "t.body" under the shared secret).

Covered: the signed body and its fields, a long SMS joined into one webhook, a receiver
that is down or answers 503 for a while (retried, every SMS once), a 4xx that ends the
entry, kill -9 after the centre was answered and before the POST (posted once after the
restart), successive webhooks on one kept connection, sms_deliver both (mail and webhook),
and settings that stop the start.

Every process started here (gateway, centre, sink, receiver) is stopped by the cleanups.
"""

import calendar
import os
import re
import signal
import subprocess
import sys
import time
import unittest
import urllib.request

from mailsms import BIN, Gateway, wait_for
from test_smpp import PEERS, Smsc, smpp_settings

sys.path.insert(0, PEERS)
from webhook_receiver import WebhookReceiver  # noqa: E402

WAIT = 30.0
SECRET = "hook-secret-\u00e9t\u00e9"


def hook_settings(smsc, receiver, **more):
    s = smpp_settings(smsc, sms_deliver="webhook", sms_webhook_url=receiver.url,
                      sms_webhook_secret=SECRET, webhook_retry_min="1",
                      webhook_retry_max="2", webhook_timeout="5", smtp_domain="gw.example")
    s.update(more)
    return s


def webhook_counts(gw):
    """{outcome: count} of tolvane_webhooks_total on the gateway's /metrics."""
    with open(gw.ini) as f:
        port = re.search(r"(?m)^web_port (\d+)$", f.read()).group(1)
    with urllib.request.urlopen("http://127.0.0.1:%s/metrics" % port, timeout=WAIT) as r:
        text = r.read().decode()
    return {m.group(1): int(float(m.group(2))) for m in re.finditer(
        r'(?m)^tolvane_webhooks_total\{outcome="(\w+)"\} (\S+)$', text)}


def queue_listing(gw):
    out = subprocess.run([BIN, "-config", gw.ini, "-queue"], capture_output=True, text=True,
                         timeout=WAIT)
    return out.stdout


class SmsAsWebhook(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        self.receiver = WebhookReceiver(SECRET)
        self.addCleanup(self.receiver.close)

    def start(self, **settings):
        self.smsc = Smsc(self)
        self.gw = Gateway(self, hook_settings(self.smsc, self.receiver, **settings))
        self.smsc.wait_event("bind_receiver")
        self.gw.wait_log("SMPP transport ready")
        return self.gw

    def deliver(self, text, source="447700900123", **more):
        self.smsc.command(cmd="deliver", source_addr=source, destination_addr="447700900001",
                          text=text, **more)

    def test_received_sms_is_posted_signed_with_its_fields(self):
        gw = self.start()
        before = int(time.time())
        self.deliver("hello from the field")
        self.assertEqual(self.smsc.wait_event("deliver_sm_resp")["command_status"], 0)
        post = self.receiver.wait(1, WAIT)[0]
        self.assertTrue(post["signed"])
        self.assertEqual(post["content_type"], "application/json")
        self.assertEqual(post["path"], "/hooks/sms")
        self.assertRegex(post["delivery"], r"^[0-9a-f]{32}$")
        body = post["body"]
        self.assertEqual(sorted(body), ["from", "parts", "received_at", "text", "to",
                                        "transport"])
        self.assertEqual(body["from"], "447700900123")
        self.assertEqual(body["to"], "447700900001")
        self.assertEqual(body["text"], "hello from the field")
        self.assertEqual(body["transport"], "smpp")
        self.assertEqual(body["parts"], 1)
        at = calendar.timegm(time.strptime(body["received_at"], "%Y-%m-%dT%H:%M:%SZ"))
        self.assertLessEqual(before - 1, at)
        self.assertLessEqual(at, time.time() + 1)
        # Webhook only: no mail, and the queue is empty once the receiver said 200.
        wait_for(lambda: "Queue is empty" in queue_listing(gw), WAIT, what="an empty queue")
        self.assertEqual(gw.sink.mails(), [])

    def test_long_sms_is_joined_into_one_webhook(self):
        self.start()
        self.deliver("second half", sar=[7, 2, 2])
        self.deliver("first half, ", sar=[7, 2, 1])
        post = self.receiver.wait(1, WAIT)[0]
        self.assertEqual(post["body"]["text"], "first half, second half")
        self.assertEqual(post["body"]["parts"], 2)
        time.sleep(1.5)
        self.assertEqual(len(self.receiver.all()), 1)

    def test_successive_webhooks_share_kept_connections(self):
        # One worker posts them one after the other: each POST after the first goes on the
        # connection the one before left open.
        self.start(webhook_workers="1")
        count = 6
        for i in range(count):
            self.deliver("keep-alive %d" % i, source="44770090%04d" % i)
            self.receiver.wait(i + 1, WAIT)
        self.assertEqual(len(self.receiver.accepted()), count)
        self.assertTrue(all(p["signed"] for p in self.receiver.all()))
        self.assertLess(self.receiver.connections(), count)
        self.assertEqual(self.receiver.connections(), 1)

    def test_receiver_down_then_failing_gets_every_sms_once(self):
        gw = self.start(metrics_open="true")
        self.receiver.down()
        count = 6
        self.deliver("note", count=count)
        resps = self.smsc.wait_event("deliver_sm_resp", count, timeout=WAIT)
        self.assertIsNotNone(resps)
        self.assertEqual([r["command_status"] for r in self.smsc.all("deliver_sm_resp")],
                         [0] * count)
        # Several refused attempts each, then the receiver is back but answers 503 for a
        # while, then 200.
        gw.wait_log("attempt 2, next in 2 s", timeout=WAIT)
        self.receiver.answer(503, times=4)
        self.receiver.up()
        posts = self.receiver.wait(count, WAIT)
        wait_for(lambda: "Queue is empty" in queue_listing(gw), WAIT, what="an empty queue")
        time.sleep(2.5)  # longer than the longest back-off: a repeat would have come
        accepted = self.receiver.accepted()
        self.assertEqual(len(accepted), count)
        self.assertEqual(sorted(p["body"]["text"] for p in accepted),
                         sorted("note %d" % i for i in range(count)))
        self.assertEqual(len({p["delivery"] for p in accepted}), count)
        self.assertTrue(all(p["signed"] for p in self.receiver.all()))
        self.assertEqual(sum(1 for p in self.receiver.all() if p["status"] == 503), 4)
        # A 503 answer came back as the same delivery later.
        refused = {p["delivery"] for p in self.receiver.all() if p["status"] == 503}
        self.assertTrue(refused <= {p["delivery"] for p in posts})
        counts = webhook_counts(gw)
        self.assertEqual(counts["delivered"], count)
        self.assertEqual(counts["failed"], 0)
        # Every refused connection and every 503 was one more attempt planned.
        self.assertGreaterEqual(counts["retried"], count + 4)

    def test_a_4xx_answer_ends_the_entry_with_a_record(self):
        gw = self.start()
        self.receiver.answer(422)
        self.deliver("unwanted")
        self.receiver.wait(1, WAIT, accepted=False)
        gw.wait_log("dropped after 1 attempts: refused with 422", timeout=WAIT)
        wait_for(lambda: "Queue is empty" in queue_listing(gw), WAIT, what="an empty queue")
        time.sleep(2.5)
        self.assertEqual(len(self.receiver.all()), 1)
        day = gw.day_files("log")
        self.assertRegex(day, r"FAILURE\|WEBHOOK\|[0-9a-f]{32}\|http://127\.0\.0\.1:\d+/hooks/sms"
                              r"\|[^|]+\|refused with 422 no\|")

    def test_kill_9_after_the_centre_was_answered_posts_once_after_the_restart(self):
        gw = self.start(webhook_retry_min="3600", webhook_retry_max="3600",
                        sms_webhook_url=self.receiver.url + "?token=t0k")
        self.receiver.down()
        self.deliver("survive the kill")
        self.assertEqual(self.smsc.wait_event("deliver_sm_resp")["command_status"], 0)
        # Its first POST was refused: the entry waits an hour.
        gw.wait_log("next in 3600 s", timeout=WAIT)
        gw.proc.send_signal(signal.SIGKILL)
        gw.proc.wait(timeout=WAIT)
        gw.proc = None
        listing = queue_listing(gw)
        self.assertIn("-- 1 entries", listing)
        self.assertRegex(listing, r" hook +http://127\.0\.0\.1:\d+/hooks/sms +1 ")
        self.assertNotIn("t0k", listing, "the listing leaves out the URL's query")
        self.receiver.up()
        gw.start()
        self.smsc.wait_event("bind_receiver", 2)
        subprocess.run([BIN, "-config", gw.ini, "-queue", "flush"], check=True,
                       capture_output=True, timeout=WAIT)
        post = self.receiver.wait(1, WAIT)[0]
        self.assertTrue(post["signed"])
        self.assertEqual(post["body"]["text"], "survive the kill")
        self.assertEqual(post["path"], "/hooks/sms?token=t0k")
        wait_for(lambda: "Queue is empty" in queue_listing(gw), WAIT, what="an empty queue")
        time.sleep(1.5)
        self.assertEqual(len(self.receiver.all()), 1)
        # The centre was answered once and did not deliver it again.
        self.assertEqual(len(self.smsc.all("deliver_sm_resp")), 1)

    def test_sms_deliver_both_mails_and_posts(self):
        gw = self.start(sms_deliver="both")
        self.deliver("bob@corp.example both ways")
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        self.assertEqual(mails[0]["rcpt"], "bob@corp.example")
        post = self.receiver.wait(1, WAIT)[0]
        self.assertEqual(post["body"]["text"], "bob@corp.example both ways")
        # An SMS the mail side cannot route still reaches the webhook.
        self.deliver("no address here", source="447700900999")
        self.assertEqual(self.receiver.wait(2, WAIT)[1]["body"]["text"], "no address here")
        gw.wait_log("Failed to lookup email address")
        self.assertEqual(len(gw.sink.mails()), 1)


class WebhookSettings(unittest.TestCase):
    def start_fails(self, settings, message):
        gw = Gateway(self, settings, start=False)
        with open(os.path.join(gw.home, "stdout.txt"), "wb") as out:
            proc = subprocess.Popen([BIN, "-config", gw.ini, "-foreground"], stdout=out,
                                    stderr=subprocess.STDOUT, cwd=gw.home)
            self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
            rc = proc.wait(timeout=60)
        with open(os.path.join(gw.home, "stdout.txt"), "rb") as f:
            text = f.read().decode("latin-1")
        self.assertEqual(rc, 1, text)
        self.assertRegex(text, message)

    def test_bad_settings_stop_the_start(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        cases = [
            ({"sms_webhook_url": "ftp://hooks.example/in"},
             r"ERROR: Invalid setting: sms_webhook_url \(ftp://hooks.example/in\) is not an "
             r"http or https URL\n"),
            ({"sms_webhook_url": "not a url"},
             r"ERROR: Invalid setting: sms_webhook_url \(not a url\) is not a URL\n"),
            ({"sms_deliver": "webhook", "sms_webhook_secret": "s"},
             r"ERROR: Invalid setting: sms_deliver \(webhook\) needs sms_webhook_url\n"),
            ({"sms_deliver": "both", "sms_webhook_url": "https://hooks.example/in"},
             r"ERROR: Invalid setting: sms_deliver \(both\) needs sms_webhook_secret\n"),
            ({"sms_deliver": "sometimes"},
             r"ERROR: Invalid setting: \S+ line \d+: sms_deliver \(sometimes\)"),
            ({"webhook_retry_min": "60", "webhook_retry_max": "10"},
             r"ERROR: Invalid setting: webhook_retry_min \(60\) is above webhook_retry_max "
             r"\(10\)\n"),
        ]
        for settings, message in cases:
            with self.subTest(settings=settings):
                self.start_fails(settings, re.compile(message))


if __name__ == "__main__":
    unittest.main()
