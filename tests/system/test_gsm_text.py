"""Every character and every word through a GSM modem: the real gateway on the
modem simulator (tests/peers/fake_modem.py), which decodes each unit it is given
on its own, and smtp-sink receiving the mails. UTF-8 mails in GSM and UCS-2, long
texts as concatenated parts, text mode handing such texts to PDU mode, and
received UCS-2, "@" and multi-part SMS becoming one UTF-8 mail.
"""

import os
import quopri
import subprocess
import unittest

from test_gsm import WAIT, ModemCase, send_mail
from fake_modem import read_submit

PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers", "pdu_peer.js")


def node_pdu(units):
    """(reference, total, part, text) of each unit as the npm node-pdu package reads
    it: a decoder independent of both the gateway and the simulator."""
    out = subprocess.run(["node", PEER, "decode"], input="\n".join(units) + "\n",
                         capture_output=True, text=True, timeout=60, check=True).stdout
    rows = []
    for line in out.splitlines():
        ref, total, part, text = line.split(" ")
        rows.append((ref, total, part, bytes.fromhex(text).decode("utf-8")))
    return rows


def text_of(m):
    """The text of a mail the gateway sent (UTF-8, quoted-printable)."""
    return quopri.decodestring(m["body"].encode("latin-1")).decode("utf-8")


def mail(subject, body):
    return ("Subject: %s\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
            "Content-Transfer-Encoding: 8bit\r\n\r\n%s\r\n" % (subject, body)).encode("utf-8")


class Out(ModemCase):
    def units(self, n):
        self.modem.wait_body(n, WAIT)
        return [read_submit(body.decode("latin-1")) for _, body in self.modem.sent[:n]]

    def test_utf8_mails_go_in_the_coding_they_need_and_arrive_exactly(self):
        gw = self.start("pdu", sms_coding="auto")
        texts = [("\u20ac [ ] ~ ^ { } | \\ Gr\u00fc\u00dfe", 0),
                 ("\u041f\u0440\u0438\u0432\u0435\u0442 \u4f60\u597d \U0001F600", 8)]
        for n, (body, _) in enumerate(texts, 1):
            send_mail(gw, "ann@corp.example", "0412345678@gw.example", mail("Hi", body))
            self.modem.wait_body(n, WAIT)
        for (body, dcs), (to, got_dcs, udh, text) in zip(texts, self.units(2)):
            self.assertEqual(to, "+61412345678")
            self.assertEqual(got_dcs, dcs, text)
            self.assertEqual(udh, b"")
            self.assertEqual(text, "Reply w/ ann@corp.example - Hi - %s\n" % body)
        peer = node_pdu([body.decode("latin-1") for _, body in self.modem.sent[:2]])
        for (body, _), (_, _, _, text) in zip(texts, peer):
            self.assertEqual(text, "Reply w/ ann@corp.example - Hi - %s\n" % body)

    def test_long_latin_and_cyrillic_texts_go_in_three_parts_each(self):
        gw = self.start("pdu")
        # With "Reply w/ ann@corp.example - L - " in front and the line end: 400 and
        # 200 characters.
        latin = "x" * 367
        cyrillic = "\u0434" * 167
        send_mail(gw, "ann@corp.example", "0412345678@gw.example", mail("L", latin))
        self.modem.wait_body(3, WAIT)
        send_mail(gw, "ann@corp.example", "0412345678@gw.example", mail("C", cyrillic))
        units = self.units(6)
        for group, dcs, body, subject in ((units[:3], 0, latin, "L"),
                                          (units[3:], 8, cyrillic, "C")):
            refs = set()
            for k, (_, got_dcs, udh, _) in enumerate(group, 1):
                self.assertEqual(got_dcs, dcs)
                self.assertEqual(len(udh), 5)
                self.assertEqual(udh[:2], b"\x00\x03")
                self.assertEqual((udh[3], udh[4]), (3, k))
                refs.add(udh[2])
            self.assertEqual(len(refs), 1)
            joined = "".join(text for _, _, _, text in group)
            self.assertEqual(joined, "Reply w/ ann@corp.example - %s - %s\n" % (subject, body))
            self.assertEqual(len(joined), 400 if dcs == 0 else 200)
        # The same units read by node-pdu.
        peer = node_pdu([body.decode("latin-1") for _, body in self.modem.sent[:6]])
        self.assertEqual([(t, p) for _, t, p, _ in peer], [("3", str(k)) for k in (1, 2, 3)] * 2)
        self.assertEqual("".join(text for _, _, _, text in peer[:3]),
                         "Reply w/ ann@corp.example - L - %s\n" % latin)
        self.assertEqual("".join(text for _, _, _, text in peer[3:]),
                         "Reply w/ ann@corp.example - C - %s\n" % cyrillic)

    def test_text_mode_hands_a_ucs2_text_to_pdu_mode_for_that_message(self):
        gw = self.start("text")
        send_mail(gw, "ann@corp.example", "0412345678@gw.example", mail("Hi", "\u4f60\u597d"))
        self.modem.wait_body(1, WAIT)
        send_mail(gw, "ann@corp.example", "0412345678@gw.example", mail("Hi", "plain"))
        self.modem.wait_body(2, WAIT)
        (cmd1, unit), (cmd2, text) = self.modem.sent[:2]
        self.assertRegex(cmd1, r"^AT\+CMGS=\d+$")
        self.assertEqual(read_submit(unit.decode("latin-1"))[1], 8)
        self.assertEqual(read_submit(unit.decode("latin-1"))[3],
                         "Reply w/ ann@corp.example - Hi - \u4f60\u597d\n")
        self.assertEqual(cmd2, 'AT+CMGS="+61412345678"')
        self.assertEqual(text, b"Reply w/ ann\x00corp.example - Hi - plain\n")
        i = self.modem.commands.index("AT+CMGF=0", 5)
        self.assertTrue(self.modem.commands[i + 1].startswith("AT+CMGS="))
        self.assertEqual(self.modem.commands[i + 2], "AT+CMGF=1")
        self.assertTrue(any("in PDU mode: it needs UCS-2" in line for line in gw.log()))


class In(ModemCase):
    def test_ucs2_and_at_sign_messages_are_mailed_as_their_utf8_text(self):
        self.modem.store("+447700900123", "bob@corp.example \u041f\u0440\u0438\u0432\u0435\u0442")
        self.modem.store("+447700900124", "@ bob@corp.example starts with an at sign")
        gw = self.start("pdu")
        mails = gw.sink.wait_mails(2, timeout=WAIT)
        bodies = sorted(text_of(m) for m in mails)
        self.assertTrue(any("\u041f\u0440\u0438\u0432\u0435\u0442" in b for b in bodies), bodies)
        self.assertTrue(any("@ bob@corp.example starts with an at sign" in b for b in bodies),
                        bodies)

    def test_three_parts_out_of_order_with_a_duplicate_make_one_mail(self):
        gw = self.start("pdu")
        self.modem.wait_command("AT+CMGL=4", WAIT)
        parts = ["bob@corp.example first part, ", "the second \u00e9, ", "and the last."]
        for k in (3, 1, 3, 2):
            self.modem.deliver("+447700900123", parts[k - 1], udh=bytes([0, 3, 0x5A, 3, k]))
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        self.assertIn("".join(parts), text_of(mails[0]))
        self.assertNotIn("\x05\x00\x03", text_of(mails[0]))
        with self.assertRaises(AssertionError):
            gw.sink.wait_mails(2, timeout=3)

    def test_text_mode_reads_bodies_in_the_gsm_character_set(self):
        self.modem.store("+447700900123", "bob@corp.example Gr\u00fc\u00dfe \u20ac5")
        gw = self.start("text")
        mails = gw.sink.wait_mails(1, timeout=WAIT)
        self.assertEqual(mails[0]["rcpt"], "bob@corp.example")
        self.assertIn("Gr\u00fc\u00dfe \u20ac5", text_of(mails[0]))


if __name__ == "__main__":
    unittest.main()
