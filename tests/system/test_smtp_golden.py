"""The SMTP dialogue as golden transcripts: each tests/golden/smtp/NAME.in is a client's
side of one connection, NAME.ref the whole exchange the real gateway must give, and the
SMS the mails became.

NAME.in: lines starting with "! " set the gateway up ("! key value" is a setting,
"! user NAME PASSWORD" a line of the smtp_users file); every other line is sent as it is,
with CR LF. After a command line the reply is read (all its lines); inside DATA, after a
354, lines are sent without waiting until the lone ".". A reply that closes the
connection (421, the 221 to QUIT) ends the script: its rest must be empty. A script
that ends otherwise shows whether the gateway hung up by itself within a second.

NAME.ref: "C: " client lines, "S: " reply lines, "S: [closed]" when the gateway closed the
connection, then "SMS: <to> <text>" for every SMS sent (sorted: workers send in any
order). The machine's name in the EHLO reply reads "<host>".

TOLVANE_GOLDEN_UPDATE=1 writes the .ref files from what the gateway says (to be read
before they are committed).
"""

import glob
import os
import re
import socket
import subprocess
import tempfile
import unittest

from mailsms import BIN, Gateway, ssha, wait_for

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "golden", "smtp")
UPDATE = os.environ.get("TOLVANE_GOLDEN_UPDATE") == "1"
TIMEOUT = 15.0


def parse_script(path):
    settings, users, lines = {"phone_country": "+61"}, [], []
    with open(path, encoding="utf-8") as f:
        for raw in f.read().split("\n")[:-1]:
            if raw.startswith("! user "):
                _, _, name, password = raw.split(" ", 3)
                users.append((name, password))
            elif raw.startswith("! "):
                key, _, value = raw[2:].partition(" ")
                settings[key] = value
            else:
                lines.append(raw)
    return settings, users, lines


class Connection:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.file = self.sock.makefile("rb")
        self.closed = False

    def reply(self):
        """One whole reply (its lines); ["[closed]"] when the gateway hung up instead."""
        out = []
        while True:
            line = self.file.readline()
            if not line:
                self.closed = True
                return out + ["[closed]"]
            text = line.decode("utf-8", "replace").rstrip("\r\n")
            out.append(text)
            if len(text) < 4 or text[3] != "-":
                return out

    def send(self, line):
        self.sock.sendall(line.encode("utf-8") + b"\r\n")

    def rest(self):
        """What the gateway sends until it closes."""
        data = self.file.read()
        self.closed = True
        return data.decode("utf-8", "replace")

    def close(self):
        self.file.close()
        self.sock.close()


def normalise(line):
    return re.sub(r"^(250[- ])\S+( Hello )", r"\1<host>\2", line)


def run_script(test, name):
    settings, users, lines = parse_script(os.path.join(GOLDEN, name + ".in"))
    if users:
        home = tempfile.mkdtemp(prefix="tv-golden-")
        test.addCleanup(__import__("shutil").rmtree, home, True)
        path = os.path.join(home, "smtp_users")
        with open(path, "w") as f:
            for user, password in users:
                f.write("%s:%s\n" % (user, ssha(password)))
        settings["smtp_users"] = path
    gw = Gateway(test, settings)
    conn = Connection(gw.port)
    test.addCleanup(conn.close)
    transcript = ["S: " + normalise(l) for l in conn.reply()]
    in_data = False
    for line in lines:
        if conn.closed:
            test.fail("%s: the script goes on after the connection closed: %r" % (name, line))
        conn.send(line)
        transcript.append("C: " + line)
        if in_data and line != ".":
            continue
        got = conn.reply()
        transcript += ["S: " + normalise(l) for l in got]
        in_data = got[-1].startswith("354")
        last = got[-1]
        if not conn.closed and (last.startswith("421") or last.startswith("221")):
            rest = conn.rest()
            if rest:
                transcript.append("S: " + rest)
            transcript.append("S: [closed]")
    if not conn.closed:
        # A script that ends without QUIT: whether the gateway hung up by itself.
        conn.sock.settimeout(1.0)
        try:
            rest = conn.rest()
            transcript += (["S: " + rest] if rest else []) + ["S: [closed]"]
        except socket.timeout:
            pass
    # Every mail the gateway took is sent (or failed) before the SMS are listed.
    def queue_empty():
        out = subprocess.run([BIN, "-config", gw.ini, "-queue"], capture_output=True,
                             text=True, timeout=TIMEOUT)
        return "Queue is empty" in out.stdout
    wait_for(queue_empty, TIMEOUT, what="the queue to empty")
    # Sorted: the workers send a mail's SMS in any order.
    transcript += sorted("SMS: %s %s" % (a["to"], a["text"].replace("\n", "\\n"))
                         for a in gw.attempts())
    return transcript


class GoldenSmtp(unittest.TestCase):
    maxDiff = None

    def test_every_transcript(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        names = sorted(os.path.basename(p)[:-3] for p in glob.glob(os.path.join(GOLDEN, "*.in")))
        self.assertTrue(names, "no golden scripts in " + GOLDEN)
        for name in names:
            with self.subTest(script=name):
                got = run_script(self, name)
                ref = os.path.join(GOLDEN, name + ".ref")
                if UPDATE:
                    with open(ref, "w", encoding="utf-8") as f:
                        f.write("\n".join(got) + "\n")
                    continue
                with open(ref, encoding="utf-8") as f:
                    want = f.read().split("\n")[:-1]
                self.assertEqual(got, want, "%s.ref differs (TOLVANE_GOLDEN_UPDATE=1 rewrites it)"
                                 % name)


if __name__ == "__main__":
    unittest.main()
