#!/usr/bin/env python3
"""A GSM modem simulator on a pseudo-terminal, for tests and demonstrations.

The simulator owns both ends of a pty; the gateway opens `path` as its serial
port (gsm_com). It answers the AT dialogue like a modem: the set-up queries,
PIN state, text and PDU mode, AT+CSQ, AT+CREG?, AT+CMGS with the "> " prompt and the text
ended by Ctrl-Z, listing (AT+CMGL), reading (AT+CMGR) and deleting (AT+CMGD) of
stored messages, and it announces a delivered message with +CMTI. It records
every command and every sent text. A test can replace any answer with a handler,
or make the modem silent, and can inject lines of its own.

Like a modem that keeps to the standard, it holds +CMTI back while AT+CNMI mode is
0, leaves text entry on ESC with "OK" (an ESC outside text entry is ignored), and
answers "+CPIN: READY" followed by "OK" (ok_after_cpin). It can also misbehave as
real modems do: a line of its own before the "> " prompt (before_prompt), the
typed text echoed in text entry (entry_echo), deletes refused with
"+CMS ERROR: 321" (refuse_deletes), and stored drafts ("STO UNSENT"/"STO SENT").

It can be unplugged and plugged in again, as a USB modem is: unplug() closes the pty
(the gateway's reads fail) and removes the link (link=, a /dev/serial/by-id/ name);
plug() opens a new pty under another name, points the link at it and starts as a
modem just switched on (echo on, no indications, text mode), keeping what it stored.
AT+CFUN=1,1 restarts it the same way on the same pty, after which it answers nothing
for reset_silence seconds.

In a test:

    modem = FakeModem(); self.addCleanup(modem.close)
    ... gsm_com = modem.path ...
    modem.wait_body()            # the text of the first AT+CMGS
    modem.deliver("+447700900123", "hello")

By hand (for a demonstration gateway):

    python3 tests/peers/fake_modem.py [--link /tmp/tolvane-modem]

prints the device path, shows the dialogue, and reads commands on its input:
"sms NUMBER TEXT" delivers a message, "list" shows what is stored, "unplug" and
"plug" take the device away and bring it back under a new name, "quit" ends.
"""

import argparse
import os
import select
import sys
import threading
import time
import tty

CTRL_Z = b"\x1a"
ESC = b"\x1b"

# GSM default alphabet as ISO 8859-1 (enough for the demonstration and the tests:
# Greek capitals are shown as "?").
_ALPHABET = ("@\xa3$\xa5\xe8\xe9\xf9\xec\xf2\xc7\n\xd8\xf8\r\xc5\xe5"
             "?_?????????\x1b\xc6\xe6\xdf\xc9"
             " !\"#\xa4%&'()*+,-./0123456789:;<=>?"
             "\xa1ABCDEFGHIJKLMNOPQRSTUVWXYZ\xc4\xd6\xd1\xdc\xa7"
             "\xbfabcdefghijklmnopqrstuvwxyz\xe4\xf6\xf1\xfc\xe0")
_EXTENSION = {10: "\f", 20: "^", 40: "{", 41: "}", 47: "\\", 60: "[", 61: "~", 62: "]",
              64: "|", 101: "\u20ac"}
_TO_SEPTET = {c: i for i, c in enumerate(_ALPHABET) if c not in "?\x1b"}
_TO_SEPTET["?"] = 63
_TO_EXT = {c: i for i, c in _EXTENSION.items()}


def _swap(digits):
    if len(digits) % 2:
        digits += "F"
    return "".join(digits[i + 1] + digits[i] for i in range(0, len(digits), 2))


def _unswap(semi):
    out = "".join(semi[i + 1] + semi[i] for i in range(0, len(semi), 2))
    return out[:-1] if out.endswith(("F", "f")) else out


def pack7(text):
    """Septets of text (escape pairs for extension characters), packed: (count, hex)."""
    septets = []
    for ch in text:
        if ch in _TO_EXT:
            septets += [27, _TO_EXT[ch]]
        else:
            septets.append(_TO_SEPTET.get(ch, 63))
    acc = bits = 0
    out = []
    for s in septets:
        acc |= s << bits
        bits += 7
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
    if bits:
        out.append(acc & 0xFF)
    return len(septets), "".join("%02X" % b for b in out)


def unpack7(count, data, skip=0):
    """Text of count septets packed in the bytes data, the first skip left out."""
    acc = bits = 0
    septets = []
    it = iter(data)
    while len(septets) < count:
        while bits < 7:
            acc |= next(it, 0) << bits
            bits += 8
        septets.append(acc & 0x7F)
        acc >>= 7
        bits -= 7
    return septets_text(septets[skip:])


def septets_text(septets):
    """Text of septet codes (ESC selects the extension table)."""
    out, esc = [], False
    for s in septets:
        if esc:
            out.append(_EXTENSION.get(s, " "))
            esc = False
        elif s == 27:
            esc = True
        else:
            out.append(_ALPHABET[s])
    return "".join(out)


def septets(text):
    """The septet codes of text (ESC pairs for extension characters); None when a
    character is not in the default alphabet."""
    out = []
    for ch in text:
        if ch in _TO_EXT:
            out += [27, _TO_EXT[ch]]
        elif ch in _TO_SEPTET:
            out.append(_TO_SEPTET[ch])
        else:
            return None
    return out


def _pack(codes, fill=0):
    acc, bits, out = 0, fill, []
    for s in codes:
        acc |= s << bits
        bits += 7
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
    if bits:
        out.append(acc & 0xFF)
    return bytes(out)


def deliver_pdu(sender, text, sca="+447700000000", stamp="62218001000080", udh=b""):
    """An SMS-DELIVER unit (service-centre part included): the default alphabet when
    every character is in it, else UCS-2; udh (bytes without its length octet) makes
    it one part of a long SMS."""
    sca_digits = sca.lstrip("+")
    sca_part = "%02X%s%s" % (1 + (len(sca_digits) + 1) // 2, "91" if sca.startswith("+") else "81",
                             _swap(sca_digits))
    digits = sender.lstrip("+")
    oa = "%02X%s%s" % (len(digits), "91" if sender.startswith("+") else "81", _swap(digits))
    header = bytes([len(udh)]) + udh if udh else b""
    codes = septets(text)
    if codes is not None:
        fill = (7 - (len(header) * 8) % 7) % 7
        skip = (len(header) * 8 + fill) // 7
        # The header octets come first; the septets start behind the fill bits.
        packed = _pack([0] * skip + codes)
        ud = header + packed[len(header):]
        dcs, udl = 0, skip + len(codes)
    else:
        ud = header + text.encode("utf-16-be")
        dcs, udl = 8, len(ud)
    first = 0x44 if udh else 0x04
    return sca_part + "%02X" % first + oa + "00%02X" % dcs + stamp + "%02X" % udl + ud.hex().upper()


def read_submit(unit):
    """(destination, dcs, header bytes without their length octet, text) of an
    SMS-SUBMIT unit as the gateway writes it."""
    b = bytes.fromhex(unit)
    i = 1 + b[0]  # service-centre part
    first = b[i]
    i += 2  # first octet, message reference
    ndigits, toa = b[i], b[i + 1]
    i += 2
    semi = unit[2 * i:2 * i + ((ndigits + 1) // 2) * 2]
    to = ("+" if toa & 0x90 == 0x90 else "") + _unswap(semi)
    i += (ndigits + 1) // 2
    dcs = b[i + 1]
    i += 2
    if first & 0x10:
        i += 7 if first & 0x08 else 1
    n = b[i]
    data = b[i + 1:]
    udh = b""
    if first & 0x40:
        udh = data[1:1 + data[0]]
    hl = len(udh) + 1 if first & 0x40 else 0
    if dcs == 0:
        skip = (hl * 8 + 6) // 7
        return to, dcs, udh, unpack7(n, data, skip)
    if dcs == 8:
        return to, dcs, udh, data[hl:n].decode("utf-16-be", "replace")
    return to, dcs, udh, data[hl:n].decode("latin-1")


def decode_submit(unit):
    """(destination, text) of an SMS-SUBMIT unit as the gateway writes it."""
    b = bytes.fromhex(unit)
    i = 1 + b[0]  # service-centre part
    first = b[i]
    i += 2  # first octet, message reference
    ndigits, toa = b[i], b[i + 1]
    i += 2
    semi = unit[2 * i:2 * i + ((ndigits + 1) // 2) * 2]
    to = ("+" if toa & 0x90 == 0x90 else "") + _unswap(semi)
    i += (ndigits + 1) // 2
    dcs = b[i + 1]
    i += 2
    if first & 0x10:
        i += 7 if first & 0x08 else 1
    n = b[i]
    data = b[i + 1:]
    if dcs == 0:
        return to, unpack7(n, data)
    if dcs == 8:
        return to, data[:n].decode("utf-16-be", "replace")
    return to, data[:n].decode("latin-1")


class Stored:
    def __init__(self, index, sender, text, stat="REC UNREAD",
                 stamp="26/12/08,10:00:00+04", udh=b""):
        self.index, self.sender, self.text, self.stat, self.stamp, self.udh = (
            index, sender, text, stat, stamp, udh)

    @property
    def pdu(self):
        return deliver_pdu(self.sender, self.text, udh=self.udh)

    def body(self, cscs):
        """The text as a modem shows it in text mode in the character set cscs."""
        if cscs == "UCS2":
            return self.text.encode("utf-16-be").hex().upper()
        codes = septets(self.text) if cscs == "GSM" else None
        if codes is not None:
            return bytes(codes).decode("latin-1")
        return self.text.encode("latin-1", "replace").decode("latin-1")


class FakeModem:
    """The simulator; every public method is safe to call from any thread."""

    def __init__(self, echo=False, ok_after_cpin=True, signal=20, log=None, link=None):
        self.link = link
        self.path = None
        self._held = []  # pty masters that keep old names from being given again
        self._open_pty()
        self.lock = threading.Condition()
        self.echo = echo
        self.ok_after_cpin = ok_after_cpin
        self.signal = signal
        self.registration = 1  # the stat of AT+CREG? (0-5); None answers ERROR
        self.cpin = "READY"
        self.pdu_mode = False
        self.handler = None  # handler(cmd) -> bytes/str to answer, "" for silence, None
        self.commands = []
        self.bodies = []
        self.stored = []
        self.sent = []  # (the AT+CMGS command, the text) of each message ended by Ctrl-Z
        self.escapes = 0  # text entries ended by ESC
        self.before_prompt = ""  # sent before the next prompt (once)
        self.entry_echo = False
        self.refuse_deletes = 0  # this many deletes are refused
        self.send_delay = 0.0  # seconds from a text's Ctrl-Z to its +CMGS answer
        self.cnmi_mode = 0
        self.cscs = "GSM"
        self.held = []  # +CMTI held back in CNMI mode 0
        self.log = log
        self.resets = 0  # AT+CFUN=1,1 taken
        self.reset_silence = 0.0
        self._silent_until = 0.0
        self._ref = 0
        self._in_body = False
        self._body_cmd = ""
        self._body = b""
        self._line = b""
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    # ---- control ----
    def close(self):
        with self.lock:
            self._stop = True
        self._thread.join(timeout=5)
        for fd in [self.master, self.slave] + self._held:
            if fd >= 0:
                try:
                    os.close(fd)
                except OSError:
                    pass
        self.master = self.slave = -1
        self._held = []
        if self.link:
            try:
                os.unlink(self.link)
            except OSError:
                pass

    def unplug(self):
        """The device goes away: its pty is closed and its link removed."""
        self.close()

    def plug(self):
        """The device comes back under a new name (the link follows it), as a modem
        just switched on; what it stored is kept."""
        with self.lock:
            self._open_pty()
            self._restarted()
            self._line = b""
            self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _open_pty(self):
        while True:
            master, slave = os.openpty()
            path = os.ttyname(slave)
            if path != self.path:
                break
            # That name is free again: it is taken by a pty whose other side stays
            # locked, so that the device gets another one, as a replugged one does.
            os.close(master)
            os.close(slave)
            self._held.append(os.open("/dev/ptmx", os.O_RDWR | os.O_NOCTTY))
        tty.setraw(slave)
        tty.setraw(master)
        os.set_blocking(master, False)
        self.master, self.slave, self.path = master, slave, path
        if self.link:
            tmp = self.link + ".new"
            try:
                os.unlink(tmp)
            except FileNotFoundError:
                pass
            os.symlink(path, tmp)
            os.replace(tmp, self.link)

    def _restarted(self):
        """The state of a modem just switched on."""
        self.echo = True
        self.pdu_mode = False
        self.cnmi_mode = 0
        self._in_body = False
        self._body = b""

    def inject(self, data):
        with self.lock:
            self._send(data)

    def store(self, sender, text, stat="REC UNREAD", udh=b""):
        """Adds a message to the modem's memory (stat "STO UNSENT" for a draft; udh
        makes it one part of a long SMS, in PDU mode)."""
        with self.lock:
            index = max([s.index for s in self.stored] + [0]) + 1
            self.stored.append(Stored(index, sender, text, stat, udh=udh))
            return index

    def deliver(self, sender, text, udh=b""):
        """Stores a message and announces it with +CMTI; returns its index."""
        index = self.store(sender, text, udh=udh)
        with self.lock:
            cmti = '\r\n+CMTI: "SM",%d\r\n' % index
            if self.cnmi_mode == 0:
                self.held.append(cmti)
            else:
                self._send(cmti)
        return index

    def wait_for(self, cond, timeout=30.0, what="the modem"):
        end = time.monotonic() + timeout
        with self.lock:
            while True:
                v = cond()
                if v:
                    return v
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError("timed out waiting for %s; commands: %r"
                                         % (what, self.commands))
                self.lock.wait(min(left, 0.2))

    def wait_command(self, prefix, timeout=30.0):
        return self.wait_for(lambda: next((c for c in self.commands if c.startswith(prefix)),
                                          None), timeout, "a command %r" % prefix)

    def wait_body(self, n=1, timeout=30.0):
        """The n-th text sent after a prompt (bytes as written, Ctrl-Z removed)."""
        return self.wait_for(lambda: len(self.bodies) >= n and self.bodies[n - 1], timeout,
                             "%d sent texts" % n)

    # ---- the line ----
    def _say(self, what, data):
        if self.log:
            self.log("%s %r" % (what, data))

    def _send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        self._say("<<", data)
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.master, view)
                view = view[n:]
            except BlockingIOError:
                select.select([], [self.master], [], 0.1)
            except OSError:
                return

    def _run(self):
        while True:
            with self.lock:
                if self._stop:
                    return
            try:
                r, _, _ = select.select([self.master], [], [], 0.05)
            except (OSError, ValueError):
                return
            if not r:
                continue
            try:
                data = os.read(self.master, 4096)
            except BlockingIOError:
                continue
            except OSError:
                time.sleep(0.05)
                continue
            with self.lock:
                self._say(">>", data)
                for byte in data:
                    self._take(bytes([byte]))
                self.lock.notify_all()

    def _take(self, c):
        if self._in_body:
            if c in (CTRL_Z, ESC):
                self._in_body = False
                self.bodies.append(self._body)
                if c == CTRL_Z:
                    self.sent.append((self._body_cmd, self._body))
                else:
                    self.escapes += 1
                self._body = b""
                if c == CTRL_Z:
                    self._ref = (self._ref + 1) % 256
                    answer = "\r\n+CMGS: %d\r\n\r\nOK\r\n" % self._ref
                    if self.send_delay > 0:
                        # A network that takes its time: the answer comes later, and the
                        # modem reads on meanwhile (as a real one buffers the line).
                        def late(answer=answer):
                            with self.lock:
                                if not self._stop:
                                    self._reply("AT+CMGS-END", answer)
                        t = threading.Timer(self.send_delay, late)
                        t.daemon = True
                        t.start()
                    else:
                        self._reply("AT+CMGS-END", answer)
                else:
                    self._send("\r\nOK\r\n")
            else:
                self._body += c
                if self.entry_echo:
                    self._send(b"\r\n> " if c == b"\r" else c)
            return
        if c in (b"\n", ESC):  # an ESC outside text entry is ignored
            return
        if c != b"\r":
            self._line += c
            return
        cmd = self._line.decode("latin-1")
        self._line = b""
        self.commands.append(cmd)
        if time.monotonic() < self._silent_until:  # restarting
            return
        if self.echo:
            self._send(cmd + "\r")
        self._reply(cmd, None)

    def _reply(self, cmd, default):
        if self.handler is not None:
            r = self.handler(cmd)
            if r is not None:
                if r:
                    self._send(r)
                if cmd.startswith("AT+CMGS=") and "> " in (r if isinstance(r, str) else
                                                           r.decode("latin-1")):
                    self._in_body = True
                    self._body_cmd = cmd
                return
        self._send(default if default is not None else self._answer(cmd))

    def _find(self, index):
        return next((s for s in self.stored if s.index == index), None)

    def _answer(self, cmd):
        ok = "\r\nOK\r\n"
        fixed = {
            "AT": ok, "ATZ": ok, "ATH0": ok,
            "ATS3?": "\r\n013\r\n" + ok, "ATS4?": "\r\n010\r\n" + ok,
            "AT+CMEE=?": "\r\n+CMEE: (0-2)\r\n" + ok,
            "AT+CBST=?": "\r\n+CBST: (0-7,12,14,65,66,68,70,71,75),(0),(0-2)\r\n" + ok,
            "AT+CSMS=?": "\r\n+CSMS: (0,1)\r\n" + ok, "AT+CSMS=0": "\r\n+CSMS: 1,1,1\r\n" + ok,
            "AT+CSCS=?": '\r\n+CSCS: ("GSM","IRA","8859-1","UCS2")\r\n' + ok,
            "AT+CSCA?": '\r\n+CSCA: "+447700000000",145\r\n' + ok,
            "AT+CMGF=?": "\r\n+CMGF: (0,1)\r\n" + ok,
            "AT+CNMI=?": "\r\n+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)\r\n" + ok,
            "AT+CSQ=?": "\r\n+CSQ: (0-31,99),(0-7,99)\r\n" + ok,
            "AT+CSDH=?": "\r\n+CSDH: (0,1)\r\n" + ok,
        }
        if cmd in fixed:
            return fixed[cmd]
        if cmd == "ATE0":
            self.echo = False
            return ok
        if cmd == "AT+CFUN=1,1":
            self.resets += 1
            self._restarted()
            self._silent_until = time.monotonic() + self.reset_silence
            return ok
        if cmd == "AT+CPIN?":
            return "\r\n+CPIN: %s\r\n%s" % (self.cpin, ok if self.ok_after_cpin else "")
        if cmd.startswith(("AT+CPIN=", "AT+CPIN2=")):
            self.cpin = "READY"
            return ok
        if cmd in ("AT+CMGF=0", "AT+CMGF=1"):
            self.pdu_mode = cmd.endswith("0")
            return ok
        if cmd == "AT+CSQ":
            return "\r\n+CSQ: %d,99\r\n%s" % (self.signal, ok)
        if cmd == "AT+CREG?":
            if self.registration is None:
                return "\r\nERROR\r\n"
            return "\r\n+CREG: 0,%d\r\n%s" % (self.registration, ok)
        if cmd.startswith("AT+CMGS="):
            self._in_body = True
            self._body_cmd = cmd
            before, self.before_prompt = self.before_prompt, ""
            return before + "\r\n> "
        if cmd.startswith("AT+CSCS=\""):
            self.cscs = cmd[9:-1]
            return ok
        if cmd.startswith("AT+CNMI=") and cmd != "AT+CNMI=?":
            try:
                self.cnmi_mode = int(cmd[8:].split(",")[0])
            except ValueError:
                return "\r\nERROR\r\n"
            out = ok
            if self.cnmi_mode != 0:  # held indications are let out
                out += "".join(self.held)
                self.held = []
            return out
        if cmd.startswith("AT+CMGL="):
            out = ""
            stat = cmd[8:].strip('"')
            for s in self.stored:
                if not self.pdu_mode and stat not in ("ALL", s.stat):
                    continue
                if self.pdu_mode:
                    unit = s.pdu
                    tpdu = len(unit) // 2 - 1 - int(unit[:2], 16)
                    out += "\r\n+CMGL: %d,%d,,%d\r\n%s" % (s.index, 0, tpdu, unit)
                else:
                    body = s.body(self.cscs)
                    out += '\r\n+CMGL: %d,"%s","%s",,"%s",145,%d\r\n%s' % (
                        s.index, s.stat, s.sender, s.stamp, len(body), body)
            return out + "\r\n" + ok
        if cmd.startswith(("AT+CMGR=", "AT+CMGD=")):
            try:
                s = self._find(int(cmd[8:]))
            except ValueError:
                s = None
            if s is None:
                return "\r\n+CMS ERROR: 321\r\n"
            if cmd.startswith("AT+CMGD="):
                if self.refuse_deletes > 0:
                    self.refuse_deletes -= 1
                    return "\r\n+CMS ERROR: 321\r\n"
                self.stored.remove(s)
                return ok
            if self.pdu_mode:
                unit = s.pdu
                tpdu = len(unit) // 2 - 1 - int(unit[:2], 16)
                return "\r\n+CMGR: 0,,%d\r\n%s\r\n%s" % (tpdu, unit, ok)
            body = s.body(self.cscs)
            return '\r\n+CMGR: "%s","%s",,"%s",145,4,0,0,"+447700000000",145,%d\r\n%s\r\n%s' % (
                s.stat, s.sender, s.stamp, len(body), body, ok)
        if cmd.startswith("AT+"):
            return ok
        return "\r\nERROR\r\n"


def main():
    ap = argparse.ArgumentParser(description="GSM modem simulator on a pseudo-terminal")
    ap.add_argument("--link", help="also make this path a symbolic link to the device")
    ap.add_argument("--quiet", action="store_true", help="do not show the dialogue")
    args = ap.parse_args()

    def show(text):
        print(text, flush=True)

    modem = FakeModem(log=None if args.quiet else show, link=args.link)
    print("fake modem on %s%s" % (modem.path, " (%s)" % args.link if args.link else ""),
          flush=True)
    print('commands: "sms NUMBER TEXT", "list", "unplug", "plug", "quit"', flush=True)
    try:
        for line in sys.stdin:
            words = line.strip().split(" ", 2)
            if not words or not words[0]:
                continue
            if words[0] == "quit":
                break
            if words[0] == "unplug":
                modem.unplug()
                print("unplugged", flush=True)
            elif words[0] == "plug":
                modem.plug()
                print("plugged in as %s" % modem.path, flush=True)
            elif words[0] == "sms" and len(words) == 3:
                print("delivered as index %d" % modem.deliver(words[1], words[2]), flush=True)
            elif words[0] == "list":
                with modem.lock:
                    for s in modem.stored:
                        print("%d %s %s" % (s.index, s.sender, s.text), flush=True)
                    for b in modem.bodies:
                        text = b.decode("latin-1")
                        if modem.pdu_mode:
                            text = "%s: %s" % decode_submit(text)
                        print("sent: %s" % text, flush=True)
            else:
                print("?", flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        modem.close()


if __name__ == "__main__":
    main()
