"""The message queue on the real binary: a "250" or an SMS centre's acknowledgement is a
promise kept across kill -9, a full disk, a torn journal and an orderly shutdown.

Peers: tests/peers/smsc.js (npm smpp in server mode) as the SMS centre, smtp-sink as the
mail relay, smtplib as the mail clients. Every process is stopped by the test's cleanups.
The kill tests run 50 clients x 10 mails against a centre with a short submit delay, so
they take seconds; the centre-down test keeps the centre away for 30 s after the restart.
"""

import collections
import getpass
import os
import signal
import smtplib
import subprocess
import threading
import time
import unittest

from mailsms import BIN, Gateway, Sink, fill_disk, free_port, small_tmpfs, wait_for
from test_smpp import Smsc, smpp_settings

WAIT = 30.0
# The SMPP link keeps up to smpp_window (10) submit_sm in flight, with a worker for each
# place: at most that many sends are in flight at a kill.
IN_FLIGHT = 10
# The load of the kill tests: CLIENTS clients with MAILS mails each to a centre that answers
# each submit after SUBMIT_DELAY_MS; the kill comes once KILL_AFTER mails are accepted.
CLIENTS, MAILS, SUBMIT_DELAY_MS, KILL_AFTER = 50, 10, "20", 150
CENTRE_DOWN_S = 30


def queue_listing(gw):
    out = subprocess.run([BIN, "-config", gw.ini, "-queue"], capture_output=True, text=True,
                         timeout=WAIT)
    if out.returncode != 0:
        raise AssertionError("tolvane -queue failed: " + out.stdout + out.stderr)
    return out.stdout


def records_end(path):
    """Where a journal segment's whole records end: the file may go on with the zeros the
    gateway writes ahead of them. Records are u32 length | u32 checksum | u8 type |
    payload (length bytes), little-endian; zeros where a header would start end them."""
    with open(path, "rb") as f:
        data = f.read()
    pos, last_type = 0, None
    while pos + 9 <= len(data) and data[pos:pos + 9] != bytes(9):
        length = int.from_bytes(data[pos:pos + 4], "little")
        if pos + 9 + length > len(data):
            break
        last_type = data[pos + 8]
        pos += 9 + length
    return pos, last_type


def kill9(gw):
    gw.proc.send_signal(signal.SIGKILL)
    gw.proc.wait(timeout=WAIT)
    gw.proc = None


def submitted(smsc):
    # International numbers go out without their "+" (TON 1): put it back to compare.
    return [("+" if e.get("dest_addr_ton") == 1 else "") + e["destination_addr"]
            for e in smsc.all("submit_sm")]


def whole_record_lines(test, gw, kind):
    data = gw.day_files(kind) or ""
    test.assertTrue(data == "" or data.endswith("\n"), "a record line was cut: %r" % data[-80:])
    lines = data.splitlines()
    for l in lines:
        test.assertEqual(len(l.split("|")), 7, l)
    return lines


def counter_total(gw, name):
    text = gw.file(name)
    total = 0
    for line in (text or "").splitlines():
        # "<key>|<ten-digit count>" (the count may be space-padded)
        fields = line.rsplit("|", 1)
        if len(fields) == 2 and fields[1].strip().isdigit():
            total += int(fields[1])
    return total


class QueueAcrossCrashes(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def smpp_gateway(self, *smsc_args, **settings):
        self.smsc = Smsc(self, *smsc_args)
        base = {"recv_mode": "none", "sms_retries": "1", "send_workers": "4",
                "loglevel": "info"}
        base.update(settings)
        gw = Gateway(self, smpp_settings(self.smsc, **base))
        gw.wait_log("SMPP transport ready")
        return gw

    def load_then_kill(self, gw):
        """CLIENTS clients send MAILS mails each; kill -9 in the middle of it. Returns the
        destinations that got a 250, those whose mail the kill cut off before its reply
        (the gateway may have stored it: like any mail server's, it may be sent, and the
        client would send it again), and how many SMS the centre had at the kill."""
        accepted, in_doubt, lock = [], [], threading.Lock()

        def client(c):
            for m in range(MAILS):
                dest = "0412%03d%03d" % (c, m)
                number = "+61" + dest[1:]
                try:
                    s = smtplib.SMTP("127.0.0.1", gw.port, timeout=10)
                    s.helo("client%d" % c)
                    s.sendmail("c%d@corp.example" % c, [dest + "@gw"],
                               "Subject: m%d\r\n\r\nmail %d of client %d\r\n" % (m, m, c))
                    with lock:
                        accepted.append(number)
                except smtplib.SMTPResponseException:
                    return  # refused with a reply: never sent (checked below)
                except (smtplib.SMTPException, OSError):
                    with lock:
                        in_doubt.append(number)
                    return  # the gateway is gone: the rest of this client's mails fail
                try:
                    s.quit()
                except (smtplib.SMTPException, OSError):
                    return

        clients = [threading.Thread(target=client, args=(c,)) for c in range(CLIENTS)]
        for t in clients:
            t.start()
        def mid_load():
            with lock:
                taken = len(accepted)
            return taken >= KILL_AFTER and len(submitted(self.smsc)) >= IN_FLIGHT
        wait_for(mid_load, WAIT, what="%d mails accepted and some sent" % KILL_AFTER)
        kill9(gw)
        for t in clients:
            t.join(WAIT)
        at_kill = len(submitted(self.smsc))
        self.assertGreaterEqual(len(accepted), at_kill - IN_FLIGHT)
        self.assertLess(len(accepted), CLIENTS * MAILS, "the kill came while clients were sending")
        self.assertLessEqual(len(in_doubt), CLIENTS)
        return accepted, in_doubt, at_kill

    def check_every_accepted_mail_sent(self, gw, accepted, in_doubt, at_kill, sent):
        wait_for(lambda: set(accepted) <= set(sent()), WAIT,
                 what="every accepted mail at the centre")
        wait_for(lambda: "Queue is empty" in queue_listing(gw), WAIT, what="an empty queue")
        counts = collections.Counter(sent())
        dups = sum(n - 1 for n in counts.values() if n > 1)
        print("accepted %d, sent %d, %d sent before the kill, duplicates %d"
              % (len(accepted), sum(counts.values()), at_kill, dups))
        # Only the sends in flight at the kill may go twice.
        self.assertLessEqual(dups, IN_FLIGHT)
        self.assertEqual(set(counts) - set(accepted) - set(in_doubt), set(),
                         "only mails given to the gateway are sent (a refused one never)")
        gw.stop()
        recs = whole_record_lines(self, gw, "rec")
        successes = [r for r in recs if r.startswith("SUCCESS|")]
        self.assertEqual(len(successes), len(recs), recs)
        self.assertGreaterEqual(len(successes), len(accepted))
        # The record is written before its count: a send the kill caught between the two
        # has a record and no count, and its resend adds both. Every accepted mail is counted
        # at least once, and no count is without its record.
        counted = counter_total(gw, "msgrec.to")
        self.assertGreaterEqual(counted, len(set(accepted)))
        self.assertLessEqual(counted, len(successes))
        self.assertLessEqual(len(successes) - counted, IN_FLIGHT)

    def test_kill_under_load_loses_no_accepted_mail(self):
        gw = self.smpp_gateway("--submit-delay", SUBMIT_DELAY_MS, send_workers="10")
        accepted, in_doubt, at_kill = self.load_then_kill(gw)
        gw.start()
        self.check_every_accepted_mail_sent(gw, accepted, in_doubt, at_kill,
                                            lambda: submitted(self.smsc))

    def test_kill_under_load_then_centre_down_after_the_restart(self):
        gw = self.smpp_gateway("--submit-delay", SUBMIT_DELAY_MS, send_workers="10",
                               smpp_reconnect_max="1")
        first = self.smsc
        accepted, in_doubt, at_kill = self.load_then_kill(gw)
        first.stop()  # the centre is down: its port refuses
        gw.start()
        # Every entry waits: nothing is claimed while the link is down, so the attempts
        # stay those of the run before the kill (the sends in flight then).
        def attempts():
            rows = [l.split() for l in queue_listing(gw).splitlines()]
            return sorted(r[0] + ":" + r[4] for r in rows if len(r) > 4 and r[0].isdigit())
        gw.wait_log("SMPP transmitter: cannot connect")
        at_restart = attempts()
        self.assertTrue(at_restart, "entries wait in the queue")
        time.sleep(CENTRE_DOWN_S)  # the centre stays down this long
        self.assertEqual(attempts(), at_restart, "no attempt counted while the centre is down")
        self.assertFalse([l for l in whole_record_lines(self, gw, "rec")
                          if l.startswith("FAILURE|")])
        self.smsc = Smsc(self, "--port", str(first.port), "--submit-delay", SUBMIT_DELAY_MS)
        self.check_every_accepted_mail_sent(
            gw, accepted, in_doubt, at_kill, lambda: submitted(first) + submitted(self.smsc))

    def test_client_keeping_its_connection_gets_its_sms_at_once(self):
        gw = self.smpp_gateway()
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=10)
        self.addCleanup(s.close)
        s.helo("client")
        s.mail("a@corp.example")
        s.rcpt("0412000777@gw")
        code, _ = s.data("Subject: now\r\n\r\nno quit follows\r\n")
        t250 = time.monotonic()
        self.assertEqual(code, 250)
        self.smsc.wait_event("submit_sm")
        took = time.monotonic() - t250
        print("250 -> submit_sm at the centre: %.1f ms" % (took * 1000))
        # Must be within 100 ms; the margin is for loaded and sanitizer builds.
        self.assertLess(took, 1.0)

    def test_shutdown_lets_sends_finish_and_keeps_the_rest(self):
        gw = self.smpp_gateway("--submit-delay", "1500", shutdown_wait="2")
        # More than the window of ten in flight: the rest is still queued at the stop.
        dests = ["04120009%02d" % i for i in range(25)]
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=10)
        s.helo("client")
        s.sendmail("a@corp.example", [d + "@gw" for d in dests],
                   "Subject: many\r\n\r\nto twenty-five\r\n")
        s.quit()
        self.smsc.wait_event("submit_sm")
        t0 = time.monotonic()
        open(os.path.join(gw.home, "tolvane.exit"), "w").close()
        gw.proc.wait(timeout=WAIT)
        took = time.monotonic() - t0
        status = gw.proc.returncode
        gw.stop()  # fails the test on a sanitizer report
        self.assertEqual(status, 0)
        print("shutdown with sends in flight took %.2f s" % took)
        self.assertLess(took, 2 + 2 + 1.0, "shutdown_wait + 2 s (+ scheduling margin)")
        left = queue_listing(gw)
        self.assertNotIn("Queue is empty", left)
        gw.start()
        want = {"+61" + d[1:] for d in dests}
        wait_for(lambda: want <= set(submitted(self.smsc)), WAIT,
                 what="the rest sent after the restart")
        self.assertFalse(any("abandoned" in l for l in gw.log()))


class SmsToMailQueue(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def test_acknowledged_at_once_while_relay_is_down_and_mailed_once_after_a_kill(self):
        self.smsc = Smsc(self)
        relay_port = free_port()  # nothing listens there yet
        gw = Gateway(self, smpp_settings(self.smsc, smtp_outport=str(relay_port),
                                         smtp_domain="gw.example", loglevel="info"))
        gw.wait_log("SMPP transport ready")
        self.smsc.wait_event("bind_receiver")
        t0 = time.monotonic()
        self.smsc.command(cmd="deliver", source_addr="447700900123",
                          destination_addr="447700900001", text="bob@corp.example kill me")
        resp = self.smsc.wait_event("deliver_sm_resp")
        took = time.monotonic() - t0
        self.assertEqual(resp["command_status"], 0)
        print("deliver_sm -> deliver_sm_resp with the relay down: %.1f ms" % (took * 1000))
        self.assertLess(took, 0.5, "within 100 ms; the margin is for loaded and sanitizer builds")
        # The failed attempt and its error are on disk before the kill.
        wait_for(lambda: "Connection refused" in queue_listing(gw) or
                 "connect" in queue_listing(gw).lower(), WAIT, what="the relay error queued")
        kill9(gw)

        # A torn tail: the last record (that error) loses a few bytes, and with them the
        # zeros the killed gateway had written ahead of it.
        qdir = os.path.join(gw.work, "queue")
        last = sorted(f for f in os.listdir(qdir) if f.endswith(".jnl"))[-1]
        path = os.path.join(qdir, last)
        end, last_type = records_end(path)
        self.assertEqual(last_type, 2, "the last record is the attempt with the relay's error")
        os.truncate(path, end - 3)

        sink_dir = os.path.join(gw.home, "sink2")
        os.makedirs(sink_dir)
        sink = subprocess.Popen(["smtp-sink", "-u", getpass.getuser(), "-d",
                                 sink_dir + "/%H%M%S.", "127.0.0.1:%d" % relay_port, "10"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (sink.terminate(), sink.wait(10)))
        gw.start()
        gw.wait_log("Queue journal: torn record in " + path)
        # Its retry is minutes away: ask for it now.
        subprocess.run([BIN, "-config", gw.ini, "-queue", "flush"], check=True,
                       capture_output=True, timeout=WAIT)
        wait_for(lambda: len(os.listdir(sink_dir)) >= 1, WAIT, what="the mail at the relay")
        wait_for(lambda: "Queue is empty" in queue_listing(gw), WAIT, what="an empty queue")
        gw.stop()
        self.assertEqual(len(os.listdir(sink_dir)), 1, "the mail arrives once")
        logs = whole_record_lines(self, gw, "log")
        self.assertEqual(len(logs), 1, logs)
        self.assertTrue(logs[0].startswith("SUCCESS|SMS|447700900123|bob@corp.example|"),
                        logs[0])


    def test_damaged_record_costs_only_its_entry_and_the_listing_counts_it(self):
        self.smsc = Smsc(self)
        relay_port = free_port()  # nothing listens there: the mails stay queued
        gw = Gateway(self, smpp_settings(self.smsc, smtp_outport=str(relay_port),
                                         smtp_domain="gw.example", loglevel="info"))
        gw.wait_log("SMPP transport ready")
        self.smsc.wait_event("bind_receiver")
        for i, word in enumerate(("first", "second", "third")):
            self.smsc.command(cmd="deliver", source_addr="44770090013%d" % i,
                              destination_addr="447700900001",
                              text="bob@corp.example the %s of three" % word)
            self.assertEqual(self.smsc.wait_event("deliver_sm_resp", i + 1)["command_status"], 0)
        wait_for(lambda: "-- 3 entries" in queue_listing(gw), WAIT, what="three queued mails")
        gw.stop()

        # One flipped bit in the second mail's text, in the segment the stop closed.
        qdir = os.path.join(gw.work, "queue")
        path = os.path.join(qdir, sorted(f for f in os.listdir(qdir) if f.endswith(".jnl"))[-1])
        with open(path, "rb") as f:
            data = bytearray(f.read())
        at = data.find(b"the second of three")
        self.assertGreater(at, 0)
        self.assertEqual(data.count(b"the second of three"), 1)
        data[at + 4] ^= 0x01
        with open(path, "wb") as f:
            f.write(data)
        self.assertIn("1 entries lost in damaged records", queue_listing(gw))

        gw.start()
        gw.wait_log("Queue journal: corrupt record in " + path)
        line = [l for l in gw.log() if l.startswith("Queue journal: corrupt record in")][0]
        self.assertIn("up to the next whole record; entries lost: 1 (ids ", line)
        gw.wait_log("Queue journal: damaged segment " + path + " kept as")
        gw.stop()
        listing = queue_listing(gw)
        self.assertIn("1 entries lost in damaged records (copies in %s/damaged)" % qdir, listing)
        self.assertIn("-- 2 entries", listing)
        self.assertEqual(len([f for f in os.listdir(os.path.join(qdir, "damaged"))
                              if not f.endswith(".lost")]), 1, "one copy kept")

    def test_long_sms_part_stored_before_a_kill_joins_the_part_after_the_restart(self):
        self.smsc = Smsc(self)
        gw = Gateway(self, smpp_settings(self.smsc, smtp_domain="gw.example", loglevel="info"))
        gw.wait_log("SMPP transport ready")
        self.smsc.wait_event("bind_receiver")
        first = "bob@corp.example the first half, "
        self.smsc.command(cmd="deliver", source_addr="447700900124",
                          destination_addr="447700900001", text=first, sar=[0x33, 2, 1])
        self.assertEqual(self.smsc.wait_event("deliver_sm_resp")["command_status"], 0)
        self.assertIn("part", queue_listing(gw), "the acknowledged part is on disk")
        kill9(gw)
        gw.start()
        gw.wait_log("Long SMS: 1 stored parts of 1 sets waiting from an earlier run")
        self.smsc.wait_event("bind_receiver", 2)
        gw.wait_log("SMPP transport ready")
        self.smsc.command(cmd="deliver", source_addr="447700900124",
                          destination_addr="447700900001", text="and the second",
                          sar=[0x33, 2, 2])
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        wait_for(lambda: "Queue is empty" in queue_listing(gw), WAIT, what="an empty queue")
        gw.stop()
        self.assertEqual(len(gw.sink.mails()), 1, "one mail for the two parts")
        self.assertEqual(mails[0]["rcpt"], "bob@corp.example")
        body = mails[0]["body"]
        self.assertIn(first + "and the second", body)
        self.assertNotIn("missing", body)


class FullDisk(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def test_full_disk_refuses_with_452_keeps_nothing_and_recovers(self):
        # Smaller than the zeros the journal writes ahead of its records (1 MiB at a time):
        # it goes without them, as on any disk short of that room, so each mail's records
        # need room of their own, and a full disk refuses them.
        mnt = small_tmpfs(self)
        work = os.path.join(mnt, "work")
        gw = Gateway(self, {"workpath": work, "phone_country": "+61"}, start=False)
        gw.work = work
        gw.start()
        filler = os.path.join(mnt, "filler")
        fill_disk(filler)
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=10)
        s.helo("client")
        s.mail("a@corp.example")
        # Twenty entries with their header copies: more than the free end of the journal's
        # last page, which a full file system would still take.
        for i in range(20):
            s.rcpt("04120001%02d@gw" % i)
        code, text = s.data("Subject: full\r\nX-Pad: %s\r\n\r\nno room\r\n" % ("p" * 400))
        s.close()
        self.assertEqual((code, text), (452, b"Insufficient system storage"))
        self.assertIn("Queue is empty", queue_listing(gw))
        self.assertEqual(gw.attempts(), [])
        os.remove(filler)
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=10)
        s.helo("client")
        self.assertEqual(s.sendmail("a@corp.example", ["0412000002@gw"],
                                    "Subject: room\r\n\r\nroom again\r\n"), {})
        s.quit()
        gw.wait_attempts(1)
        self.assertEqual([a["to"] for a in gw.attempts()], ["+61412000002"])
        gw.stop()


if __name__ == "__main__":
    unittest.main()
