"""A private PostgreSQL server for system tests: initdb in a temporary directory, a free
loopback port, trust authentication on loopback.

    pg = PgCluster(test)           # started; stopped and removed by the test's cleanups
    settings["store_dsn"] = pg.dsn(pg.fresh_database())
    pg.stop(); ...; pg.start()     # the server away for a while (same port, same data)
    pg.stop_for(20)                # stopped now, started again by a thread after 20 s

Initdb and postgres refuse to run as root: when the tests run as root, the server runs as
the "postgres" system user (the temporary directory handed to it). The programs come from
the newest /usr/lib/postgresql/*/bin (not on PATH on Debian). A watchdog shell removes the
server if the test process dies without its cleanups, so no server is ever left behind.
"""

import glob
import os
import pwd
import shutil
import subprocess
import tempfile
import threading

from mailsms import free_port


def _bin_dir():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    if not found:
        raise AssertionError("no PostgreSQL server under /usr/lib/postgresql: "
                             "run scripts/install-deps")
    return os.path.dirname(found[-1])


class PgCluster:
    def __init__(self, test=None, fsync=True):
        self.bin = _bin_dir()
        self.dir = tempfile.mkdtemp(prefix="tvpg-")
        self.data = os.path.join(self.dir, "data")
        self.user = None
        self.pre = []
        if os.geteuid() == 0:
            pw = pwd.getpwnam("postgres")
            os.chown(self.dir, pw.pw_uid, pw.pw_gid)
            self.user = "postgres"
            self.pre = ["runuser", "-u", "postgres", "--"]
        self.fsync = fsync
        self.port = 0
        self._db = 0
        self._restarter = None
        # The watchdog: once its input closes (our stop, or this process gone), it stops
        # the server at once and removes the directory.
        cleanup = "%s %s/pg_ctl stop -m immediate -D %s >/dev/null 2>&1; rm -rf %s" % (
            " ".join(self.pre), self.bin, self.data, self.dir)
        self._watchdog = subprocess.Popen(["sh", "-c", "cat >/dev/null; " + cleanup],
                                          stdin=subprocess.PIPE, start_new_session=True)
        if test is not None:
            test.addCleanup(self.close)
        try:
            self._run(["initdb", "-D", self.data, "-A", "trust", "-U", "postgres", "-E", "UTF8",
                       "--locale=C", "--no-sync"])
            for _ in range(5):
                self.port = free_port()
                if self._launch():
                    break
            else:
                raise AssertionError("PostgreSQL did not start: " + self.server_log())
        except Exception:
            self.close()
            raise

    def _run(self, args, check=True):
        out = subprocess.run(self.pre + [os.path.join(self.bin, args[0])] + args[1:],
                             capture_output=True, text=True, timeout=120)
        if check and out.returncode != 0:
            raise AssertionError("%s failed: %s%s" % (args[0], out.stdout, out.stderr))
        return out.returncode == 0

    def _launch(self):
        opts = "-p %d -k %s -c listen_addresses=127.0.0.1 -c max_connections=200" % (
            self.port, self.dir)
        if not self.fsync:
            opts += " -c fsync=off"
        return self._run(["pg_ctl", "start", "-w", "-t", "60", "-D", self.data, "-l",
                          os.path.join(self.dir, "server.log"), "-o", opts], check=False)

    def server_log(self):
        try:
            with open(os.path.join(self.dir, "server.log")) as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def dsn(self, database="postgres"):
        return "host=127.0.0.1 port=%d user=postgres dbname=%s connect_timeout=5" % (
            self.port, database)

    def psql(self, sql, database="postgres"):
        """Runs SQL with psql and returns its unaligned output."""
        out = subprocess.run(["psql", "-X", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h",
                              "127.0.0.1", "-p", str(self.port), "-U", "postgres", "-d",
                              database, "-c", sql], capture_output=True, text=True, timeout=60)
        if out.returncode != 0:
            raise AssertionError("psql failed: " + out.stderr)
        return out.stdout.strip()

    def fresh_database(self):
        self._db += 1
        name = "tvsys%d_%d" % (os.getpid(), self._db)
        self.psql("CREATE DATABASE %s" % name)
        return name

    def stop(self):
        """Stops the server at once, as a crash or a pulled cable would."""
        self._run(["pg_ctl", "stop", "-w", "-m", "immediate", "-D", self.data])

    def start(self):
        if not self._launch():
            raise AssertionError("PostgreSQL did not start again: " + self.server_log())

    def stop_for(self, seconds):
        """Stops the server now and starts it again after `seconds` from a thread;
        wait_restarted() waits for that."""
        self.stop()
        self._restart_error = None

        def later():
            try:
                self.start()
            except AssertionError as e:
                self._restart_error = e
        self._restarter = threading.Timer(seconds, later)
        self._restarter.start()

    def wait_restarted(self, timeout=120):
        if self._restarter is not None:
            self._restarter.join(timeout)
            self._restarter = None
        if self._restart_error:
            raise self._restart_error

    def close(self):
        if self._restarter is not None:
            self._restarter.cancel()
            self._restarter.join(60)
            self._restarter = None
        if self._watchdog is not None:
            self._watchdog.stdin.close()
            self._watchdog.wait(timeout=60)
            self._watchdog = None
