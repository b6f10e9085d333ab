"""Every character of a mail reaches the SMS: charsets, encoded subjects and HTML mail
through the real gateway, with the robot transport recording exactly what it got."""

import email.header
import unittest

from mailsms import Gateway, send_mail

SPECIALS = "\u20ac [ ] ~ ^ { } | \\"
WORLD = "Gr\u00fc\u00dfe \u041f\u0440\u0438\u0432\u0435\u0442 \u4f60\u597d \U0001F600"


def mail(headers, body):
    """A mail as bytes: header lines (ASCII) and a body already in its charset."""
    head = "".join("%s: %s\r\n" % h for h in headers).encode("ascii")
    return head + b"\r\n" + body


class MailText(unittest.TestCase):
    def gateway(self, **settings):
        base = {"phone_country": "+61", "sms_subject": "false"}
        base.update(settings)
        return Gateway(self, base)

    def one(self, gw, data, n=1):
        send_mail(gw, "a@corp.example", "0412000001@gw", data)
        return gw.wait_attempts(n)[n - 1], gw.meta()[n - 1]

    def test_utf8_mail_reaches_the_robot_exactly(self):
        gw = self.gateway()
        text = SPECIALS + " " + WORLD
        sms, meta = self.one(gw, mail([("Subject", "x"), ("MIME-Version", "1.0"),
                                       ("Content-Type", "text/plain; charset=utf-8"),
                                       ("Content-Transfer-Encoding", "8bit")],
                                      text.encode("utf-8")))
        self.assertEqual(sms["text"], text + "\n")
        self.assertEqual(meta["coding"], "ucs2")
        self.assertEqual(meta["length"], str(len((text + "\n").encode("utf-8"))))
        self.assertTrue(meta["eof"], "standard input stays open behind the text")

    def test_gsm_text_and_parts(self):
        gw = self.gateway()
        text = SPECIALS + " " + "x" * 300
        sms, meta = self.one(gw, mail([("Content-Type", "text/plain; charset=utf-8")],
                                      text.encode("utf-8")))
        self.assertEqual(sms["text"], text + "\n")
        self.assertEqual(meta["coding"], "gsm")
        self.assertEqual(meta["parts"], "3")  # 319 septets
        # One record for the recipient, naming the parts.
        recs = gw.wait_records(1)
        self.assertEqual(len(recs), 1)
        self.assertIn("|NONE parts 3|", recs[0])

    def test_text_beyond_the_part_limit_is_cut_and_the_record_says_so(self):
        gw = self.gateway(sms_max_parts="2")
        sms, meta = self.one(gw, mail([], b"y" * 400))
        self.assertEqual(sms["text"], "y" * 306)
        self.assertEqual(meta["parts"], "2")
        recs = gw.wait_records(1)
        self.assertIn("|NONE parts 2 cut|", recs[0])
        gw.wait_log("cut to 306 of 401 characters (sms_max_parts 2)")

    def test_latin1_and_windows_1252_bodies(self):
        gw = self.gateway()
        body = "Gr\u00fc\u00dfe \u00e0 5 \u20ac \u201cquoted\u201d"
        self.one(gw, mail([("Content-Type", "text/plain; charset=ISO-8859-1"),
                           ("Content-Transfer-Encoding", "quoted-printable")],
                          b"Gr=FC=DFe =E0 5\r\n"))
        self.one(gw, mail([("Content-Type", "text/plain; charset=windows-1252")],
                          body.encode("cp1252")), 2)
        texts = [a["text"] for a in gw.attempts()]
        self.assertEqual(texts, ["Gr\u00fc\u00dfe \u00e0 5\n", body + "\n"])

    def test_subjects_in_three_charsets(self):
        gw = self.gateway(sms_subject="true")
        subjects = [
            ("Gr\u00fc\u00dfe", "iso-8859-1", "q"),
            ("\u041f\u0440\u0438\u0432\u0435\u0442", "koi8-r", "b"),
            ("\u4f60\u597d \U0001F600", "utf-8", "b"),
            ("\u00c0 bient\u00f4t", "windows-1252", "q"),
        ]
        for n, (text, charset, how) in enumerate(subjects, 1):
            raw = text.encode(charset)
            if how == "b":
                word = email.header.Header(raw, charset).encode()  # B for these charsets
                self.assertIn("?b?", word.lower())
            else:
                word = "=?%s?q?%s?=" % (charset, "".join(
                    "=%02X" % c if c > 127 or c in b"=?_" else ("_" if c == 32 else chr(c))
                    for c in raw))
            # Two adjacent words: each decoded on its own, the blank between them dropped.
            subject = word + " =?us-ascii?q?_!?="
            self.one(gw, mail([("Subject", subject)], b"body\r\n"), n)
        texts = [a["text"] for a in gw.attempts()]
        self.assertEqual(texts, ["%s ! - body\n" % s[0] for s in subjects])

    def test_html_only_mail(self):
        gw = self.gateway()
        html = ("<html><head><style>p {color: red}</style><title>t</title></head><body>"
                "<p>Hello <b>world</b></p><p>5&nbsp;pm &amp; caf&eacute; &#8364;</p>"
                "<script>x()</script><ul><li>one</li><li>two</li></ul></body></html>")
        sms, _ = self.one(gw, mail([("Content-Type", "text/html; charset=utf-8")],
                                   html.encode("utf-8")))
        self.assertEqual(sms["text"], "Hello world\n5 pm & caf\u00e9 \u20ac\none\ntwo")

    def test_alternative_with_an_empty_text_part(self):
        gw = self.gateway()
        body = ("--B\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n\r\n"
                "--B\r\nContent-Type: text/html; charset=iso-8859-1\r\n"
                "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                "<div>Gr=FC=DFe</div><div>aus M=FCnchen</div>\r\n--B--\r\n").encode("ascii")
        sms, _ = self.one(gw, mail([("MIME-Version", "1.0"),
                                    ("Content-Type", "multipart/alternative; boundary=B")], body))
        self.assertEqual(sms["text"], "Gr\u00fc\u00dfe\naus M\u00fcnchen")

    def test_latin1_coding_gives_the_old_bytes(self):
        gw = self.gateway(sms_coding="latin1")
        sms, meta = self.one(gw, mail([("Content-Type", "text/plain; charset=utf-8")],
                                      "Gr\u00fc\u00dfe 5 \u20ac \u041f".encode("utf-8")))
        self.assertEqual(meta["hex"], b"Gr\xfc\xdfe 5 \x80 ?\n".hex())
        self.assertEqual(meta["coding"], "latin1")


if __name__ == "__main__":
    unittest.main()
