"""Two gateways sharing one private PostgreSQL server hold the state of one: a limit of 10
holds across both under 50 concurrent senders; a mail through gateway A and the answer
SMS through gateway B reach the mail's sender (routed by B from the shared message log); the pool binds each number once while both
take numbers at once; "-records DAY" prints the day's records from the database in the
day file's format, the same through either gateway.

Peers: the private PostgreSQL server (pgcluster.py), the recording robot, tests/peers/
smsc.js (npm smpp) as the SMS centres, smtp-sink as the relay, smtplib as the mail client.
"""

import os
import re
import smtplib
import subprocess
import threading
import time
import unittest

from mailsms import BIN, Gateway, free_port, wait_for
from pgcluster import PgCluster
from test_smpp import Smsc, smpp_settings
from test_web import PASSWORD, USER, WEB, request, write_admin

WAIT = 30.0


def submitted(smsc):
    return [("+" if e.get("dest_addr_ton") == 1 else "") + e["destination_addr"]
            for e in smsc.all("submit_sm")]


def one_mail(gw, sender, rcpt, n, barrier=None):
    """("ok", refusals) or ("refused", code); the mail waits at the barrier after HELO."""
    try:
        s = smtplib.SMTP("127.0.0.1", gw.port, timeout=60)
        try:
            s.helo("client%d.example" % n)
            if barrier is not None:
                barrier.wait(timeout=30)
            return ("ok", s.sendmail(sender, [rcpt], "Subject: n%d\r\n\r\nbody %d\r\n" % (n, n)))
        finally:
            try:
                s.quit()
            except (smtplib.SMTPException, OSError):
                s.close()
    except smtplib.SMTPResponseException as e:
        return ("refused", e.smtp_code)
    except smtplib.SMTPRecipientsRefused as e:
        return ("refused", list(e.recipients.values())[0][0])


def at_once(jobs):
    """Runs every job in a thread of its own; returns their results in order."""
    out = [None] * len(jobs)

    def run(i):
        try:
            out[i] = jobs[i]()
        except Exception as e:  # noqa: BLE001 - asserted by the caller
            out[i] = ("error", repr(e))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    return out


# The day the test began: a test running past midnight reads both days.
FIRST_DAY = time.strftime("%Y%m%d")


class Printed:
    def __init__(self, stdout, returncode):
        self.stdout, self.returncode = stdout, returncode


def records(gw, *args):
    out, rc = "", 0
    for day in sorted({FIRST_DAY, time.strftime("%Y%m%d")}):
        r = subprocess.run([BIN, "-config", gw.ini, "-records", day] + list(args),
                           capture_output=True, text=True, timeout=WAIT)
        out += r.stdout + r.stderr
        rc = rc or r.returncode
    return Printed(out, rc)


class TwoGatewaysOneDatabase(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        self.pg = PgCluster(self)
        self.db = self.pg.fresh_database()
        self.dsn = self.pg.dsn(self.db)

    def shared(self, **more):
        s = {"store": "postgresql", "store_dsn": self.dsn, "loglevel": "info",
             "phone_country": "+61"}
        s.update(more)
        return s

    def test_a_limit_of_ten_holds_across_both_under_fifty_senders(self):
        web_port = free_port()
        a = Gateway(self, self.shared(from_limit="10", web_port=str(web_port), webpath=WEB),
                    fast_robot=True, start=False)
        a.web_port, a.dir = web_port, a.home
        write_admin(self, a, USER, PASSWORD)
        a.start()
        b = Gateway(self, self.shared(from_limit="10"), fast_robot=True)
        start = threading.Barrier(50)
        jobs = [lambda i=i: one_mail(a if i % 2 else b, "flood@corp.example",
                                     "04120010%02d@gw" % i, i, start) for i in range(50)]
        outcomes = at_once(jobs)
        ok = [o for o in outcomes if o[0] == "ok"]
        refused = [o for o in outcomes if o[0] == "refused"]
        self.assertEqual(len(ok), 10, outcomes)
        self.assertEqual(len(refused), 40, outcomes)
        self.assertEqual({o[1] for o in refused}, {500}, outcomes)
        wait_for(lambda: len(a.sms()) + len(b.sms()) >= 10, WAIT, what="ten SMS sent")
        self.assertEqual(self.pg.psql(
            "SELECT count FROM tv_limit_counts WHERE kind = 1 AND key = 'flood@corp.example'",
            self.db), "10")
        # Both gateways print the same day from the database: ten SUCCESS records in the day
        # file's format.
        wait_for(lambda: records(a).stdout.count("\n") >= 10, WAIT, what="ten records")
        out_a, out_b = records(a), records(b)
        self.assertEqual(out_a.returncode, 0, out_a.stdout)
        self.assertEqual(out_a.stdout, out_b.stdout)
        lines = out_a.stdout.splitlines()
        self.assertEqual(len(lines), 10, lines)
        day = re.compile(r"^SUCCESS\|127\.0\.0\.1\|flood@corp\.example\|\+614120010\d\d\|"
                         r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\|NONE\|$")
        for line in lines:
            self.assertRegex(line, day)
        self.assertEqual(records(a, "log").stdout, "")
        # A's status page shows the day of both gateways, read from the database.
        status, _, page = request(a, "/?cmd=status")
        self.assertEqual(status, 200, page)
        self.assertIn('id="sms-sent">10<', page)
        self.assertIn('id="sms-failed">0<', page)
        self.assertIn('<tr class="up"><td>database</td><td>store</td><td>connected</td></tr>',
                      page)
        shown = re.findall(r'<td>mail to SMS</td><td>SUCCESS</td><td>flood@corp\.example</td>'
                           r'<td>(\+614120010\d\d)</td>', page)
        self.assertEqual(sorted(shown), sorted(l.split("|")[3] for l in lines), page)
        self.assertEqual([f for f in os.listdir(a.work) if f.endswith(".rec")]
                         if os.path.isdir(a.work) else [], [],
                         "records went to the database, not to a day file")

    def test_an_answer_through_b_reaches_the_sender_of_the_mail_through_a(self):
        centre_a, centre_b = Smsc(self), Smsc(self)
        a = Gateway(self, smpp_settings(centre_a, **self.shared(
            recv_mode="none", sender_ids="ann@corp.example +61400000000")))
        b = Gateway(self, smpp_settings(centre_b, **self.shared(smtp_domain="gw.example")))
        a.wait_log("SMPP transport ready")
        b.wait_log("SMPP transport ready")
        centre_b.wait_event("bind_receiver")
        # The SMS goes out from the site's number (not the sender's address), so an answer
        # can come back and the pair is remembered in the message log.
        s = smtplib.SMTP("127.0.0.1", a.port, timeout=30)
        s.helo("client.example")
        self.assertEqual(s.sendmail("ann@corp.example", ["0412000701@gw"],
                                    "Subject: lunch\r\nX-Sms-Number: +61400000000\r\n\r\n"
                                    "today?\r\n"), {})
        s.quit()
        # Queued in the shared queue, the SMS leaves through whichever gateway claims it.
        wait_for(lambda: submitted(centre_a) + submitted(centre_b) == ["+61412000701"], WAIT,
                 what="the SMS")
        wait_for(lambda: self.pg.psql("SELECT count(*) FROM tv_msglog", self.db) == "1", WAIT,
                 what="the message log entry")
        centre_b.command(cmd="deliver", source_addr="61412000701", source_addr_ton=1,
                         destination_addr="61400000000", text="yes, at noon")
        # The mail is queued in the shared queue: whichever gateway claims it relays it.
        mails = wait_for(lambda: a.sink.mails() + b.sink.mails(), WAIT, what="the answer mailed")
        self.assertEqual([m["rcpt"] for m in mails], ["ann@corp.example"])
        # The record follows the relay's answer: wait for it, then read it through A.
        wait_for(lambda: records(b, "log").stdout, WAIT, what="the SMS's record")
        self.assertTrue(any("found in the message log" in l for l in b.log()), b.log()[-20:])
        self.assertRegex(records(a, "log").stdout,
                         r"^SUCCESS\|SMS\|\+61412000701\|ann@corp\.example\|.*\|NONE\|\n$")

    def test_the_pool_binds_each_number_once_under_concurrent_senders_on_both(self):
        centre_a, centre_b = Smsc(self), Smsc(self)
        pool = {"phone_range": 'min="5000" max="5020"', "recv_mode": "none"}
        a = Gateway(self, smpp_settings(centre_a, **self.shared(**pool)))
        b = Gateway(self, smpp_settings(centre_b, **self.shared(**pool)))
        a.wait_log("SMPP transport ready")
        b.wait_log("SMPP transport ready")
        start = threading.Barrier(12)
        jobs = [lambda i=i: one_mail(a if i % 2 else b, "s%d@corp.example" % i,
                                     "04120020%02d@gw" % i, i, start) for i in range(12)]
        self.assertEqual(at_once(jobs), [("ok", {})] * 12)
        got = lambda: centre_a.all("submit_sm") + centre_b.all("submit_sm")  # noqa: E731
        wait_for(lambda: len(got()) >= 12, WAIT, what="twelve SMS")
        sources = [e["source_addr"] for e in got()]
        self.assertEqual(len(set(sources)), 12, sorted(sources))
        for s in sources:
            self.assertRegex(s, r"^\+?6150(0\d|1\d)$")
        bound = self.pg.psql("SELECT count(*), count(DISTINCT email), min(idx), max(idx)"
                             " FROM tv_phones", self.db)
        self.assertEqual(bound, "12|12|0|11")


if __name__ == "__main__":
    unittest.main()
