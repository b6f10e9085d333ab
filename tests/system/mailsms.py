"""Helpers for the mail-to-SMS system tests: the real gateway on a temporary home,
a robot program that records every SMS, and smtp-sink receiving relayed mail.

Every process started here is stopped by the test's cleanups, also when the test
fails. Ports are free loopback ports; every wait has a deadline.
"""

import base64
import getpass
import glob
import hashlib
import json
import os
import random
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import tempfile
import time

BIN = os.environ.get("TOLVANE_BIN", "")

# The robot: reads exactly SMS_LENGTH bytes (the UTF-8 text), appends one JSON line per
# attempt, and answers SUCCESS unless a file named "fail" lies beside it (its content
# is the answer). "eof" records whether standard input was closed behind the text.
ROBOT = r'''#!/usr/bin/python3 -S
import os, sys, json
n = int(os.environ.get("SMS_LENGTH", "0"))
data = b""
while len(data) < n:
    chunk = os.read(0, n - len(data))
    if not chunk:
        break
    data += chunk
here = os.path.dirname(os.path.abspath(__file__))
fail = os.path.join(here, "fail")
answer = "SUCCESS"
if os.path.exists(fail):
    with open(fail) as f:
        answer = f.read().strip() or "FAILED"
rec = {"from": os.environ.get("SMS_FROM"), "to": os.environ.get("SMS_TO"),
       "text": data.decode("utf-8", "replace"), "answer": answer}
# What else the robot was told, line for line beside sms.jsonl. Written first: a test
# that sees the attempt in sms.jsonl then finds its line here too.
meta = {"hex": data.hex(), "coding": os.environ.get("SMS_CODING"),
        "parts": os.environ.get("SMS_PARTS"), "length": os.environ.get("SMS_LENGTH"),
        "eof": os.read(0, 1) == b""}
for name, r in (("sms-meta.jsonl", meta), ("sms.jsonl", rec)):
    fd = os.open(os.path.join(here, name), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    os.write(fd, (json.dumps(r) + "\n").encode())
    os.close(fd)
sys.stdout.write(answer + "\n")
sys.stdout.flush()
'''

# A lighter robot for load: records only the addresses and always answers SUCCESS.
FAST_ROBOT = r'''#!/bin/sh
head -c "$SMS_LENGTH" > /dev/null
printf '{"from": "%s", "to": "%s", "text": "", "answer": "SUCCESS"}\n' "$SMS_FROM" "$SMS_TO" >> "${0%/*}/sms.jsonl"
echo SUCCESS
'''


# Ports handed to a gateway are taken from below the system's range for outgoing
# connections: a port the kernel picks (bind to port 0) is free only until some client
# of a test running beside this one is given it for its own end of a connection, and a
# gateway told that port then fails to listen while the test talks to someone else.
PORT_RANGE = (12000, 32000)


def free_port():
    """A TCP port, outside the range clients are given, that was free a moment ago."""
    low, high = PORT_RANGE
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            first = int(f.read().split()[0])
        high = min(high, first)
    except (OSError, ValueError, IndexError):
        pass
    rng = random.SystemRandom()
    for _ in range(200):
        port = rng.randrange(low, high)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(cond, timeout=10.0, step=0.02, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(step)


def _stop_process(p, grace=8.0):
    if p.poll() is None:
        try:
            p.send_signal(signal.SIGTERM)
            p.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(timeout=5)


def _address_arg(args):
    """The address of a MAIL FROM or RCPT TO argument, without its parameters."""
    m = re.match(r"\s*<([^>]*)>", args)
    return m.group(1) if m else args.strip("<>")


class Sink:
    """smtp-sink on a free loopback port, dumping each mail into its own file."""

    def __init__(self, test, directory, extra_args=()):
        self.dir = os.path.join(directory, "sink")
        os.makedirs(self.dir, exist_ok=True)
        self.port = free_port()
        args = ["smtp-sink", "-u", getpass.getuser(), "-d", self.dir + "/%H%M%S.", *extra_args,
                "127.0.0.1:%d" % self.port, "100"]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        test.addCleanup(_stop_process, self.proc, 3.0)
        wait_for(self._listening, what="smtp-sink to listen")

    def _listening(self):
        if self.proc.poll() is not None:
            raise AssertionError("smtp-sink ended at start")
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                s.recv(100)
            return True
        except OSError:
            return False

    def _files(self):
        return sorted(glob.glob(os.path.join(self.dir, "*")), key=os.path.getmtime)

    def mails(self):
        """Complete mails so far: dicts with sender, rcpt, headers (list of pairs), body."""
        out = []
        for path in self._files():
            with open(path, "rb") as f:
                raw = f.read().decode("latin-1")
            if not raw.endswith("\n"):
                continue
            head, _, body = raw.replace("\r\n", "\n").partition("\n\n")
            headers = []
            for line in head.split("\n"):
                if line[:1] in (" ", "\t") and headers:
                    headers[-1] = (headers[-1][0], headers[-1][1] + " " + line.strip())
                elif ":" in line:
                    k, v = line.split(":", 1)
                    headers.append((k, v.strip()))
            h = dict(headers)
            out.append({"sender": _address_arg(h.get("X-Mail-Args", "")),
                        "rcpt": _address_arg(h.get("X-Rcpt-Args", "")),
                        "headers": headers, "body": body})
        return out

    def wait_mails(self, n, timeout=10.0):
        def ready():
            m = self.mails()
            if len(m) < n:
                return None
            # smtp-sink writes while the transaction runs: wait until the files settle.
            sizes = [os.path.getsize(p) for p in self._files()]
            time.sleep(0.05)
            if sizes != [os.path.getsize(p) for p in self._files()]:
                return None
            return self.mails()
        return wait_for(ready, timeout, what="%d relayed mails" % n)


class Gateway:
    """The real gateway on a temporary home with free ports and the recording robot."""

    def __init__(self, test, settings=(), sink=None, start=True, fast_robot=False):
        if not BIN or not os.access(BIN, os.X_OK):
            test.skipTest("TOLVANE_BIN is not set to the built gateway")
        self.test = test
        self.home = tempfile.mkdtemp(prefix="tv-mail-")
        test.addCleanup(shutil.rmtree, self.home, True)
        self.work = os.path.join(self.home, "work")
        self.port = free_port()
        self.robot = os.path.join(self.home, "robot.py")
        with open(self.robot, "w") as f:
            f.write(FAST_ROBOT if fast_robot else ROBOT)
        os.chmod(self.robot, 0o755)
        self.sink = sink if sink is not None else Sink(test, self.home)
        base = [
            ("home", self.home), ("workpath", self.work), ("logpath", self.home),
            ("smtp_inport", str(self.port)), ("web_port", str(free_port())),
            ("web_https", "false"), ("delivery_mode", "robot"), ("send_mode", "robot"),
            ("recv_mode", "none"), ("robot_cmd", self.robot),
            ("smtp_outserver", "127.0.0.1"), ("smtp_outport", str(self.sink.port)),
            ("smtp_debug_file", "disabled"),
            # The HTTP API only where a test asks for it (its default port is one for all).
            ("api_port", "0"),
            # The tests read debug lines; the gateway's own default is info.
            ("loglevel", "debug"),
        ]
        given = dict(settings) if not isinstance(settings, dict) else settings
        # Ports this harness chose (and may choose again when another process took one).
        self._own_ports = {k for k in ("smtp_inport", "web_port") if k not in given}
        lines = [(k, v) for k, v in base if k not in given]
        lines += list(settings.items()) if isinstance(settings, dict) else list(settings)
        self.ini = os.path.join(self.home, "tolvane.ini")
        with open(self.ini, "w") as f:
            for k, v in lines:
                f.write("%s %s\n" % (k, v))
        self.proc = None
        if start:
            self.start()

    def start(self):
        for attempt in range(3):
            self.out = open(os.path.join(self.home, "stdout.txt"), "wb")
            self.test.addCleanup(self.out.close)
            self.proc = subprocess.Popen([BIN, "-config", self.ini, "-foreground"],
                                         stdout=self.out, stderr=subprocess.STDOUT, cwd=self.home)
            self.test.addCleanup(self.stop)
            try:
                wait_for(self._listening, 15, what="the gateway to listen")
                return
            except AssertionError as e:
                # A port chosen free can be taken by another process before the gateway
                # binds it: that start is tried again on another port, nothing else is.
                if attempt == 2 or not self._new_port_for(str(e)):
                    raise
                self.proc = None

    def _new_port_for(self, failure):
        if "Address already in use" not in failure:
            return False
        if "Failed to init smtp" in failure:
            key = "smtp_inport"
        elif "command channel" in failure:
            key = "web_port"
        else:
            return False
        if key not in self._own_ports:
            return False
        port = free_port()
        if key == "smtp_inport":
            self.port = port
        with open(self.ini) as f:
            text = f.read()
        with open(self.ini, "w") as f:
            f.write(re.sub(r"(?m)^%s .*$" % key, "%s %d" % (key, port), text))
        return True

    def _listening(self):
        if self.proc.poll() is not None:
            with open(os.path.join(self.home, "stdout.txt"), "rb") as f:
                raise AssertionError("gateway ended at start: " + f.read().decode("latin-1"))
        # Our own listener, not whatever else answers on the port.
        if not any("SMTP listening on" in l and l.endswith("port %d" % self.port)
                   for l in self.log()):
            return False
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                s.settimeout(2)
                s.recv(100)
            return True
        except OSError:
            return False

    def stop(self):
        if self.proc is not None:
            _stop_process(self.proc)
            self.status = self.proc.returncode
            self.proc = None
            self.out.flush()
            with open(os.path.join(self.home, "stdout.txt"), "rb") as f:
                text = f.read().decode("latin-1")
            # A sanitizer build reports faults and leaks on its output at exit.
            if "Sanitizer" in text or "runtime error:" in text:
                raise AssertionError("the gateway reported a fault:\n" + text[-4000:])

    # ---- what the gateway did ----
    def fail_robot(self, answer="FAILED no signal"):
        with open(os.path.join(self.home, "fail"), "w") as f:
            f.write(answer + "\n")

    def attempts(self):
        path = os.path.join(self.home, "sms.jsonl")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(l) for l in f if l.strip()]

    def meta(self):
        """What each attempt's robot was told besides the text (sms-meta.jsonl)."""
        path = os.path.join(self.home, "sms-meta.jsonl")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(l) for l in f if l.strip()]

    def sms(self):
        return [a for a in self.attempts() if a["answer"].upper().startswith("SUCCESS")]

    def wait_attempts(self, n, timeout=10.0):
        return wait_for(lambda: len(self.attempts()) >= n and self.attempts(), timeout,
                        what="%d SMS attempts" % n)

    def log(self):
        path = os.path.join(self.home, "tolvane.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            lines = f.read().decode("latin-1").splitlines()
        return [re.sub(r"^.{16} \[\d+\]\[\d+\] \w+: ", "", l) for l in lines]

    def wait_log(self, text, timeout=10.0):
        def seen():
            if any(text in l for l in self.log()):
                return True
            if self.proc is not None and self.proc.poll() is not None:
                raise AssertionError("the gateway ended (status %s) before logging %r:\n%s"
                                     % (self.proc.returncode, text, self._story()))
            return False
        try:
            return wait_for(seen, timeout, what="log line " + repr(text))
        except AssertionError as e:
            if "timed out" not in str(e):
                raise
            raise AssertionError("%s; the log ends:\n%s" % (e, self._story())) from None

    def _story(self):
        """The end of the log and of the gateway's output, for a failure message."""
        out = ""
        try:
            with open(os.path.join(self.home, "stdout.txt"), "rb") as f:
                out = f.read().decode("latin-1")[-2000:]
        except OSError:
            pass
        return "\n".join(self.log()[-40:]) + ("\n-- output:\n" + out if out else "")

    def file(self, name):
        path = os.path.join(self.work, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read().decode("latin-1")

    def wait_file(self, name, content, timeout=10.0):
        """Waits until a data file holds exactly content (counts are added just after
        the record line is written, so a record alone does not mean they are there)."""
        return wait_for(lambda: self.file(name) == content, timeout,
                        what="%s to hold %r (it holds %r)" % (name, content, self.file(name)))

    def day_files(self, kind):
        """The text of every day's file of a kind ("rec", "log"), oldest day first: a test
        that runs across midnight finds its lines in two of them. None when there is none."""
        days = sorted(glob.glob(os.path.join(self.work, "[0-9]" * 8 + "." + kind)))
        if not days:
            return None
        return "".join(self.file(os.path.basename(d)) or "" for d in days)

    def records(self):
        text = self.day_files("rec")
        return text.splitlines() if text else []

    def wait_records(self, n, timeout=10.0):
        return wait_for(lambda: len(self.records()) >= n and self.records(), timeout,
                        what="%d records" % n)

    def spool_files(self):
        return glob.glob(os.path.join(self.work, "*.msg"))


def small_tmpfs(test, size="768k"):
    """A tmpfs of the given size mounted for the test (unmounted by its cleanups); the
    test is skipped where mounting needs a root the run does not have. The default is
    smaller than one chunk of the zeros the queue journal writes ahead of its records
    (1 MiB), so that the journal has no such room and a full disk refuses its records."""
    mnt = tempfile.mkdtemp(prefix="tv-tmpfs-")
    test.addCleanup(os.rmdir, mnt)
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", mnt],
                       capture_output=True, text=True)
    if r.returncode != 0:
        test.skipTest("cannot mount a small tmpfs (needs root): " + r.stderr.strip())
    test.addCleanup(subprocess.run, ["umount", "-l", mnt])
    return mnt


def fill_disk(path):
    """Writes the file until its file system is full."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        while os.write(fd, b"\0" * 4096) > 0:
            pass
    except OSError:
        pass
    finally:
        os.close(fd)


def send_mail(gw, sender, rcpt, data, timeout=60):
    """One mail to one recipient through the gateway's listener with smtplib."""
    s = smtplib.SMTP("127.0.0.1", gw.port, timeout=timeout)
    try:
        s.helo("client.example")
        return s.sendmail(sender, [rcpt], data)
    finally:
        try:
            s.quit()
        except smtplib.SMTPException:
            pass


class Client:
    """A raw line client: the test plays the mail program command by command."""

    def __init__(self, test, port, timeout=10.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        test.addCleanup(self.close)
        self.buf = b""

    def line(self):
        while b"\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                if self.buf:
                    break
                return None
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        return line.rstrip(b"\r").decode("latin-1")

    def send(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")

    def ask(self, text):
        self.send(text)
        return self.line()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


# SMTP AUTH users and swaks dialogues, shared by the AUTH, TLS and user-limit tests.
def ssha(password):
    salt = os.urandom(4)
    digest = hashlib.sha1(password.encode() + salt).digest()
    return "{ssha}" + base64.b64encode(digest + salt).decode().rstrip("=")


def swaks(port, *extra):
    r = subprocess.run(["swaks", "--server", "127.0.0.1", "--port", str(port), "--from",
                        "a@corp.example", "--to", "0412345678@gw", "--helo", "client.example",
                        "--body", "hello", *extra],
                       capture_output=True, text=True, timeout=30)
    return r.stdout + r.stderr


def replies(transcript):
    return [m.group(1) for m in (re.match(r"^\s*<[-*~]+\s+(.*)$", l)
                                 for l in transcript.splitlines()) if m]
