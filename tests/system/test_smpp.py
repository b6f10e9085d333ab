"""Mail to SMS through an SMS centre: the real gateway with delivery_mode smpp against
tests/peers/smsc.js (the npm smpp package in server mode), driven by Python's smtplib,
with smtp-sink receiving the mails the gateway sends back.

Every process started here (gateway, centre, sink) is stopped by the test's cleanups.
"""

import json
import os
import shutil
import subprocess
import threading
import time
import unittest

from mailsms import BIN, Gateway, free_port, send_mail, wait_for

SOURCE_DIR = os.environ.get(
    "TOLVANE_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
PEERS = os.path.join(SOURCE_DIR, "tests", "peers")
SMSC = os.path.join(PEERS, "smsc.js")
WAIT = 20.0  # generous: sanitizer builds on a loaded machine


class Smsc:
    """smsc.js on a free loopback port; its JSON event lines are collected as they come."""

    def __init__(self, test, *args):
        node = shutil.which("node")
        if not node or not os.path.isdir(os.path.join(PEERS, "node_modules", "smpp")):
            raise AssertionError("the SMS centre needs node and the npm smpp package: "
                                 "run scripts/install-deps")
        self.proc = subprocess.Popen([node, SMSC, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     cwd=PEERS, text=True)
        test.addCleanup(self.stop)
        self.lock = threading.Lock()
        self.events = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.port = self.wait_event("listening")["port"]

    def _read(self):
        for line in self.proc.stdout:
            line = line.strip()
            if not line:
                continue
            try:
                ev = json.loads(line)
            except ValueError:
                ev = {"event": "output", "line": line}
            with self.lock:
                self.events.append(ev)

    def all(self, name=None):
        with self.lock:
            return [e for e in self.events if name is None or e.get("event") == name]

    def wait_event(self, name, n=1, timeout=WAIT):
        def ready():
            if self.proc.poll() is not None and len(self.all(name)) < n:
                raise AssertionError("smsc.js ended: %r" % self.all())
            got = self.all(name)
            return got[n - 1] if len(got) >= n else None
        try:
            return wait_for(ready, timeout, what="%d %s event(s) at the SMS centre" % (n, name))
        except AssertionError:
            raise AssertionError("no %s; the centre saw: %r" % (name, self.all()))

    def command(self, **cmd):
        done = len(self.all("done"))
        self.proc.stdin.write(json.dumps(cmd) + "\n")
        self.proc.stdin.flush()
        self.wait_event("done", done + 1)

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()  # the centre ends when its input closes
                self.proc.wait(timeout=10)
            except (subprocess.TimeoutExpired, BrokenPipeError, OSError):
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.reader.join(timeout=5)
        self.proc.stdout.close()


def smpp_settings(smsc, **more):
    s = {"delivery_mode": "smpp", "send_mode": "smpp", "recv_mode": "smpp",
         "smpp_host": "127.0.0.1", "smpp_port": str(smsc.port), "smpp_user": "tvgw",
         "smpp_pass": "secret", "phone_country": "+61", "sms_retries": "1"}
    s.update(more)
    return s


class MailToSmsc(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def start(self, *smsc_args, **settings):
        self.smsc = Smsc(self, *smsc_args)
        self.gw = Gateway(self, smpp_settings(self.smsc, **settings))
        self.smsc.wait_event("bind_receiver")
        self.gw.wait_log("SMPP transport ready")
        return self.gw

    def test_binds_then_submits_the_mail_with_its_addresses_and_text(self):
        gw = self.start(sender_ids="ann@corp.example 447700900001")
        for name in ("bind_transmitter", "bind_receiver"):
            b = self.smsc.wait_event(name)
            self.assertEqual((b["system_id"], b["password"], b["system_type"],
                              b["interface_version"], b["address_range"]),
                             ("tvgw", "secret", "Tolvaneway", 0x34, "*"), name)
        tx = self.smsc.wait_event("bind_transmitter")["session"]
        send_mail(gw, "ann@corp.example", "0412345678@gw.example",
                  "X-Sms-Number: 447700900001\r\nSubject: Lunch\r\n\r\nAt noon\r\n")
        sm = self.smsc.wait_event("submit_sm")
        self.assertEqual(sm["session"], tx)  # on the transmitter connection
        self.assertEqual(sm["source_addr"], "447700900001")
        self.assertEqual((sm["source_addr_ton"], sm["source_addr_npi"]), (0, 1))
        # International: TON 1, NPI 1, without the "+".
        self.assertEqual(sm["destination_addr"], "61412345678")
        self.assertEqual((sm["dest_addr_ton"], sm["dest_addr_npi"]), (1, 1))
        self.assertEqual(sm["text"], "Lunch - At noon\n")
        self.assertEqual(sm["data_coding"], 0)
        gw.wait_records(1)
        self.assertIn("SUCCESS", gw.records()[0])
        # At shutdown both connections are unbound, then closed.
        gw.stop()
        self.smsc.wait_event("unbind", 2)
        self.smsc.wait_event("close", 2)

    def test_sender_address_is_the_originator_and_long_text_is_cut(self):
        gw = self.start()
        body = "x" * 400
        send_mail(gw, "bob@corp.example", "0412000111@gw.example",
                  "Subject: Long\r\n\r\n%s\r\n" % body)
        sm = self.smsc.wait_event("submit_sm")
        self.assertEqual(sm["source_addr"], "bob@corp.example")
        self.assertEqual(sm["source_addr_ton"], 5)  # alphanumeric
        self.assertEqual(sm["destination_addr"], "61412000111")
        # A long text goes as concatenated parts (here three), never cut.
        self.smsc.wait_event("submit_sm", 3)
        self.assertEqual({e["esm_class"] for e in self.smsc.all("submit_sm")}, {0x40})

    def test_refused_submit_is_retried_recorded_and_reported_by_mail(self):
        gw = self.start("--submit-status", str(0x45))
        send_mail(gw, "ann@corp.example", "0412345678@gw.example",
                  "Subject: Lunch\r\n\r\nAt noon\r\n")
        self.smsc.wait_event("submit_sm", 2)  # the attempt and one retry
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        notice = mails[0]
        self.assertEqual(notice["rcpt"], "ann@corp.example")
        self.assertIn("SMS to (+61412345678) failed delivery (Submit Failed.)", notice["body"])
        gw.wait_records(1)
        self.assertIn("FAILURE", gw.records()[0])

    def test_centre_hanging_up_is_followed_by_a_new_bind_and_the_mail_goes_out(self):
        gw = self.start()
        self.smsc.command(cmd="disconnect")
        self.smsc.wait_event("close", 2)
        send_mail(gw, "ann@corp.example", "0412345678@gw.example",
                  "Subject: Lunch\r\n\r\nAt noon\r\n")
        sm = self.smsc.wait_event("submit_sm")
        tx = self.smsc.all("bind_transmitter")
        self.assertEqual(len(tx), 2)  # bound again
        self.assertEqual(sm["session"], tx[1]["session"])
        gw.wait_records(1)
        self.assertIn("SUCCESS", gw.records()[0])
        self.assertTrue(any("connecting again in" in l for l in gw.log()))
        gw.stop()
        self.assertEqual(gw.status, 0)

    def test_silent_centre_fails_the_send_after_the_response_limit(self):
        gw = self.start(sms_retries="0", smpp_response_timeout="3", smpp_enquire_link="0")
        self.smsc.command(cmd="set", silent=True)
        send_mail(gw, "ann@corp.example", "0412345678@gw.example",
                  "Subject: Lunch\r\n\r\nAt noon\r\n")
        self.smsc.wait_event("submit_sm")
        # The send gives up after its response limit and says why.
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        self.assertIn("failed delivery (No response from smsc in time)", mails[0]["body"])
        gw.wait_records(1)
        self.assertIn("FAILURE", gw.records()[0])
        # Unanswered unbinds do not hold up the stop.
        gw.stop()
        self.assertEqual(gw.status, 0)

    def test_keep_alive_from_the_centre_is_answered(self):
        self.start()
        self.smsc.command(cmd="enquire_link")
        # One answer per connection: the receiver's at once, the transmitter's at the
        # next poll of the receiving thread.
        self.smsc.wait_event("enquire_link_resp", 2)


class SmscToMail(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def start(self, **settings):
        self.smsc = Smsc(self)
        self.gw = Gateway(self, smpp_settings(self.smsc, **settings))
        self.smsc.wait_event("bind_receiver")
        self.gw.wait_log("SMPP transport ready")
        return self.gw

    def test_delivered_sms_is_mailed_and_acknowledged(self):
        gw = self.start(smtp_domain="gw.example")
        rx = self.smsc.wait_event("bind_receiver")["session"]
        self.smsc.command(cmd="deliver", source_addr="447700900123",
                          destination_addr="447700900001",
                          text="bob@corp.example see you at six")
        self.assertEqual(self.smsc.wait_event("delivered")["session"], rx)
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        self.assertEqual(mails[0]["rcpt"], "bob@corp.example")
        self.assertIn("bob@corp.example see you at six", mails[0]["body"])
        self.assertIn("447700900123", mails[0]["sender"])
        resp = self.smsc.wait_event("deliver_sm_resp")
        self.assertEqual(resp["session"], rx)
        self.assertEqual(resp["command_status"], 0)

    def test_originator_text_cannot_choose_the_envelope_sender_or_add_headers(self):
        # A centre passes on whatever originator the sending side chose.
        gw = self.start(smtp_domain="gw.example")
        cases = [("ceo@bank.example", "ceobank.example"),
                 ("+61\r\nBcc: e@x", "+61Bccex"),
                 ("<>@", "unknown")]
        for n, (originator, number) in enumerate(cases, 1):
            self.smsc.command(cmd="deliver", source_addr=originator,
                              destination_addr="447700900001", text="bob@corp.example hi")
            mails = gw.sink.wait_mails(n, timeout=WAIT)
            with self.subTest(originator=originator):
                mail = mails[-1]
                self.assertEqual(mail["sender"], number + "@gw.example")
                self.assertEqual(mail["rcpt"], "bob@corp.example")
                self.assertEqual(dict(mail["headers"]).get("From"),
                                 '"%s" <%s@gw.example>' % (number, number))
                self.assertNotIn("Bcc", [k for k, _ in mail["headers"]])
        # Each record is written once the relay has taken the mail: wait for the last one.
        day = wait_for(lambda: len((gw.day_files("log") or "").splitlines()) >= len(cases)
                       and gw.day_files("log"), WAIT, what="a record of each SMS")
        self.assertEqual([l.split("|")[2] for l in day.splitlines()],
                         [number for _, number in cases])

    def test_many_sms_are_handled_by_a_bounded_number_of_threads(self):
        # 200 deliver_sm sent at once by the centre: each is mailed and answered,
        # and the gateway's threads stay bounded (received messages share the transport's
        # message workers; none gets a thread of its own).
        gw = self.start(smtp_domain="gw.example")
        task_dir = "/proc/%d/task" % gw.proc.pid
        most = [len(os.listdir(task_dir))]
        done = threading.Event()

        def sample():
            while not done.is_set():
                try:
                    most[0] = max(most[0], len(os.listdir(task_dir)))
                except OSError:
                    return
                time.sleep(0.002)

        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            count = 200
            self.smsc.command(cmd="deliver", source_addr="447700900123",
                              destination_addr="447700900001",
                              text="bob@corp.example number", count=count)
            resps = self.smsc.wait_event("deliver_sm_resp", count, timeout=60)
            self.assertIsNotNone(resps)
            mails = gw.sink.wait_mails(count, timeout=60)
        finally:
            done.set()
            sampler.join()
        self.assertEqual(len(mails), count)
        self.assertEqual(sorted(m["body"].strip().split()[-1] for m in mails),
                         sorted(str(n) for n in range(count)))
        self.assertEqual([r["command_status"] for r in self.smsc.all("deliver_sm_resp")],
                         [0] * count)
        self.assertLess(most[0], 60, "threads in the gateway at most: %d" % most[0])

    def test_sms_the_relay_cannot_take_yet_is_acknowledged_once_stored(self):
        # The mail waits in the queue for the relay; the centre is not kept waiting and
        # does not offer the SMS again.
        gw = self.start(smtp_retries="3", smtp_outport=str(free_port()))
        self.smsc.command(cmd="deliver", source_addr="447700900123",
                          destination_addr="447700900001", text="bob@corp.example hello")
        resp = self.smsc.wait_event("deliver_sm_resp")
        self.assertEqual(resp["command_status"], 0)
        gw.wait_log("Message send failed, retry in 5 mins...")
        self.assertEqual(gw.sink.mails(), [])
        listing = subprocess.run([BIN, "-config", gw.ini, "-queue"], capture_output=True,
                                 text=True, timeout=WAIT)
        self.assertEqual(listing.returncode, 0, listing.stdout)
        self.assertIn("bob@corp.example", listing.stdout)
        self.assertIn("-- 1 entries", listing.stdout)


    def test_sms_without_a_receiving_side_is_answered_with_a_temporary_error(self):
        # Sending only: nothing receives, so the centre must be told to try again later,
        # never refused with a generic_nack.
        self.start(recv_mode="none")
        self.smsc.command(cmd="deliver", source_addr="447700900123",
                          destination_addr="447700900001", text="bob@corp.example hello")
        resp = self.smsc.wait_event("deliver_sm_resp")
        self.assertEqual(resp["command_status"], 0x64)
        self.assertEqual(self.smsc.all("generic_nack"), [])


class SmscRefuses(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def run_refused(self, smsc_args, message):
        smsc = Smsc(self, *smsc_args)
        gw = Gateway(self, smpp_settings(smsc), start=False)
        with open(os.path.join(gw.home, "stdout.txt"), "wb") as out:
            proc = subprocess.Popen([BIN, "-config", gw.ini, "-foreground"], stdout=out,
                                    stderr=subprocess.STDOUT, cwd=gw.home)
            self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
            rc = proc.wait(timeout=60)
        with open(os.path.join(gw.home, "stdout.txt"), "rb") as f:
            text = f.read().decode("latin-1")
        self.assertEqual(rc, 1, text)
        self.assertIn("ERROR: %s\n" % message, text)
        return smsc

    def test_refused_bind_stops_the_start(self):
        smsc = self.run_refused(["--bind-status", str(0x0D)],
                                "Failed to init smpp, Failed to bind transmitter")
        # The centre's line may be read after the gateway has ended: wait for it.
        smsc.wait_event("bind_transmitter")
        self.assertEqual(len(smsc.all("bind_transmitter")), 1)
        self.assertEqual(smsc.all("bind_receiver"), [])


if __name__ == "__main__":
    unittest.main()
