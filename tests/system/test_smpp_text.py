"""Every character arrives, both ways, through an SMS centre: the real gateway against
tests/peers/smsc.js. Outgoing texts are read back from the octets the centre got, with
the GSM alphabet written out here; incoming ones from the mails smtp-sink received.

Every process started here (gateway, centre, sink) is stopped by the test's cleanups.
"""

import email
import email.policy
import os
import unittest

from mailsms import BIN, Gateway, send_mail
from test_smpp import WAIT, Smsc, smpp_settings

# GSM 03.38 default alphabet and its extension table, written out here independently of
# the gateway's own tables, to read what the gateway put on the wire.
GSM_BASIC = ("@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1bÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
             "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà")
GSM_EXT = {0x0A: "\f", 0x14: "^", 0x28: "{", 0x29: "}", 0x2F: "\\", 0x3C: "[", 0x3D: "~",
           0x3E: "]", 0x40: "|", 0x65: "€"}


def gsm_septets_to_text(octets):
    out, esc = [], False
    for b in octets:
        if esc:
            out.append(GSM_EXT.get(b, GSM_BASIC[b]))
            esc = False
        elif b == 0x1B:
            esc = True
        else:
            out.append(GSM_BASIC[b])
    return "".join(out)


def text_to_gsm_septets(text):
    ext = {v: k for k, v in GSM_EXT.items()}
    out = bytearray()
    for ch in text:
        if ch in ext:
            out += bytes([0x1B, ext[ch]])
        else:
            out.append(GSM_BASIC.index(ch))
    return bytes(out)


def send_utf8(gw, rcpt, body):
    data = ("MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
            "Content-Transfer-Encoding: 8bit\r\n\r\n" + body + "\r\n").encode("utf-8")
    send_mail(gw, "ann@corp.example", rcpt, data)


def split_udh(octets):
    """(reference, total, part, data) of a short_message with a concatenation header."""
    n = octets[0]
    udh = octets[1:1 + n]
    assert udh[0] == 0x00 and udh[1] == 3, udh.hex()
    return udh[2], udh[3], udh[4], octets[1 + n:]


def decode(dc, octets):
    if dc == 0:
        return gsm_septets_to_text(octets)
    if dc == 8:
        return octets.decode("utf-16-be")
    raise AssertionError("unexpected data_coding %d" % dc)


def mail_text(m):
    raw = "\n".join("%s: %s" % h for h in m["headers"]) + "\n\n" + m["body"]
    msg = email.message_from_bytes(raw.encode("latin-1"), policy=email.policy.default)
    return msg.get_content()


class SmppText(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def start(self, **settings):
        self.smsc = Smsc(self)
        settings.setdefault("sms_subject", "false")
        self.gw = Gateway(self, smpp_settings(self.smsc, **settings))
        self.gw.wait_log("SMPP transport ready")
        return self.gw

    def sent_text(self, n_parts):
        """The text of the submits at the centre, joined by their headers."""
        subs = self.smsc.wait_event("submit_sm", n_parts) and self.smsc.all("submit_sm")
        self.assertEqual(len(subs), n_parts)
        if n_parts == 1:
            sm = bytes.fromhex(subs[0]["short_message_hex"])
            self.assertEqual(subs[0]["esm_class"], 0)
            return subs[0]["data_coding"], decode(subs[0]["data_coding"], sm)
        parts = {}
        refs = set()
        for e in subs:
            self.assertEqual(e["esm_class"] & 0x40, 0x40)
            ref, total, part, data = split_udh(bytes.fromhex(e["short_message_hex"]))
            self.assertEqual(total, n_parts)
            refs.add(ref)
            parts[part] = (e["data_coding"], data)
            # No part carries more than 140 octets of user data on the air.
            if e["data_coding"] == 8:
                self.assertLessEqual(len(data) + 6, 140)
            else:
                self.assertLessEqual(len(data), 153)
        self.assertEqual(len(refs), 1)
        self.assertEqual(sorted(parts), list(range(1, n_parts + 1)))
        dcs = {dc for dc, _ in parts.values()}
        self.assertEqual(len(dcs), 1)
        dc = dcs.pop()
        return dc, "".join(decode(dc, parts[i][1]) for i in range(1, n_parts + 1))

    def test_every_kind_of_character_reaches_the_centre_exactly(self):
        cases = [("€ [ ] ~ ^ { } | \\", 0), ("Grüße", 0), ("Привет", 8), ("你好", 8),
                 ("😀", 8)]
        for text, dc in cases:
            with self.subTest(text=text):
                self.start()
                send_utf8(self.gw, "0412345678@gw.example", text)
                got_dc, got = self.sent_text(1)
                self.assertEqual(got_dc, dc)
                self.assertEqual(got.rstrip("\n"), text)
                self.doCleanups()

    def test_long_latin_text_goes_as_three_gsm_parts(self):
        self.start()
        text = ("Lorem ipsum dolor sit amet " * 15)[:400]
        send_utf8(self.gw, "0412345678@gw.example", text)
        dc, got = self.sent_text(3)
        self.assertEqual(dc, 0)
        self.assertEqual(got.rstrip("\n"), text)

    def test_long_cyrillic_text_goes_as_three_ucs2_parts(self):
        self.start()
        text = ("Привет мир " * 20)[:200]
        send_utf8(self.gw, "0412345678@gw.example", text)
        dc, got = self.sent_text(3)
        self.assertEqual(dc, 8)
        self.assertEqual(got.rstrip("\n"), text)

    def test_sms_coding_and_sms_max_parts_hold_at_the_centre(self):
        five = ("Lorem ipsum dolor sit amet. " * 30)[:700]
        cases = [
            ({"sms_coding": "ucs2"}, "hello [x] 1", 8, 1, "hello [x] 1"),
            ({"sms_coding": "gsm"}, "Привет 😀 € ok", 0, 1, "?????? ? € ok"),
            ({"sms_coding": "latin1"}, "Grüße € ok", 0, 1, None),
            ({"sms_max_parts": "2"}, five, 0, 2, five[:2 * 153]),
        ]
        for settings, text, dc, n, want in cases:
            with self.subTest(settings=settings, text=text[:20]):
                self.start(**settings)
                send_utf8(self.gw, "0412345678@gw.example", text)
                if want is None:
                    # Single Latin-1 bytes, the euro sign as 0x80.
                    subs = self.smsc.wait_event("submit_sm", 1) and self.smsc.all("submit_sm")
                    self.assertEqual(len(subs), 1)
                    self.assertEqual(subs[0]["data_coding"], dc)
                    got = bytes.fromhex(subs[0]["short_message_hex"])
                    self.assertEqual(got.rstrip(b"\n"), "Grüße ".encode("latin-1") + b"\x80 ok")
                else:
                    got_dc, got = self.sent_text(n)
                    self.assertEqual(got_dc, dc)
                    self.assertEqual(got.rstrip("\n"), want)
                self.doCleanups()

    def deliver(self, **kw):
        self.smsc.command(cmd="deliver", source_addr="447700900123",
                          destination_addr="447700900001", **kw)

    def test_ucs2_sms_is_mailed_as_utf8(self):
        gw = self.start(smtp_domain="gw.example")
        text = "bob@corp.example Привет 😀 你好"
        self.deliver(data_coding=8, hex=text.encode("utf-16-be").hex())
        m = gw.sink.wait_mails(1, timeout=WAIT)[0]
        self.assertEqual(m["rcpt"], "bob@corp.example")
        self.assertIn(text, mail_text(m))

    def test_sms_starting_with_at_sign_is_whole(self):
        gw = self.start(smtp_domain="gw.example")
        text = "@ noon: bob@corp.example [ok] €5"
        self.deliver(data_coding=0, hex=text_to_gsm_septets(text).hex())
        m = gw.sink.wait_mails(1, timeout=WAIT)[0]
        self.assertIn(text, mail_text(m))

    def test_three_parts_out_of_order_with_a_duplicate_make_one_mail(self):
        gw = self.start(smtp_domain="gw.example")
        text = "bob@corp.example " + ("Grüße aus Wien, " * 25)[:420]
        septets = text_to_gsm_septets(text)
        chunks = [septets[i:i + 153] for i in range(0, len(septets), 153)]
        self.assertEqual(len(chunks), 3)
        for part in (3, 1, 1, 2):
            udh = bytes([5, 0, 3, 0x42, 3, part])
            self.deliver(data_coding=0, esm_class=0x40, hex=(udh + chunks[part - 1]).hex())
        self.smsc.wait_event("deliver_sm_resp", 4)
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        import time
        time.sleep(1.0)
        mails = gw.sink.mails()
        self.assertEqual(len(mails), 1, mails)
        body = mail_text(mails[0])
        self.assertIn(text, body)
        self.assertNotIn("missing", body)

    def test_a_set_never_completed_is_mailed_after_its_wait_with_the_gap_marked(self):
        gw = self.start(smtp_domain="gw.example", sms_concat_wait="1")
        chunks = [text_to_gsm_septets(t) for t in
                  ("bob@corp.example first ", "second ", "third")]
        for part in (1, 3):
            udh = bytes([5, 0, 3, 0x17, 3, part])
            self.deliver(data_coding=0, esm_class=0x40, hex=(udh + chunks[part - 1]).hex())
        m = gw.sink.wait_mails(1, timeout=WAIT)[0]
        self.assertEqual(m["rcpt"], "bob@corp.example")
        body = mail_text(m)
        self.assertIn("first ", body)
        self.assertIn("third", body)
        # The marker stands where the missing part belongs: between the two that came.
        self.assertLess(body.index("first "), body.index("[part 2 of 3 missing]"))
        self.assertLess(body.index("[part 2 of 3 missing]"), body.index("third"))


if __name__ == "__main__":
    unittest.main()
