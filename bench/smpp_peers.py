"""Processes for the SMPP load scripts (smpp_load.py, smpp_in_load.py): the counting SMS
centre, the HTTP and SMTP sinks, the gateway and the peer gateway (Debian's kannel
package, run only as a black box beside ours), each started on free loopback ports in
one temporary directory and stopped by stop_all(), which the scripts call on every way
out (normal end, error, Ctrl-C, SIGTERM).

Limits: Linux only (reads /proc for CPU seconds and peak memory); the peer's processes
run as the calling user (root here: the package's programs do not refuse it).
"""

import atexit
import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PEERS = os.path.join(ROOT, "tests", "peers")
WAIT = 120.0

_started = []  # every Proc, stopped in reverse order by stop_all()


def log(text):
    print(text, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc=None, timeout=WAIT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if proc is not None and proc.popen.poll() is not None:
            raise RuntimeError("%s ended (exit %s) before listening on %d:\n%s"
                               % (proc.name, proc.popen.returncode, port, proc.tail()))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on port %d" % port)


def now_ms():
    return time.time() * 1000.0


class Proc:
    """A started program: its own process group, output to a file (or a pipe for the
    JSON peers), stopped by SIGTERM and, if it lingers, SIGKILL to its group."""

    def __init__(self, name, argv, workdir, pipe=False, env=None):
        self.name = name
        self.out_path = os.path.join(workdir, name + ".out")
        self._out = open(self.out_path, "wb")
        self.popen = subprocess.Popen(
            argv, cwd=workdir, start_new_session=True, env=env,
            stdin=subprocess.PIPE if pipe else subprocess.DEVNULL,
            stdout=subprocess.PIPE if pipe else self._out, stderr=self._out)
        _started.append(self)

    @property
    def pid(self):
        return self.popen.pid

    def tail(self, n=2000):
        try:
            with open(self.out_path, "rb") as f:
                return f.read()[-n:].decode("utf-8", "replace")
        except OSError:
            return ""

    def usage(self):
        """(CPU seconds user+system, peak resident KiB) while the process is alive."""
        tck = os.sysconf("SC_CLK_TCK")
        with open("/proc/%d/stat" % self.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / tck
        hwm = 0
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    hwm = int(line.split()[1])
        return cpu, hwm

    def stop(self, grace=10.0):
        if self.popen.poll() is None:
            try:
                self.popen.send_signal(signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.popen.wait(grace)
            except subprocess.TimeoutExpired:
                pass
        # Whatever it left behind in its group goes too.
        try:
            os.killpg(self.popen.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            self.popen.wait(5)
        except subprocess.TimeoutExpired:
            pass
        for f in (self.popen.stdin, self.popen.stdout):
            if f:
                try:
                    f.close()
                except OSError:
                    pass
        self._out.close()
        if self in _started:
            _started.remove(self)


def stop_all():
    while _started:
        _started[-1].stop(grace=5.0)


def _on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def install_cleanup():
    atexit.register(stop_all)
    signal.signal(signal.SIGTERM, _on_signal)
    signal.signal(signal.SIGHUP, _on_signal)


class JsonPeer(Proc):
    """A node peer of tests/peers that prints one JSON event a line and reads commands."""

    def __init__(self, name, script, workdir, args=()):
        super().__init__(name, ["node", os.path.join(PEERS, script)] + list(args), workdir,
                         pipe=True)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.port = self.wait("listening")["port"]

    def _read(self):
        for line in self.popen.stdout:
            try:
                self.events.put(json.loads(line))
            except ValueError:
                pass
        self.events.put({"event": "eof"})

    def command(self, **cmd):
        self.popen.stdin.write((json.dumps(cmd) + "\n").encode())
        self.popen.stdin.flush()

    def wait(self, event, timeout=WAIT, **match):
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise RuntimeError("%s: no %s event within %.0fs" % (self.name, event, timeout))
            try:
                ev = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if ev.get("event") == "eof":
                raise RuntimeError("%s ended:\n%s" % (self.name, self.tail()))
            if ev.get("event") == event and all(ev.get(k) == v for k, v in match.items()):
                return ev

    def ask(self, event, **cmd):
        self.command(**cmd)
        return self.wait(event)


class Smsc(JsonPeer):
    def __init__(self, workdir, port=0, name="smsc"):
        super().__init__(name, "bench_smsc.js", workdir,
                         ["--port", str(port)] if port else [])

    def submits(self, system_id):
        return self.ask("stats", cmd="stats")["submits"].get(system_id, 0)

    def octets(self, system_id):
        return self.ask("stats", cmd="stats")["octets"].get(system_id, 0)


class SmtpSink(Proc):
    """Postfix's smtp-sink with its running counter, read from its output file."""

    def __init__(self, workdir):
        self.port = free_port()
        user = os.environ.get("USER") or "root"
        super().__init__("smtp-sink", ["smtp-sink", "-c", "-u", user,
                                       "127.0.0.1:%d" % self.port, "256"], workdir)
        wait_port(self.port, self)

    def count(self):
        try:
            with open(self.out_path, "rb") as f:
                f.seek(0, os.SEEK_END)
                f.seek(max(0, f.tell() - 200))
                tail = f.read().decode("ascii", "replace")
        except OSError:
            return 0
        marks = [p for p in tail.split("mesg=")[1:] if p[:1].isdigit()]
        if not marks:
            return 0
        digits = ""
        for ch in marks[-1]:
            if not ch.isdigit():
                break
            digits += ch
        return int(digits) if digits else 0

    def wait_count(self, n, timeout=WAIT, watch=()):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if self.count() >= n:
                return now_ms()
            for p in watch:
                if p.popen.poll() is not None:
                    raise RuntimeError("%s ended:\n%s" % (p.name, p.tail()))
            time.sleep(0.005)
        raise RuntimeError("smtp-sink: %d of %d mails within %.0fs" % (self.count(), n, timeout))


class Gateway(Proc):
    """The gateway on a fresh home directory; settings beyond the load's own are defaults."""

    def __init__(self, binary, workdir, name, smsc_port, relay_port, recv_mode="smpp",
                 system_id="tvgw", extra=()):
        self.home = os.path.join(workdir, name)
        os.makedirs(os.path.join(self.home, "work"))
        self.port = free_port()
        self.system_id = system_id
        ini = os.path.join(self.home, "tolvane.ini")
        with open(ini, "w") as f:
            f.write("\n".join([
                "home %s" % self.home, "workpath %s/work" % self.home,
                "logpath %s" % self.home, "loglevel info",
                "smtp_inport %d" % self.port, "web_port %d" % free_port(),
                "web_https false", "delivery_mode smpp", "send_mode smpp",
                "recv_mode %s" % recv_mode, "smpp_host 127.0.0.1",
                "smpp_port %d" % smsc_port, "smpp_user %s" % system_id,
                "smpp_pass secret", "smtp_outserver 127.0.0.1",
                "smtp_outport %d" % relay_port, "smtp_domain gw.example",
                "phone_country +61",
                # One sender sends the whole load: lift the per-sender daily limit.
                'limit name="msgrec" from="1000000000" to="1000000000" period="24"']
                + list(extra)
                # For diagnosis: BENCH_GATEWAY_SETTINGS="send_workers 16;loglevel notice"
                + [x.strip() for x in os.environ.get("BENCH_GATEWAY_SETTINGS", "").split(";")
                   if x.strip()] + [""]))
        # For profiling: BENCH_GATEWAY_WRAP="perf record -g -o /tmp/gw.data --" runs the
        # gateway under that command (its CPU and memory figures are then the wrapper's).
        wrap = os.environ.get("BENCH_GATEWAY_WRAP", "").split()
        super().__init__(name, wrap + [binary, "-config", ini, "-foreground"], self.home)
        wait_port(self.port, self)

    def log_text(self):
        try:
            with open(os.path.join(self.home, "tolvane.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def records(self, kind):
        path = os.path.join(self.home, "work", time.strftime("%Y%m%d") + ".rec")
        try:
            with open(path, errors="replace") as f:
                return sum(1 for line in f if line.startswith(kind))
        except OSError:
            return 0

    def stop(self, grace=30.0):
        if self.popen.poll() is None:
            open(os.path.join(self.home, "tolvane.exit"), "w").close()
            try:
                self.popen.wait(grace)
            except subprocess.TimeoutExpired:
                pass
        super().stop(grace=5.0)


def ensure_tools(binary, build_dir, need_ab=False):
    """Builds the gateway and installs the peers when missing (Debian packages, and the
    node packages of tests/peers through scripts/install-deps)."""
    if not os.access(binary, os.X_OK):
        log("building the gateway in %s" % build_dir)
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True)
        subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "tolvane"],
                       check=True)
    if (not shutil.which("smtp-source") or not shutil.which("node")
            or not os.path.isdir(os.path.join(PEERS, "node_modules", "smpp"))):
        subprocess.run([os.path.join(ROOT, "scripts", "install-deps")], check=True)
    missing = []
    if not shutil.which("bearerbox") or not shutil.which("smsbox"):
        missing.append("kannel")
    if need_ab and not shutil.which("ab"):
        missing.append("apache2-utils")
    if missing:
        log("installing %s" % " ".join(missing))
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends"]
                       + missing, check=True, env=env)
        # Only the programs are wanted: where the package enabled and started its own
        # service, that service is stopped and disabled again.
        if "kannel" in missing and os.path.isdir("/run/systemd/system"):
            subprocess.run(sudo + ["systemctl", "disable", "--now", "kannel"], check=False)


class Kannel:
    """The peer gateway, from the Debian package: bearerbox and smsbox on a settings file
    of its own in the temporary directory, with the package's defaults except what it
    needs to reach the bench SMS centre, to take sendsms requests and to hand received
    SMS to an HTTP address. Started at log level info (-v 1), like the gateway."""

    SYSTEM_ID = "kannel"

    def __init__(self, workdir, smsc_port, get_url=None):
        self.dir = os.path.join(workdir, "kannel-%d" % int(time.monotonic() * 1000))
        os.makedirs(self.dir)
        self.admin_port = free_port()
        self.box_port = free_port()
        self.sendsms_port = free_port()
        conf = os.path.join(self.dir, "kannel.conf")
        lines = [
            "group = core",
            "admin-port = %d" % self.admin_port,
            "admin-password = bench",
            "admin-interface = 127.0.0.1",
            "smsbox-port = %d" % self.box_port,
            "smsbox-interface = 127.0.0.1",
            "",
            "group = smsc",
            "smsc = smpp",
            "host = 127.0.0.1",
            "port = %d" % smsc_port,
            # One bind for both ways: the package takes a port for sending or for
            # receiving in a group, not both.
            "transceiver-mode = true",
            "system-type = VMA",
            "smsc-username = %s" % self.SYSTEM_ID,
            "smsc-password = secret",
            "",
            "group = smsbox",
            "bearerbox-host = 127.0.0.1",
            "bearerbox-port = %d" % self.box_port,
            "sendsms-port = %d" % self.sendsms_port,
            "sendsms-interface = 127.0.0.1",
            "",
            "group = sendsms-user",
            "username = bench",
            "password = bench",
            "",
        ]
        if get_url:
            # No reply SMS: the page's answer is not sent back, as the gateway sends none.
            lines += ["group = sms-service", "keyword = default",
                      'get-url = "%s"' % get_url, "max-messages = 0", ""]
        with open(conf, "w") as f:
            f.write("\n".join(lines))
        verbosity = os.environ.get("KANNEL_VERBOSITY", "1")
        self.bearerbox = Proc("bearerbox", ["bearerbox", "-v", verbosity, conf], self.dir)
        wait_port(self.box_port, self.bearerbox)
        self.smsbox = Proc("smsbox", ["smsbox", "-v", verbosity, conf], self.dir)
        wait_port(self.sendsms_port, self.smsbox)

    def usage(self):
        a, b = self.bearerbox.usage(), self.smsbox.usage()
        return a[0] + b[0], a[1] + b[1]

    def stop(self):
        self.smsbox.stop()
        self.bearerbox.stop()


def median(values):
    v = sorted(values)
    n = len(v)
    if not n:
        return 0.0
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def rate(n, t0_ms, t1_ms):
    secs = (t1_ms - t0_ms) / 1000.0
    return n / secs if secs > 0 else 0.0


def make_workdir(prefix):
    return tempfile.mkdtemp(prefix=prefix)


def remove_workdir(path, keep):
    if keep:
        log("kept %s" % path)
    else:
        # A process that was still writing as it was stopped can leave a file behind
        # the first pass.
        for _ in range(3):
            shutil.rmtree(path, ignore_errors=True)
            if not os.path.exists(path):
                return
            time.sleep(0.2)
        log("could not remove %s" % path)


def load_line():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def fail(text):
    print("error: " + text, file=sys.stderr, flush=True)
    sys.exit(1)


def report_rounds(rounds, gws, ks, unit):
    """Prints the medians of the rounds: both rates, their ratio (and each round's), and
    each side's CPU seconds and peak memory."""
    g = median([r["rate"] for r in gws])
    k = median([r["rate"] for r in ks])
    ratios = [a["rate"] / b["rate"] for a, b in zip(gws, ks) if b["rate"]]
    log("median of %d rounds: gateway %.0f %s, kannel %.0f %s, ratio %.2fx "
        "(per round: %s); gateway CPU %.2fs VmHWM %d kB; kannel CPU %.2fs "
        "VmHWM %d kB; load %s"
        % (rounds, g, unit, k, unit, g / k if k else 0.0,
           " ".join("%.2f" % r for r in ratios),
           median([r["cpu"] for r in gws]), median([r["hwm"] for r in gws]),
           median([r["cpu"] for r in ks]), median([r["hwm"] for r in ks]),
           load_line()))
