"""An SMPP link that keeps going: the real gateway against tests/peers/smsc.js scripted to
restart, unbind, stay silent, hold its answers, throttle, and send delivery receipts.

Every process started here (gateway, centre, sink) is stopped by the test's cleanups.
"""

import os
import signal
import smtplib
import threading
import time
import unittest

from mailsms import BIN, Gateway, send_mail, wait_for
from test_smpp import WAIT, Smsc, smpp_settings


def send_many(gw, rcpts, threads=4, headers=""):
    """One mail per recipient, from several SMTP connections at once."""
    todo = list(rcpts)
    lock = threading.Lock()
    errors = []

    def worker():
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=60)
        try:
            s.helo("client.example")
            while True:
                with lock:
                    if not todo:
                        return
                    rcpt = todo.pop(0)
                s.sendmail("ann@corp.example", [rcpt],
                           "%sSubject: Hi\r\n\r\nfor %s\r\n" % (headers, rcpt))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)
        finally:
            try:
                s.quit()
            except smtplib.SMTPException:
                pass

    ts = [threading.Thread(target=worker) for _ in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join(120)
    if errors:
        raise errors[0]


def numbers(n, base=412000000):
    return ["0%d@gw.example" % (base + i) for i in range(n)]


def status_of(record):
    return record.split("|")[0]


class SmppLink(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def start(self, *smsc_args, **settings):
        self.smsc = Smsc(self, *smsc_args)
        settings.setdefault("sms_retries", "0")
        self.gw = Gateway(self, smpp_settings(self.smsc, **settings))
        self.gw.wait_log("SMPP transport ready")
        return self.gw

    def log_has(self, text):
        return any(text in line for line in self.gw.log())

    def test_centre_killed_and_restarted_while_mails_arrive(self):
        gw = self.start(smpp_reconnect_max="2")
        port = self.smsc.port
        send_many(gw, numbers(3))
        self.smsc.wait_event("submit_sm", 3)
        gw.wait_records(3)
        self.smsc.proc.send_signal(signal.SIGKILL)
        self.smsc.proc.wait(10)
        wait_for(lambda: self.log_has("connecting again in"), WAIT, what="a reconnect attempt")
        # Mails keep coming while the centre is away; they wait for the bind.
        later = numbers(4, base=413000000)
        send_many(gw, later)
        time.sleep(1.0)
        self.smsc = Smsc(self, "--port", str(port))
        self.smsc.wait_event("submit_sm", 4)
        gw.wait_records(7)
        time.sleep(0.5)
        got = sorted(e["destination_addr"] for e in self.smsc.all("submit_sm"))
        self.assertEqual(got, sorted("61" + r[1:10] for r in later))  # each once
        self.assertEqual([status_of(r) for r in gw.records()], ["SUCCESS"] * 7)
        # One log line per attempt, never one per second.
        attempts = [l for l in gw.log() if "connecting again in" in l]
        self.assertLess(len(attempts), 12, attempts)

    def test_centre_unbinding_is_followed_by_a_new_bind(self):
        gw = self.start()
        self.smsc.command(cmd="unbind")
        self.smsc.wait_event("bind_transmitter", 2)
        self.smsc.wait_event("bind_receiver", 2)
        send_mail(gw, "ann@corp.example", "0412345678@gw.example", "Subject: x\r\n\r\ny\r\n")
        sm = self.smsc.wait_event("submit_sm")
        self.assertEqual(sm["session"], self.smsc.all("bind_transmitter")[1]["session"])
        gw.wait_records(1)
        self.assertEqual(status_of(gw.records()[0]), "SUCCESS")

    def test_silent_centre_for_one_submit_fails_it_alone(self):
        gw = self.start(smpp_response_timeout="4")
        self.smsc.command(cmd="set", silent_submits=1)
        send_many(gw, numbers(101), threads=6)
        gw.wait_records(101, timeout=60)
        recs = gw.records()
        self.assertEqual(sorted(status_of(r) for r in recs), ["FAILURE"] + ["SUCCESS"] * 100)
        failed = [r for r in recs if status_of(r) == "FAILURE"][0]
        self.assertIn("No response from smsc in time", failed)
        # The others went on meanwhile: most were answered before the silent one failed.
        self.assertGreater(recs.index(failed), 50)

    def test_keep_alive_when_idle_and_a_missing_answer_reconnects(self):
        self.start(smpp_enquire_link="1", smpp_response_timeout="2")
        self.smsc.wait_event("enquire_link", 2)  # one per idle bind
        sessions = {e["session"] for e in self.smsc.all("enquire_link")}
        self.assertEqual(len(sessions), 2)
        self.smsc.command(cmd="set", silent_enquire=True)
        self.smsc.wait_event("bind_transmitter", 2, timeout=WAIT)
        self.smsc.wait_event("bind_receiver", 2, timeout=WAIT)
        self.assertTrue(self.log_has("no answer to enquire_link"))

    def test_ten_submits_outstanding_at_once(self):
        gw = self.start()
        self.smsc.command(cmd="set", hold=True)
        send_many(gw, numbers(12), threads=12)
        self.smsc.wait_event("submit_sm", 10)
        time.sleep(1.0)
        self.assertEqual(len(self.smsc.all("submit_sm")), 10)  # the window is full
        self.smsc.command(cmd="set", hold=False)
        self.smsc.command(cmd="release")
        self.smsc.wait_event("submit_sm", 12)
        gw.wait_records(12)
        self.assertEqual([status_of(r) for r in gw.records()], ["SUCCESS"] * 12)

    def test_throttled_answers_slow_down_without_failures(self):
        gw = self.start()
        self.smsc.command(cmd="set", throttle=3)
        send_many(gw, numbers(3), threads=1)
        gw.wait_records(3, timeout=WAIT)
        self.assertEqual([status_of(r) for r in gw.records()], ["SUCCESS"] * 3)
        # The records can be there before the centre's last lines are read.
        self.smsc.wait_event("submit_sm", 6)
        subs = self.smsc.all("submit_sm")
        self.assertEqual(len(subs), 6)  # three throttled, each sent again
        # Each throttling answer pauses the bind longer (0.5 s, then 1 s, ...): the submit
        # throttled after the first pause waits the second, so the last one is taken at
        # least 1.5 s after the first was refused.
        taken = [e for e in subs if e.get("message_id")]
        self.assertEqual(len(taken), 3)
        self.assertGreaterEqual(taken[-1]["t"] - subs[0]["t"], 1500,
                                [(e["t"], e.get("message_id")) for e in subs])

    def test_throughput_limit_holds_at_the_centre(self):
        gw = self.start(smpp_throughput="50")
        rcpts = numbers(60)
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=60)
        s.helo("client.example")
        s.sendmail("ann@corp.example", rcpts, "Subject: Hi\r\n\r\nall\r\n")
        s.quit()
        self.smsc.wait_event("submit_sm", 60, timeout=WAIT)
        t = [e["t"] for e in self.smsc.all("submit_sm")]
        rate = (len(t) - 1) / ((t[-1] - t[0]) / 1000.0)
        self.assertLessEqual(rate, 55.0)

    def test_transceiver_sends_and_receives_on_one_bind(self):
        gw = self.start(smpp_bind="transceiver", smtp_domain="gw.example")
        b = self.smsc.wait_event("bind_transceiver")
        self.assertEqual(self.smsc.all("bind_transmitter") + self.smsc.all("bind_receiver"), [])
        send_mail(gw, "ann@corp.example", "0412345678@gw.example", "Subject: x\r\n\r\ny\r\n")
        self.assertEqual(self.smsc.wait_event("submit_sm")["session"], b["session"])
        self.smsc.command(cmd="deliver", source_addr="447700900123", source_addr_ton=1,
                          destination_addr="447700900001", text="bob@corp.example hello")
        resp = self.smsc.wait_event("deliver_sm_resp")
        self.assertEqual((resp["session"], resp["command_status"]), (b["session"], 0))
        mail = gw.sink.wait_mails(1, timeout=WAIT)[0]
        # An international originator gets its "+" back.
        self.assertIn("+447700900123", mail["sender"] + dict(mail["headers"]).get("From", ""))

    def test_addresses_of_every_kind(self):
        gw = self.start(sender_ids="ann@corp.example ACME,+447700900001")
        send_mail(gw, "ann@corp.example", "0412345678@gw.example",
                  "X-Sms-Number: ACME\r\nSubject: x\r\n\r\ny\r\n")
        send_mail(gw, "ann@corp.example", "0412345679@gw.example",
                  "X-Sms-Number: +447700900001\r\nSubject: x\r\n\r\ny\r\n")
        self.smsc.wait_event("submit_sm", 2)
        a, b = sorted(self.smsc.all("submit_sm"), key=lambda e: e["destination_addr"])
        self.assertEqual((a["source_addr"], a["source_addr_ton"], a["source_addr_npi"]),
                         ("ACME", 5, 0))
        self.assertEqual((b["source_addr"], b["source_addr_ton"], b["source_addr_npi"]),
                         ("447700900001", 1, 1))
        for e in (a, b):
            self.assertEqual((e["dest_addr_ton"], e["dest_addr_npi"]), (1, 1))
            self.assertFalse(e["destination_addr"].startswith("+"))

    def test_receipts_of_each_state_are_recorded_and_failures_mailed(self):
        gw = self.start(smpp_receipts="failure")
        rcpts = numbers(4)
        send_many(gw, rcpts, threads=1)
        send_mail(gw, "bob@corp.example", "0499000000@gw.example",
                  "X-Sms-Report: yes\r\nSubject: x\r\n\r\ny\r\n")
        subs = self.smsc.wait_event("submit_sm", 5) and self.smsc.all("submit_sm")
        gw.wait_records(5)
        by_dest = {e["destination_addr"]: e for e in subs}
        self.assertEqual(by_dest["61499000000"]["registered_delivery"], 1)  # asked for
        self.assertEqual(by_dest["61412000000"]["registered_delivery"], 2)  # failures only
        # The message id of each accepted submit is in its SUCCESS record.
        for e in subs:
            self.assertTrue(any("msgid " + e["message_id"] in r for r in gw.records()), e)
        states = ["DELIVRD", "UNDELIV", "EXPIRED", "REJECTD"]
        for i, stat in enumerate(states):
            e = by_dest["614120000%02d" % i]
            self.smsc.command(cmd="receipt", message_id=e["message_id"], stat=stat,
                              source_addr=e["destination_addr"], tlv=(i % 2 == 1))
        self.smsc.command(cmd="receipt", message_id=by_dest["61499000000"]["message_id"],
                          stat="DELIVRD", source_addr="61499000000")
        gw.wait_records(10)
        recs = gw.records()[5:]
        want = {"DELIVERED": "+61412000000", "UNDELIVERED": "+61412000001",
                "EXPIRED": "+61412000002", "REJECTED": "+61412000003"}
        for state, dest in want.items():
            line = [r for r in recs if status_of(r) == state and "|%s|" % dest in r]
            self.assertEqual(len(line), 1, (state, recs))
        acks = self.smsc.wait_event("deliver_sm_resp", 5) and self.smsc.all("deliver_sm_resp")
        self.assertEqual({a["command_status"] for a in acks}, {0})
        # Three failures to the billing address, and the report the second mail asked for.
        mails = gw.sink.wait_mails(4, timeout=WAIT)
        time.sleep(0.5)
        mails = gw.sink.mails()
        self.assertEqual(len(mails), 4, mails)
        fails = [m for m in mails if dict(m["headers"]).get("Subject") == "SMS Failed"]
        self.assertEqual(sorted(m["rcpt"] for m in fails), ["ann@corp.example"] * 3)
        self.assertTrue(any("failed delivery (EXPIRED)" in m["body"] for m in fails))
        report = [m for m in mails if m["rcpt"] == "bob@corp.example"]
        self.assertEqual(len(report), 1)
        self.assertIn("was delivered", report[0]["body"])
        # A receipt is never mailed as a received SMS.
        self.assertFalse(any("stat:" in m["body"] for m in mails))


if __name__ == "__main__":
    unittest.main()
