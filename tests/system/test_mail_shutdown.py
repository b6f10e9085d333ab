"""Stopping the gateway while work is still under way: a mail still being sent as SMS
finishes and is recorded before the transports close; a mail session or a relay that
outlives every wait at shutdown never touches freed settings or transports."""

import os
import smtplib
import socket
import threading
import time
import unittest

from mailsms import Client, Gateway, wait_for

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


# Longer than the receiving threads' wait for their message threads at shutdown.
DRAIN_S = 3.0


class ShutdownWhileASessionOutlivesTheDrain(unittest.TestCase):
    """A mail session still in its dialogue when the receiving thread has ended keeps
    the settings it reads: under the sanitizer build, a use of a freed settings reader
    is reported and fails the test."""

    def test_slow_client_finishes_its_mail_after_the_drain(self):
        gw = Gateway(self, {"phone_country": "+61", "loglevel": "debug"}, fast_robot=True)
        c = Client(self, gw.port, timeout=30)
        self.assertTrue(c.line().startswith("220"))
        self.assertTrue(c.ask("HELO client").startswith("250"))
        self.assertTrue(c.ask("MAIL FROM:<a@corp.example>").startswith("250"))
        self.assertTrue(c.ask("RCPT TO:<0412000001@gw>").startswith("250"))

        open(os.path.join(gw.home, "tolvane.exit"), "w").close()
        gw.wait_log("'Smtp' Callback noticed shutdown signalled", timeout=20)
        # The receiving thread gives its sessions DRAIN_S, then ends; this one goes on
        # reading the settings for its next recipient afterwards.
        time.sleep(DRAIN_S + 1.0)
        self.assertIsNone(gw.proc.poll(), "shutdown did not wait for the session")
        self.assertTrue(c.ask("RCPT TO:<0412000002@gw>").startswith("250"))
        self.assertTrue(c.ask("DATA").startswith("354"))
        c.send("Subject: late\r\n\r\nbody\r\n.")
        reply = c.line()
        c.ask("QUIT")
        gw.proc.wait(timeout=40)
        status = gw.proc.returncode
        gw.stop()  # a sanitizer report on the output fails the test here

        self.assertEqual(status, 0)
        self.assertTrue(reply.startswith("250"), reply)


class StallingRelay:
    """A mail server that accepts connections, says nothing, and hangs up after a while."""

    def __init__(self, test, hold_s):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.hold_s = hold_s
        self.accepted = threading.Event()
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        test.addCleanup(self.close)

    def _run(self):
        held = []
        self.sock.settimeout(0.2)
        while not self.done.is_set():
            try:
                c, _ = self.sock.accept()
                held.append((time.monotonic(), c))
                self.accepted.set()
            except OSError:
                pass
            for t, c in list(held):
                if time.monotonic() - t > self.hold_s:
                    c.close()
                    held.remove((t, c))
        for _, c in held:
            c.close()

    def close(self):
        self.done.set()
        self.thread.join(timeout=5)
        self.sock.close()


class ShutdownWhileTheRelayBlocks(unittest.TestCase):
    def test_sms_waiting_on_a_silent_relay_past_every_drain(self):
        from test_smpp import Smsc, smpp_settings
        relay = StallingRelay(self, hold_s=DRAIN_S * 3)
        smsc = Smsc(self)
        gw = Gateway(self, smpp_settings(smsc, smtp_outport=str(relay.port),
                                         smtp_retries="0", loglevel="debug"))
        smsc.wait_event("bind_receiver")
        gw.wait_log("SMPP transport ready")
        smsc.command(cmd="deliver", source_addr="447700900123",
                     destination_addr="447700900001", text="bob@corp.example hello")
        self.assertTrue(relay.accepted.wait(20), "the gateway never reached the relay")

        open(os.path.join(gw.home, "tolvane.exit"), "w").close()
        gw.proc.wait(timeout=60)
        status = gw.proc.returncode
        gw.stop()

        self.assertEqual(status, 0)
        self.assertEqual(gw.sink.mails(), [])


if __name__ == "__main__":
    unittest.main()
