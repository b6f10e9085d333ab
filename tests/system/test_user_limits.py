"""The user count of a limit: mails of a client that authenticated with SMTP AUTH count
against `limit ... user="N"` by its name, whatever sender they give; other names and
clients that did not authenticate are apart; the counts live in <limit>.user."""

import base64
import hashlib
import os
import shutil
import smtplib
import tempfile
import unittest

from mailsms import Gateway, ssha


def mail(gw, user, sender, rcpts, n):
    s = smtplib.SMTP("127.0.0.1", gw.port, timeout=30)
    try:
        s.ehlo("client.example")
        if user:
            s.login(user, user + " secret")
        return s.sendmail(sender, rcpts, "Subject: n%d\r\n\r\nbody %d\r\n" % (n, n))
    finally:
        try:
            s.quit()
        except smtplib.SMTPException:
            pass


class UserLimit(unittest.TestCase):
    def test_authenticated_names_are_counted_and_limited(self):
        gw = Gateway(self, [("phone_country", "+61"), ("smtp_auth", "optional"),
                            ("smtp_auth_plaintext", "true"),
                            ("smtp_users", self.users_file()),
                            ("limit", 'name="msgrec" user="3" period="24"')])
        # Two recipients of one mail count twice; the sender address does not matter.
        self.assertEqual(mail(gw, "ann", "a1@corp.example", ["0412000001@gw",
                                                             "0412000002@gw"], 1), {})
        self.assertEqual(mail(gw, "ann", "a2@corp.example", ["0412000003@gw"], 2), {})
        gw.wait_records(3, timeout=30)
        # Names compare without case, like every limit key.
        with self.assertRaises(smtplib.SMTPDataError) as refused:
            mail(gw, "ANN", "a3@corp.example", ["0412000004@gw"], 3)
        self.assertEqual(refused.exception.smtp_code, 500)
        self.assertIn(b"msgrec Limit reached", refused.exception.smtp_error)
        # Another name and an unauthenticated client are not held by ann's count.
        self.assertEqual(mail(gw, "bob", "a1@corp.example", ["0412000005@gw"], 4), {})
        self.assertEqual(mail(gw, None, "a1@corp.example", ["0412000006@gw"], 5), {})
        gw.wait_records(5, timeout=30)
        gw.wait_file("msgrec.user", "ann|%010d\nbob|%010d\n" % (3, 1))
        self.assertEqual(len(gw.sms()), 5)

    def users_file(self):
        d = tempfile.mkdtemp(prefix="tv-users-")
        self.addCleanup(shutil.rmtree, d, True)
        path = os.path.join(d, "smtp_users")
        with open(path, "w") as f:
            for name in ("ann", "ANN", "bob"):
                f.write("%s:%s\n" % (name, ssha(name + " secret")))
        return path


if __name__ == "__main__":
    unittest.main()
