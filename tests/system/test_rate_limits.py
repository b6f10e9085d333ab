"""Rate limits under concurrency: many clients at once against a small limit give
exactly the limit's number of SMS, the counter files hold only successes, and a send
that finally fails gives its place back."""

import os
import smtplib
import threading
import unittest

from mailsms import Gateway, send_mail, wait_for

CLIENTS = 50
LIMIT = 10


def blast(gw, senders, rcpts):
    """One mail per (sender, rcpt) pair, all clients at once; returns the refusals."""
    start = threading.Barrier(len(senders))
    outcomes = [None] * len(senders)

    def one(i):
        try:
            s = smtplib.SMTP("127.0.0.1", gw.port, timeout=60)
            try:
                s.helo("client%d.example" % i)
                start.wait(timeout=30)
                refused = s.sendmail(senders[i], [rcpts[i]], "Subject: n%d\r\n\r\nbody\r\n" % i)
                outcomes[i] = ("ok", refused)
            finally:
                try:
                    s.quit()
                except smtplib.SMTPException:
                    pass
        except smtplib.SMTPResponseException as e:
            outcomes[i] = ("refused", e.smtp_code)
        except smtplib.SMTPRecipientsRefused as e:
            outcomes[i] = ("refused", list(e.recipients.values())[0][0])
        except Exception as e:  # noqa: BLE001 - recorded and asserted below
            outcomes[i] = ("error", repr(e))

    threads = [threading.Thread(target=one, args=(i,)) for i in range(len(senders))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    return outcomes


class LimitsUnderConcurrency(unittest.TestCase):
    def test_concurrent_senders_never_pass_the_sender_limit(self):
        gw = Gateway(self, {"from_limit": str(LIMIT), "phone_country": "+61"}, fast_robot=True)
        senders = ["same@corp.example"] * CLIENTS
        rcpts = ["04120%05d@gw" % i for i in range(CLIENTS)]
        outcomes = blast(gw, senders, rcpts)
        self.assertFalse([o for o in outcomes if o is None or o[0] == "error"], outcomes)
        accepted = [o for o in outcomes if o[0] == "ok"]
        self.assertEqual(len(accepted), LIMIT, outcomes)
        self.assertTrue(all(o == ("refused", 500) for o in outcomes if o[0] != "ok"), outcomes)
        gw.wait_records(LIMIT)
        gw.wait_file("msgrec.from", "same@corp.example|%010d\n" % LIMIT)
        self.assertEqual(len(gw.sms()), LIMIT)
        self.assertEqual(len(gw.records()), LIMIT)

    def test_concurrent_mails_to_one_number_never_pass_the_recipient_limit(self):
        gw = Gateway(self, {"to_limit": str(LIMIT), "phone_country": "+61"}, fast_robot=True)
        senders = ["s%d@corp.example" % i for i in range(CLIENTS)]
        rcpts = ["0412000001@gw"] * CLIENTS
        outcomes = blast(gw, senders, rcpts)
        self.assertFalse([o for o in outcomes if o is None or o[0] == "error"], outcomes)
        self.assertEqual(len([o for o in outcomes if o[0] == "ok"]), LIMIT, outcomes)
        gw.wait_records(LIMIT)
        gw.wait_file("msgrec.to", "+61412000001|%010d\n" % LIMIT)
        self.assertEqual([a["to"] for a in gw.sms()], ["+61412000001"] * LIMIT)


class FailedSendGivesItsPlaceBack(unittest.TestCase):
    def test_failure_is_not_counted_and_frees_its_place(self):
        gw = Gateway(self, {"from_limit": "2", "phone_country": "+61", "sms_retries": "0"})
        gw.fail_robot()
        self.assertEqual(send_mail(gw, "a@corp.example", "0412000001@gw",
                                   "Subject: x\r\n\r\nfirst\r\n"), {})
        recs = gw.wait_records(1, timeout=30)
        self.assertTrue(recs[0].startswith("FAILURE|"), recs)
        os.remove(os.path.join(gw.home, "fail"))
        # The failure neither counts nor keeps its reservation: two more fit the limit.
        for n in (2, 3):
            self.assertEqual(send_mail(gw, "a@corp.example", "041200000%d@gw" % n,
                                       "Subject: x\r\n\r\nmore\r\n"), {})
            gw.wait_records(n, timeout=30)
        gw.wait_file("msgrec.from", "a@corp.example|%010d\n" % 2)
        with self.assertRaises(smtplib.SMTPDataError) as refused:
            send_mail(gw, "a@corp.example", "0412000004@gw", "Subject: x\r\n\r\nover\r\n")
        self.assertEqual(refused.exception.smtp_code, 500)
        self.assertEqual(len(gw.sms()), 2)


if __name__ == "__main__":
    unittest.main()
