"""SIGHUP on the running gateway: the log is reopened under its name (a rotation tool
renamed it away) without losing a line while clients send, the alias and delivery files
are read again (a file that fails keeps the old table), and the dialogue traces are
private, rotated within their budget and reopened too."""

import glob
import os
import re
import signal
import smtplib
import stat
import threading
import unittest

from mailsms import Gateway, send_mail, wait_for

CLIENTS = 20
MAILS_EACH = 5


def log_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        text = f.read().decode("latin-1")
    return [re.sub(r"^.{16} \[\d+\]\[\d+\] \w+: ", "", l) for l in text.splitlines()]


def open_files(pid):
    out = []
    for fd in glob.glob("/proc/%d/fd/*" % pid):
        try:
            out.append(os.readlink(fd))
        except OSError:
            pass
    return out


class LogReopen(unittest.TestCase):
    def test_renamed_log_is_closed_and_a_new_one_takes_every_later_line(self):
        gw = Gateway(self, {"phone_country": "+61", "loglevel": "info"}, fast_robot=True)
        log = os.path.join(gw.home, "tolvane.log")
        rotated = log + ".1"
        sent = threading.Semaphore(0)
        reopened = threading.Event()
        errors = []
        delivered = [[] for _ in range(CLIENTS)]

        def client(c):
            # Sends until the reopen is seen, and MAILS_EACH more after it.
            try:
                after = 0
                m = 0
                while after < MAILS_EACH:
                    if reopened.is_set():
                        after += 1
                    rcpt = "04%02d%06d@gw" % (c, m)
                    if send_mail(gw, "c%d@corp.example" % c, rcpt, "Subject: s\r\n\r\nb\r\n"):
                        errors.append(rcpt)
                    delivered[c].append("+614%02d%06d" % (c, m))
                    m += 1
                    sent.release()
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))
                reopened.set()

        threads = [threading.Thread(target=client, args=(c,)) for c in range(CLIENTS)]
        for t in threads:
            t.start()
        for _ in range(CLIENTS):  # some mails before the rotation
            self.assertTrue(sent.acquire(timeout=60))
        os.rename(log, rotated)
        gw.proc.send_signal(signal.SIGHUP)
        try:
            wait_for(lambda: any("Reload: log file" in l for l in log_lines(log)), 20,
                     what="the new log file")
        finally:
            reopened.set()
        for t in threads:
            t.join(timeout=120)
        self.assertEqual(errors, [])
        wanted = sorted(d for per in delivered for d in per)
        gw.wait_records(len(wanted), timeout=60)

        self.assertIsNone(gw.proc.poll(), "SIGHUP must not end the gateway")
        self.assertNotIn(rotated, open_files(gw.proc.pid), "the renamed log is still open")
        old, new = log_lines(rotated), log_lines(log)
        # Lines the log's own size rotation moved on count too.
        for f in sorted(glob.glob(log + "[0-9]")):
            new = log_lines(f) + new
        self.assertTrue(any("SIGHUP received, reloading" in l for l in old))
        self.assertFalse(any("SIGHUP received" in l for l in new))
        # Every mail's line is in exactly one of the two files.
        seen = sorted(re.search(r"New message to \[(.*)\]", l).group(1)
                      for l in old + new if "New message to [" in l)
        self.assertEqual(seen, wanted)
        self.assertGreaterEqual(len([l for l in new if "New message to [" in l]),
                                CLIENTS * MAILS_EACH, "the mails after the reopen")


class TablesReload(unittest.TestCase):
    def test_delivery_and_alias_files_are_read_again_and_a_failure_keeps_them(self):
        gw = Gateway(self, [("phone_country", "+61"),
                            ("delivery_file", 'file="delivery.txt"'),
                            ("alias_file", 'file="alias.txt"')], start=False)
        delivery = os.path.join(gw.home, "delivery.txt")
        alias = os.path.join(gw.home, "alias.txt")
        with open(delivery, "w") as f:
            f.write("0412000001 ann@corp.example\n")
        with open(alias, "w") as f:
            f.write("0412000009*boss@corp.example\n")
        gw.start()
        gw.wait_log("ALIAS: loaded 1 entries from (delivery.txt)")

        with open(delivery, "w") as f:
            f.write("0412000001 ann@corp.example\n0412000002 bob@corp.example\n"
                    "0412000003 cat@corp.example\n")
        gw.proc.send_signal(signal.SIGHUP)
        gw.wait_log("Reload: delivery file 3 entries, alias file 1 entries")
        gw.wait_log("Reload: admin.dat cannot be read")

        os.remove(alias)
        os.makedirs(alias)
        gw.proc.send_signal(signal.SIGHUP)
        gw.wait_log("Reload: Failed to read (alias.txt), Failed to open (alias.txt), "
                    "Is a directory; the tables in use are kept")
        # Nothing changed: a later good reload still sees the last good files.
        os.rmdir(alias)
        with open(alias, "w") as f:
            f.write("0412000009*boss@corp.example\n0412000008*cfo@corp.example\n")
        with open(os.path.join(gw.home, "admin.dat"), "w") as f:
            f.write("admin:{ssha}AAAA\n")
        gw.proc.send_signal(signal.SIGHUP)
        gw.wait_log("Reload: delivery file 3 entries, alias file 2 entries")
        gw.wait_log("Reload: admin.dat read, user (admin)")
        self.assertIsNone(gw.proc.poll())


class Traces(unittest.TestCase):
    BUDGET = 4096
    MAILS = 60

    def test_smtp_trace_is_private_bounded_and_reopened(self):
        trace = None
        gw = Gateway(self, {"phone_country": "+61", "trace_max_size": str(self.BUDGET),
                            "smtp_debug_file": "smtp.log"}, fast_robot=True, start=False)
        trace = os.path.join(gw.home, "smtp.log")
        gw.start()
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=30)
        s.helo("client.example")
        for n in range(self.MAILS):
            self.assertEqual(s.sendmail("a@corp.example", ["0412%06d@gw" % n],
                                        "Subject: s%d\r\n\r\n%s\r\n" % (n, "x" * 200)), {})
        s.quit()
        gw.wait_records(self.MAILS, timeout=60)
        # The session's last trace lines are written as it ends.
        wait_for(lambda: "SMTP->[221" in open(trace).read(), 20, what="the end of the session")

        files = sorted(glob.glob(trace + "*"))
        names = [os.path.basename(f) for f in files]
        self.assertEqual(names, ["smtp.log"] + ["smtp.log%d" % i for i in range(5)],
                         "the trace rotated into exactly five old files")
        for f in files:
            st = os.stat(f)
            self.assertEqual(stat.S_IMODE(st.st_mode), 0o600, f)
            self.assertLessEqual(st.st_size, self.BUDGET, f)
        self.assertLessEqual(sum(os.path.getsize(f) for f in files), 6 * self.BUDGET)

        os.rename(trace, trace + ".moved")
        gw.proc.send_signal(signal.SIGHUP)
        gw.wait_log("Reload: dialogue traces reopened")
        send_mail(gw, "a@corp.example", "0412999999@gw", "Subject: after\r\n\r\nb\r\n")
        wait_for(lambda: os.path.exists(trace) and os.path.getsize(trace) > 0, 20,
                 what="the reopened trace")
        self.assertEqual(stat.S_IMODE(os.stat(trace).st_mode), 0o600)
        self.assertNotIn(trace + ".moved", open_files(gw.proc.pid))


if __name__ == "__main__":
    unittest.main()
