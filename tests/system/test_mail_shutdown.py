"""Stopping the gateway while a mail is still being sent as SMS: the send finishes, is
recorded, and the gateway then ends cleanly (the sending transport is not closed under
the running send)."""

import os
import smtplib
import socket
import threading
import unittest

from mailsms import Gateway, wait_for

# A robot slower than every wait at shutdown but the gateway's own for its mail
# threads (the receiving thread's and the transport's 3 s each), yet within it.
SLOW_ROBOT = r'''#!/bin/sh
here="${0%/*}"
head -c "$SMS_LENGTH" > /dev/null
touch "$here/robot-started"
sleep 7
printf '{"from": "%s", "to": "%s", "text": "", "answer": "SUCCESS"}\n' "$SMS_FROM" "$SMS_TO" >> "$here/sms.jsonl"
echo SUCCESS
'''


class ShutdownDuringSend(unittest.TestCase):
    def test_send_in_progress_finishes_before_the_transports_close(self):
        gw = Gateway(self, {"phone_country": "+61", "loglevel": "debug"})
        with open(gw.robot, "w") as f:
            f.write(SLOW_ROBOT)
        os.chmod(gw.robot, 0o755)

        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=15)
        s.helo("client")
        self.assertEqual(s.sendmail("a@corp.example", ["0412000001@gw"],
                                    "Subject: late\r\n\r\nbody\r\n"), {})
        s.quit()
        wait_for(lambda: os.path.exists(os.path.join(gw.home, "robot-started")), 10,
                 what="the robot to start")

        open(os.path.join(gw.home, "tolvane.exit"), "w").close()
        gw.proc.wait(timeout=30)
        status = gw.proc.returncode
        gw.stop()  # collects the output; a sanitizer report there fails the test

        self.assertEqual(status, 0)
        self.assertEqual([a["to"] for a in gw.attempts()], ["+61412000001"])
        recs = gw.records()
        self.assertEqual(len(recs), 1)
        self.assertTrue(recs[0].startswith("SUCCESS|127.0.0.1|a@corp.example|+61412000001|"),
                        recs[0])
        self.assertFalse(any("abandoned" in l for l in gw.log()))


# Each SMS takes longer than the receiving threads' drain, and two of them longer than
# the whole wait at shutdown: the mail thread is still running when shutdown ends.
SLOWER_ROBOT = r'''#!/bin/sh
here="${0%/*}"
head -c "$SMS_LENGTH" > /dev/null
echo "$SMS_TO" >> "$here/robot-started"
sleep 6
printf '{"from": "%s", "to": "%s", "text": "", "answer": "SUCCESS"}\n' "$SMS_FROM" "$SMS_TO" >> "$here/sms.jsonl"
echo "$SMS_TO" >> "$here/robot-done"
echo SUCCESS
'''


def lines_of(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return f.read().split()


class ShutdownWhileAThreadOutlivesIt(unittest.TestCase):
    """A message thread still running when shutdown ends keeps every object it uses:
    under the sanitizer build any use of a freed settings reader, transport or settings
    table is reported and fails the test."""

    def test_mail_thread_blocked_in_the_transport(self):
        gw = Gateway(self, {"phone_country": "+61", "loglevel": "debug", "sms_retries": "0"})
        with open(gw.robot, "w") as f:
            f.write(SLOWER_ROBOT)
        os.chmod(gw.robot, 0o755)
        started = os.path.join(gw.home, "robot-started")
        done = os.path.join(gw.home, "robot-done")
        # The robots are children of the gateway: whatever happens, wait for them so
        # that none outlives the test.
        self.addCleanup(lambda: wait_for(lambda: len(lines_of(started)) == len(lines_of(done)),
                                         30, what="the robots to end"))

        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=15)
        s.helo("client")
        self.assertEqual(s.sendmail("a@corp.example", ["0412000001@gw", "0412000002@gw"],
                                    "Subject: late\r\n\r\nbody\r\n"), {})
        s.quit()
        wait_for(lambda: os.path.exists(started), 10, what="the robot to start")

        open(os.path.join(gw.home, "tolvane.exit"), "w").close()
        gw.proc.wait(timeout=40)
        status = gw.proc.returncode
        gw.stop()  # a sanitizer report on the output fails the test here

        self.assertEqual(status, 0)
        log = gw.log()
        self.assertTrue(any("1 mail threads still running, abandoned" in l for l in log), log)
        # The first SMS went out after the drain and used the settings afterwards.
        wait_for(lambda: len(lines_of(done)) == 2, 30, what="both robots to end")
        recs = gw.records()
        self.assertEqual(len(recs), 1, recs)
        self.assertTrue(recs[0].startswith("SUCCESS|127.0.0.1|a@corp.example|+61412000001|"))


class StallingRelay:
    """A mail server that accepts connections and never says a word."""

    def __init__(self, test):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.held = []
        self.accepted = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        test.addCleanup(self.close)

    def _run(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(c)
            self.accepted.set()

    def close(self):
        self.sock.close()
        for c in self.held:
            c.close()
        self.thread.join(timeout=5)


class SmsThreadOutlivesShutdown(unittest.TestCase):
    def test_sms_thread_blocked_in_the_mail_relay(self):
        from test_smpp import Smsc, smpp_settings
        relay = StallingRelay(self)
        smsc = Smsc(self)
        gw = Gateway(self, smpp_settings(smsc, smtp_outport=str(relay.port),
                                         smtp_retries="0", loglevel="debug"))
        smsc.wait_event("bind_receiver")
        gw.wait_log("SMPP transport ready")
        smsc.command(cmd="deliver", source_addr="447700900123",
                     destination_addr="447700900001", text="bob@corp.example hello")
        self.assertTrue(relay.accepted.wait(20), "the gateway never reached the relay")

        open(os.path.join(gw.home, "tolvane.exit"), "w").close()
        gw.proc.wait(timeout=40)
        status = gw.proc.returncode
        gw.stop()

        self.assertEqual(status, 0)
        log = gw.log()
        self.assertTrue(any("1 SMS threads still running, abandoned" in l for l in log), log)
        # Never acknowledged as taken: the centre keeps the SMS and offers it again.
        self.assertEqual([e for e in smsc.all("deliver_sm_resp") if e["command_status"] == 0],
                         [])


if __name__ == "__main__":
    unittest.main()
