"""Many mail clients at once: every SMS is sent exactly once, the counters add up to
the number sent, and no spool file is left behind."""

import collections
import smtplib
import threading
import unittest

from mailsms import Gateway, wait_for

CLIENTS = 50
MAILS = 10


def client(port, n, errors):
    sender = "user%02d@corp.example" % n
    try:
        # Half the clients keep one connection for all their mails (each further mail is
        # handed to a thread of its own), the other half connect once per mail.
        if n % 2 == 0:
            s = smtplib.SMTP("127.0.0.1", port, timeout=60)
            s.helo("load%02d" % n)
            for i in range(MAILS):
                s.sendmail(sender, ["0412%02d%04d@gw.example" % (n, i)],
                           "Subject: m%d\r\n\r\nmail %d of %s\r\n" % (i, i, sender))
            s.quit()
        else:
            for i in range(MAILS):
                s = smtplib.SMTP("127.0.0.1", port, timeout=60)
                s.helo("load%02d" % n)
                s.sendmail(sender, ["0412%02d%04d@gw.example" % (n, i)],
                           "Subject: m%d\r\n\r\nmail %d of %s\r\n" % (i, i, sender))
                s.quit()
    except Exception as e:  # reported by the test, not lost in the thread
        errors.append("%s: %r" % (sender, e))


def counts(text):
    out = {}
    for line in (text or "").splitlines():
        key, _, digits = line.rpartition("|")
        out[key] = int(digits)
    return out


class Load(unittest.TestCase):
    def test_fifty_clients_ten_mails_each(self):
        gw = Gateway(self, {"phone_country": "+61", "loglevel": "info"}, fast_robot=True)
        errors = []
        threads = [threading.Thread(target=client, args=(gw.port, n, errors))
                   for n in range(CLIENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=240)
        self.assertFalse(any(t.is_alive() for t in threads), "clients still running")
        self.assertEqual(errors, [])

        total = CLIENTS * MAILS
        gw.wait_records(total, timeout=180)
        wait_for(lambda: sum(counts(gw.file("msgrec.to")).values()) == total, 30,
                 what="the recipient counts")
        wait_for(lambda: gw.spool_files() == [], 30, what="the spool files to go")

        sent = collections.Counter(a["to"] for a in gw.attempts())
        want = {"+61412%02d%04d" % (n, i) for n in range(CLIENTS) for i in range(MAILS)}
        self.assertEqual(set(sent), want)
        self.assertEqual([to for to, k in sent.items() if k != 1], [])  # each exactly once

        recs = gw.records()
        self.assertEqual(len(recs), total)
        self.assertTrue(all(r.startswith("SUCCESS|127.0.0.1|") for r in recs))

        to = counts(gw.file("msgrec.to"))
        frm = counts(gw.file("msgrec.from"))
        ip = counts(gw.file("msgrec.ip"))
        self.assertEqual(len(to), total)
        self.assertEqual(set(to.values()), {1})
        self.assertEqual(frm, {"user%02d@corp.example" % n: MAILS for n in range(CLIENTS)})
        self.assertEqual(ip, {"127.0.0.1": total})
        log = gw.log()
        # The one probe that found the listener up hung up after the greeting.
        self.assertLessEqual(sum(l.startswith("Message recv error") for l in log), 1)
        self.assertFalse(any(l.startswith(("Message send failed", "Message send error"))
                             for l in log))


if __name__ == "__main__":
    unittest.main()
