"""Helpers for system tests that drive the real tolvane binary.

A Gateway owns a temporary home directory and settings file, starts
`tolvane -config FILE -foreground` in it on free loopback ports, and always
stops it (exit file, then SIGTERM, then SIGKILL) when the test ends, also on
failure: register it with `self.addCleanup(gw.close)` or use `gateway(self)`.

    gw = tvtest.gateway(self, extra=["report time=\"07:30\" to=\"1\""])
    gw.start()
    gw.wait_started()
    gw.stop_with_exit_file()

Waiting is always for a condition with a deadline, never a fixed sleep.
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

BIN = os.environ.get("TOLVANE_BIN", "")
SOURCE_DIR = os.environ.get(
    "TOLVANE_SOURCE_DIR",
    os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
DEMO_ROBOT = os.path.join(SOURCE_DIR, "scripts", "demo-robot")

# Generous: sanitizer builds on a busy machine start slowly.
DEADLINE = float(os.environ.get("TOLVANE_TEST_DEADLINE", "20"))


from mailsms import free_port  # noqa: E402  (one choice of ports for every test)


def wait_for(cond, timeout=DEADLINE, interval=0.05, what="condition"):
    """Polls cond() until it returns a true value (returned) or the deadline passes."""
    end = time.monotonic() + timeout
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() >= end:
            raise AssertionError("timed out after %.1fs waiting for %s" % (timeout, what))
        time.sleep(interval)


def run_tool(args, cwd=None, stdin_text=None, binary=None, timeout=DEADLINE):
    """Runs the binary as a command-line tool; returns the CompletedProcess (text mode)."""
    return subprocess.run([binary or BIN] + list(args), cwd=cwd, input=stdin_text,
                          capture_output=True, text=True, timeout=timeout)


class Gateway:
    """One gateway process on a temporary home, settings file and free ports."""

    def __init__(self, extra=None, base=True, home=None):
        self.dir = tempfile.mkdtemp(prefix="tvsys_")
        self.home = home or os.path.join(self.dir, "home")
        os.makedirs(self.home, exist_ok=True)
        self.outbox = os.path.join(self.dir, "outbox")
        self.ini = os.path.join(self.dir, "tolvane.ini")
        self.smtp_port = free_port()
        self.web_port = free_port()
        self.proc = None
        self.out_path = os.path.join(self.dir, "stdout.txt")
        self.lines = []
        if base:
            self.lines += [
                "home %s" % self.home,
                "smtp_inport %d" % self.smtp_port,
                "web_port %d" % self.web_port,
                "web_https false",
                "api_port 0",
                "loglevel debug",
                "delivery_mode robot",
                "recv_mode none",
                "robot_cmd %s %s" % (DEMO_ROBOT, self.outbox),
                "smtp_outserver 127.0.0.1",
                "smtp_outport %d" % free_port(),
            ]
        self.lines += list(extra or [])
        self.write_settings()

    # ---- settings and files ----
    def write_settings(self):
        with open(self.ini, "w") as f:
            f.write("\n".join(self.lines) + "\n")

    def path(self, *parts):
        return os.path.join(self.home, *parts)

    @property
    def log_path(self):
        return self.path("tolvane.log")

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stdout(self):
        try:
            with open(self.out_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def outbox_files(self):
        if not os.path.isdir(self.outbox):
            return []
        return sorted(n for n in os.listdir(self.outbox) if n.endswith(".sms"))

    def read_outbox(self, name):
        with open(os.path.join(self.outbox, name)) as f:
            return f.read()

    # ---- the process ----
    def start(self, args=None, foreground=True, stdin=subprocess.DEVNULL, binary=None, env=None):
        """Starts the gateway; env adds variables to the test's own environment."""
        cmd = [binary or BIN, "-config", self.ini]
        if foreground:
            cmd.append("-foreground")
        cmd += list(args or [])
        self._close_streams()
        self._out = open(self.out_path, "w")
        self.proc = subprocess.Popen(cmd, cwd=self.dir, stdin=stdin, stdout=self._out,
                                     stderr=subprocess.STDOUT,
                                     env=dict(os.environ, **env) if env else None)
        return self.proc

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_log(self, text, timeout=DEADLINE, after=0):
        """Waits until text (a plain string or compiled regex) is in the log past offset after."""
        def found():
            log = self.log()[after:]
            if isinstance(text, re.Pattern):
                return text.search(log)
            return text in log
        try:
            return wait_for(found, timeout, what="log line %r" % (text,))
        except AssertionError:
            raise AssertionError("log line %r not seen; log:\n%s\nstdout:\n%s"
                                 % (text, self.log()[-4000:], self.stdout()[-2000:]))

    def wait_started(self, after=0):
        """Waits until the main loop runs (an exit file made before that is removed)."""
        self.wait_log("Main loop started", after=after)

    def wait_exit(self, timeout=DEADLINE):
        return self.proc.wait(timeout=timeout)

    def stop_with_exit_file(self, timeout=DEADLINE):
        with open(self.path("tolvane.exit"), "w") as f:
            f.write("stop\n")
        return self.wait_exit(timeout)

    def signal(self, sig):
        self.proc.send_signal(sig)

    def _close_streams(self):
        out = getattr(self, "_out", None)
        if out is not None:
            out.close()
            self._out = None
        if self.proc is not None and self.proc.stdin is not None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass

    def close(self):
        """Stops the process whatever state it is in, and removes the temporary files."""
        if self.proc is not None and self.proc.poll() is None:
            try:
                self.proc.send_signal(signal.SIGTERM)
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self._close_streams()
        shutil.rmtree(self.dir, ignore_errors=True)


def gateway(test, **kw):
    """A Gateway that the test case stops and removes at its end, also on failure."""
    gw = Gateway(**kw)
    test.addCleanup(gw.close)
    return gw


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie is as good as gone.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ", 1)[1][0] != "Z"
    except (FileNotFoundError, IndexError):
        return False
    return True
