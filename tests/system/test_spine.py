"""The gateway as a process: command-line tools, fatal start-up checks, start and
stop, the message log at shutdown, scheduled reports through the robot, the web
listener, the console, and one mail becoming an SMS."""

import base64
import ctypes
import datetime
import hashlib
import os
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import time
import unittest

import tvtest
from tvtest import gateway, run_tool, wait_for

VERSION = "Tolvane 1.1m\n"
USAGE_HEAD = VERSION + "\ntolvane -version\ntolvane -install\ntolvane -uninstall\n\n"


def copy_binary(test, gw):
    """A copy of the binary in the test's own folder (the tools write next to it)."""
    d = os.path.join(gw.dir, "bin")
    os.makedirs(d)
    dst = os.path.join(d, "tolvane")
    shutil.copy2(tvtest.BIN, dst)
    return d, dst


class CommandLine(unittest.TestCase):
    def test_version(self):
        gw = gateway(self)
        r = run_tool(["-config", gw.ini, "-version"])
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, VERSION)

    def test_every_help_word_prints_the_usage(self):
        gw = gateway(self)
        for word in ["-help", "-h", "-?", "help", "h", "?", "/help", "/h", "/?", "-HELP"]:
            with self.subTest(word=word):
                r = run_tool(["-config", gw.ini, word])
                self.assertEqual(r.returncode, 0)
                self.assertTrue(r.stdout.startswith(USAGE_HEAD), r.stdout)
                self.assertIn("-config FILE", r.stdout)

    def test_first_deciding_argument_wins(self):
        gw = gateway(self)
        r = run_tool(["-config", gw.ini, "-foreground", "-version", "-help"])
        self.assertEqual((r.returncode, r.stdout), (0, VERSION))

    def test_unknown_argument_prints_the_usage_and_starts_nothing(self):
        # A mistyped tool name once started a second server on the same settings.
        gw = gateway(self)
        for args in (["-nonsense"], ["-pasword"], ["-version", "-x"], ["-config", gw.ini, "run"],
                     ["-queue", "flsh"]):
            with self.subTest(args=args):
                # -foreground: a binary that wrongly starts a server is ended by the
                # tool's time limit instead of being left running detached.
                r = run_tool(["-config", gw.ini, "-foreground"] + args, timeout=10)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
                self.assertEqual(r.stdout, "")
                self.assertIn("Unknown argument (%s)" % args[-1], r.stderr)
                self.assertIn(USAGE_HEAD, r.stderr)
                self.assertFalse(os.path.exists(gw.log_path), "nothing was started")

    def test_tools_that_need_no_settings_file_work_without_one(self):
        gw = gateway(self)
        missing = os.path.join(gw.dir, "nope.ini")
        r = run_tool(["-config", missing, "-version"])
        self.assertEqual((r.returncode, r.stdout), (0, VERSION))
        r = run_tool(["-config", missing, "-help"])
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith(USAGE_HEAD), r.stdout)
        bindir, binary = copy_binary(self, gw)
        r = run_tool(["-config", missing, "-password"], cwd=gw.dir, binary=binary,
                     stdin_text="admin\ns3cret-pw\ns3cret-pw\n")
        self.assertEqual(r.returncode, 0, r.stdout)
        with open(os.path.join(bindir, "admin.dat")) as f:
            self.assertTrue(f.read().startswith("admin:$y$"))
        # The server itself and the other tools still need the file.
        r = run_tool(["-config", missing, "-uninstall"])
        self.assertEqual(r.returncode, 1)
        self.assertIn("Failed to load configuration file", r.stdout)

    def test_settings_file_that_exists_is_read_before_the_tool_runs(self):
        gw = gateway(self)
        broken = os.path.join(gw.dir, "broken.ini")
        os.makedirs(broken)  # exists, but cannot be read as settings
        r = run_tool(["-config", broken, "-version"])
        self.assertEqual(r.returncode, 1)
        self.assertIn("ERROR: Failed to load configuration file (%s)" % broken, r.stdout)

    def test_missing_settings_file(self):
        gw = gateway(self)
        missing = os.path.join(gw.dir, "nope.ini")
        r = run_tool(["-config", missing])
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, "ERROR: Failed to load configuration file (%s), "
                                   "No such file or directory\n" % missing)

    def test_config_without_file_name(self):
        r = run_tool(["-config"])
        self.assertEqual(r.returncode, 1)
        self.assertIn("-config", r.stdout)

    def test_password_tool_writes_admin_dat_next_to_the_binary(self):
        gw = gateway(self)
        bindir, binary = copy_binary(self, gw)
        r = run_tool(["-config", gw.ini, "-password"], cwd=gw.dir, binary=binary,
                     stdin_text="admin\nfirst-pw\nsecond-pw\nadmin\ns3cret-pw\ns3cret-pw\n")
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn("Passwords don't match, please try again.\n", r.stdout)
        self.assertEqual(r.stdout.count("Enter web admin username: "), 2)
        with open(os.path.join(bindir, "admin.dat")) as f:
            line = f.read()
        # yescrypt, as /etc/shadow holds it: checked with the system's own crypt(3).
        m = re.fullmatch(r"admin:(\$y\$[./A-Za-z0-9]+\$[./A-Za-z0-9]+\$[./A-Za-z0-9]+)\n", line)
        self.assertTrue(m, line)
        libcrypt = ctypes.CDLL("libcrypt.so.1")
        libcrypt.crypt.restype = ctypes.c_char_p
        libcrypt.crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        stored = m.group(1).encode()
        self.assertEqual(libcrypt.crypt(b"s3cret-pw", stored), stored)
        self.assertNotEqual(libcrypt.crypt(b"s3cret-p", stored), stored)
        self.assertFalse(os.path.exists(os.path.join(gw.dir, "admin.dat")))

    def test_install_writes_the_two_scripts(self):
        gw = gateway(self)
        bindir, binary = copy_binary(self, gw)
        r = run_tool(["-config", gw.ini, "-install"], cwd=gw.dir, binary=binary)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout,
                         "OK Tolvane stopped\nOK Uninstallation successful\n[%s/tolvane]\n"
                         "OK Installation successful\nOK Tolvane started\n" % bindir)
        with open(os.path.join(bindir, "tolvane_start.sh"), "rb") as f:
            self.assertEqual(f.read(), ('cd "%s"\n./tolvane' % bindir).encode())
        with open(os.path.join(bindir, "tolvane_stop.sh"), "rb") as f:
            self.assertEqual(f.read(), ('cd "%s"\nls > tolvane.exit\n' % bindir).encode())

    def test_uninstall(self):
        gw = gateway(self)
        r = run_tool(["-config", gw.ini, "-uninstall"])
        self.assertEqual((r.returncode, r.stdout),
                         (0, "OK Tolvane stopped\nOK Uninstallation successful\n"))


class FatalStart(unittest.TestCase):
    """Each check that ends start-up prints its message and ends with status 1."""

    def start_fails(self, extra, message, base=True, prepare=None):
        gw = gateway(self, extra=extra, base=base)
        if prepare:
            prepare(gw)
        gw.start()
        rc = gw.wait_exit()
        out = gw.stdout()
        self.assertEqual(rc, 1, out)
        if isinstance(message, re.Pattern):
            self.assertRegex(out, message)
        else:
            self.assertIn("ERROR: %s\n" % message, out)
        return gw

    def test_modem_without_its_number(self):
        self.start_fails(["delivery_mode GSM"], "Config setting 'gsm_number' required")

    def test_values_that_do_not_fit_their_keys(self):
        # Every bad value is named, with its file and line, before the start ends.
        gw = self.start_fails(["smpp_port 27x5", "sms_bounces maybe"],
                              re.compile(r"ERROR: Invalid setting: .*\.ini line \d+: "
                                         r"smpp_port \(27x5\) is not a whole number\n"))
        self.assertRegex(gw.stdout(), r"ERROR: Invalid setting: .*\.ini line \d+: sms_bounces "
                                      r"\(maybe\) is neither true \(true, yes, on\) nor false")
        self.assertNotIn("Main loop started", gw.log())

    def test_robot_without_command(self):
        gw = gateway(self)
        gw.lines = [l for l in gw.lines if not l.startswith("robot_cmd")]
        gw.write_settings()
        gw.start()
        self.assertEqual(gw.wait_exit(), 1)
        self.assertIn("ERROR: Robot_cmd is required for this delivery_mode (robot)\n",
                      gw.stdout())

    def test_limits_with_the_same_name(self):
        self.start_fails(['limit name="hourly" from="5" period="1"',
                          'limit name="hourly" to="5" period="1"'],
                         "Each 'limit' setting MUST have a unique name=\"\" parameter")

    def test_robot_cannot_receive(self):
        self.start_fails(["recv_mode robot"], "'robot' is not a valid recv_mode, try 'none'")

    def test_smtp_cannot_receive(self):
        self.start_fails(["recv_mode smtp"], "'smtp' is not a valid recv_mode, try 'none'")

    def test_smsc_not_reachable(self):
        self.start_fails(["send_mode smpp"], "Failed to init smpp, Failed to connect to smsc")

    def test_modem_device_missing(self):
        self.start_fails(["send_mode gsm", "gsm_number +61400000000",
                          "gsm_com /nonexistent/tolvane-modem"],
                         "Failed to init gsm, Error opening. OSError(No such file or directory)")

    def test_web_port_in_use(self):
        holder = socket.socket()
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        self.addCleanup(holder.close)
        port = holder.getsockname()[1]
        gw = self.start_fails(["web_port %d" % port],
                              re.compile(r"ERROR: Failed to init command channel, .+\n"))
        self.assertIn("COMMAND listen on %d" % port, gw.log())

    def test_smtp_port_in_use(self):
        holder = socket.socket()
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        self.addCleanup(holder.close)
        self.start_fails(["smtp_inport %d" % holder.getsockname()[1]],
                         re.compile(r"ERROR: Failed to init smtp, .+\n"))

    def test_unreadable_message_log(self):
        self.start_fails([], re.compile(r"ERROR: Failed to read \(.*/msglog\.dat\), .+\n"),
                         prepare=lambda gw: os.makedirs(gw.path("msglog.dat")))

    def test_unreadable_limit_counters(self):
        self.start_fails([], re.compile(r"ERROR: Failed to read msgrec, .+\n"),
                         prepare=lambda gw: os.makedirs(gw.path("msgrec.from")))

    def test_missing_delivery_file(self):
        self.start_fails(['delivery_file file="delivery.txt"'],
                         "Failed to read (delivery.txt), Failed to open (delivery.txt), "
                         "No such file or directory")

    def test_missing_home(self):
        gw = gateway(self)
        gw.lines = [l for l in gw.lines if not l.startswith("home ")]
        gw.lines.append("home %s" % os.path.join(gw.dir, "gone"))
        gw.lines.append("logpath %s" % gw.dir)
        gw.write_settings()
        gw.start()
        self.assertEqual(gw.wait_exit(), 1)
        self.assertRegex(gw.stdout(), r"ERROR: Failed to change into home \(.*/gone\), "
                                      r"No such file or directory\n")

    def test_fatal_message_also_reaches_the_log(self):
        gw = self.start_fails(["recv_mode smtp"], "'smtp' is not a valid recv_mode, try 'none'")
        self.assertIn("Error: 'smtp' is not a valid recv_mode, try 'none'", gw.log())


class StartAndStop(unittest.TestCase):
    def test_exit_file_stops_it_and_stays_until_the_next_start(self):
        gw = gateway(self)
        gw.start()
        gw.wait_started()
        log = gw.log()
        for line in ["Tolvane 1.1m", "Running in (%s)" % gw.home, "Set HOST[",
                     "COMMAND listen on %d" % gw.web_port, "COMMAND channel is in HTTP mode",
                     "sms_robot: %s" % tvtest.DEMO_ROBOT]:
            self.assertIn(line, log)
        self.assertNotIn("Starting SMS RECV thread...", log)  # recv_mode none
        started = time.monotonic()
        self.assertEqual(gw.stop_with_exit_file(), 0)
        self.assertLess(time.monotonic() - started, 4.0)
        log = gw.log()
        self.assertIn("tolvane.exit file found, exiting...", log)
        self.assertLess(log.index("Exiting..."), log.index("Waiting for threads to complete..."))
        self.assertTrue(os.path.exists(gw.path("tolvane.exit")))
        # The next start deletes it and keeps running.
        size = len(gw.log())
        gw.start()
        gw.wait_started(after=size)
        wait_for(lambda: not os.path.exists(gw.path("tolvane.exit")), what="exit file removed")
        self.assertTrue(gw.running())
        gw.signal(signal.SIGTERM)
        self.assertEqual(gw.wait_exit(), 0)

    def test_receiving_transport_gets_its_thread(self):
        gw = gateway(self, extra=["delivery_mode xml", "recv_mode xml", "send_mode xml"])
        gw.start()
        gw.wait_started()
        self.assertIn("Starting SMS RECV thread...", gw.log())
        self.assertEqual(gw.stop_with_exit_file(), 0)
        self.assertIn("'Other' receiver noticed shutdown signalled", gw.log())

    def test_mode_number_five_or_more_opens_nothing(self):
        gw = gateway(self, extra=["send_mode 7"])
        gw.start()
        gw.wait_started()
        log = gw.log()
        self.assertNotIn("sms_robot:", log)
        self.assertNotIn("Failed to init", log)
        self.assertEqual(gw.stop_with_exit_file(), 0)

    def test_sigterm_and_sigint_stop_it_in_order(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig):
                gw = gateway(self)
                gw.start()
                gw.wait_started()
                gw.signal(sig)
                self.assertEqual(gw.wait_exit(), 0)
                log = gw.log()
                order = ["Exiting...", "Waiting for threads to complete...",
                         "MsgLog records saved"]
                positions = [log.find(x) for x in order]
                self.assertNotIn(-1, positions, log[-3000:])
                self.assertEqual(positions, sorted(positions))
                # The receiving thread saw the flag before the message log was saved.
                self.assertLess(log.find("'Smtp' Callback noticed shutdown signalled"),
                                positions[-1])
                self.assertGreaterEqual(log.find("'Smtp' Callback noticed"), 0)

    def test_message_log_is_saved_at_shutdown(self):
        gw = gateway(self)
        with open(gw.path("msglog.dat"), "w") as f:
            f.write("+61400000001|ann@example.com|100\n+61400000001|ann@example.com|200\n"
                    "+61400000002|bob@example.com|300\n")
        gw.start()
        gw.wait_started()
        self.assertEqual(gw.stop_with_exit_file(), 0)
        self.assertIn("2 MsgLog records saved", gw.log())
        with open(gw.path("msglog.dat")) as f:
            lines = sorted(f.read().splitlines())
        self.assertEqual(lines, ["+61400000001|ann@example.com|200",
                                 "+61400000002|bob@example.com|300"])

    def test_failed_save_gives_status_one(self):
        gw = gateway(self)
        gw.start()
        gw.wait_started()
        os.makedirs(gw.path("msglog.dat.tmp"))
        self.assertEqual(gw.stop_with_exit_file(), 1)
        self.assertRegex(gw.stdout(), r"ERROR: Failed to save message log \(.*msglog\.dat\), ")

    def test_detaches_and_runs_in_the_background(self):
        gw = gateway(self)
        gw.start(foreground=False)
        self.assertEqual(gw.wait_exit(), 0)
        self.assertEqual(gw.stdout(), "Detaching process, check log for errors...\n")
        m = gw.wait_log(re.compile(r"\[(\d+)\]\[\d+\] Info: Set HOST\["))
        pid = int(m.group(1))
        self.assertNotEqual(pid, gw.proc.pid)
        self.addCleanup(lambda: tvtest.pid_alive(pid) and os.kill(pid, signal.SIGKILL))
        gw.wait_started()
        with open(gw.path("tolvane.exit"), "w"):
            pass
        wait_for(lambda: not tvtest.pid_alive(pid), what="detached server to stop")
        self.assertIn("tolvane.exit file found, exiting...", gw.log())

    def test_web_connection_is_counted_answered_and_closed(self):
        gw = gateway(self)
        gw.start()
        gw.wait_started()
        with socket.create_connection(("127.0.0.1", gw.web_port), timeout=10) as s:
            s.sendall(b"GET / HTTP/1.0\r\n\r\n")
            data = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
        # No admin.dat and no page templates in this home: the 401 page is missing too.
        self.assertTrue(data.startswith(b"HTTP/1.0 550 No such file\r\n"), data)
        gw.wait_log("Web request from [127.0.0.1] for /: credentials missing or wrong")
        self.assertEqual(gw.stop_with_exit_file(), 0)


class Reports(unittest.TestCase):
    @staticmethod
    def now_with_time_to_spare():
        """The current local time, at least 8 seconds before the minute ends."""
        now = datetime.datetime.now()
        if now.second > 51:
            time.sleep(60.5 - now.second)
            now = datetime.datetime.now()
        return now

    def test_report_is_sent_once_in_its_minute_on_a_matching_day(self):
        now = self.now_with_time_to_spare()
        day = now.strftime("%a")
        gw = gateway(self, extra=['report time="%s" to="+61400999888" message="gateway alive" '
                                  'days="%s"' % (now.strftime("%H:%M"), day)])
        gw.start()
        gw.wait_log("Report 0 configured %d:%d to +61400999888" % (now.hour, now.minute))
        files = wait_for(gw.outbox_files, what="report SMS in the outbox")
        text = gw.read_outbox(files[0])
        self.assertIn("To: +61400999888\n", text)
        self.assertTrue(text.endswith("\n\ngateway alive\n"), text)
        gw.wait_log("Sending report 0->+61400999888...")
        # Further rounds of the once-a-second loop in the same minute send nothing more.
        deadline = time.monotonic() + 2.5
        while time.monotonic() < deadline and datetime.datetime.now().minute == now.minute:
            time.sleep(0.1)
        self.assertEqual(len(gw.outbox_files()), 1)
        self.assertEqual(gw.log().count("Sending report 0->"), 1)
        self.assertEqual(gw.stop_with_exit_file(), 0)

    def test_report_is_not_sent_on_another_day(self):
        now = self.now_with_time_to_spare()
        other = (now + datetime.timedelta(days=1)).strftime("%a")
        gw = gateway(self, extra=['report time="%s" to="+61400999888" days="%s"'
                                  % (now.strftime("%H:%M"), other)])
        gw.start()
        gw.wait_started()
        time.sleep(2.5)  # several rounds of the once-a-second loop
        self.assertEqual(gw.outbox_files(), [])
        self.assertNotIn("Sending report", gw.log())
        self.assertEqual(gw.stop_with_exit_file(), 0)

    def test_invalid_report_lines_are_logged(self):
        gw = gateway(self, extra=['report time="7" to="1"', 'report time="07:30"'])
        gw.start()
        gw.wait_started()
        log = gw.log()
        self.assertIn("2 reports to configure", log)
        self.assertIn('Invalid report setting: report to="1" time="7" message="Tolvane is alive"',
                      log)
        self.assertIn('Report setting 1 invalid, to="" required', log)
        self.assertEqual(gw.stop_with_exit_file(), 0)


class Console(unittest.TestCase):
    def test_debug_console_reads_commands_until_quit(self):
        gw = gateway(self)
        gw.start(args=["-debug"], stdin=subprocess.PIPE)
        gw.wait_started()
        wait_for(lambda: "INPUT:" in gw.stdout(), what="console prompt")
        gw.proc.stdin.write(b"what\nsmtp someone@example.com\n")
        gw.proc.stdin.flush()
        wait_for(lambda: "ERROR: smtp <email> <message>\n" in gw.stdout(), what="console error")
        self.assertIn("HELP\nsmtp <email> <message>\nquit\n", gw.stdout())
        gw.proc.stdin.write(b"QUIT\n")
        gw.proc.stdin.flush()
        self.assertEqual(gw.wait_exit(), 0)
        self.assertIn("Exiting...", gw.log())


class MailBecomesSms(unittest.TestCase):
    def test_mail_to_the_listener_comes_out_of_the_robot(self):
        gw = gateway(self, extra=["phone_country +61"])
        gw.start()
        gw.wait_started()
        with smtplib.SMTP("127.0.0.1", gw.smtp_port, timeout=20) as s:
            s.sendmail("ann@example.com", ["0412345678@gw.example"],
                       "Subject: hello\r\n\r\nthe body\r\n")
        files = wait_for(gw.outbox_files, what="SMS in the outbox")
        text = gw.read_outbox(files[0])
        self.assertIn("To: +61412345678\n", text)
        self.assertIn("hello", text)
        self.assertIn("the body", text)
        self.assertEqual(gw.stop_with_exit_file(), 0)


if __name__ == "__main__":
    unittest.main()
