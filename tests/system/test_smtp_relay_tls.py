"""The relay sender against a relay that wants STARTTLS and AUTH (tests/peers/smtp_relay.js
on the npm smtp-server package): SMS-to-mail and the failure notice arrive encrypted and
authenticated, wrong credentials and a relay without STARTTLS under "require" give a
FAILURE record naming the step and the relay's reply, and the relay's certificate is
checked against the certificate authorities and the relay's name."""

import json
import os
import shutil
import subprocess
import tempfile
import threading
import unittest

from mailsms import BIN, Gateway, wait_for
from test_smpp import PEERS, WAIT, Smsc, smpp_settings

RELAY = os.path.join(PEERS, "smtp_relay.js")


def make_certificates(d):
    """A test authority and a relay certificate it signed for the name localhost."""
    def run(*args):
        subprocess.run(["openssl", *args], cwd=d, check=True, capture_output=True, timeout=60)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=Tolvane Test CA",
        "-days", "2")
    run("req", *ec, "-keyout", "relay.key", "-out", "relay.csr", "-subj", "/CN=localhost")
    with open(os.path.join(d, "san.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost\n")
    run("x509", "-req", "-in", "relay.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "relay.pem", "-days", "2", "-extfile", "san.ext")


class Relay:
    """smtp_relay.js on a free loopback port; stands where the gateway expects smtp-sink."""

    def __init__(self, test, certs, *args):
        node = shutil.which("node")
        if not node or not os.path.isdir(os.path.join(PEERS, "node_modules", "smtp-server")):
            raise AssertionError("the relay needs node and the npm smtp-server package: "
                                 "run scripts/install-deps")
        self.proc = subprocess.Popen(
            [node, RELAY, "--key", os.path.join(certs, "relay.key"),
             "--cert", os.path.join(certs, "relay.pem"), *args],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            cwd=PEERS, text=True)
        test.addCleanup(self.stop)
        self.lock = threading.Lock()
        self.events = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.port = self.wait("listening")[0]["port"]

    def _read(self):
        for line in self.proc.stdout:
            try:
                ev = json.loads(line)
            except ValueError:
                ev = {"event": "output", "line": line}
            with self.lock:
                self.events.append(ev)

    def all(self, name):
        with self.lock:
            return [e for e in self.events if e.get("event") == name]

    def wait(self, name, n=1, timeout=WAIT):
        def ready():
            if self.proc.poll() is not None and len(self.all(name)) < n:
                raise AssertionError("smtp_relay.js ended: %r" % self.events)
            got = self.all(name)
            return got if len(got) >= n else None
        return wait_for(ready, timeout, what="%d %s event(s) at the relay" % (n, name))

    def mails(self):
        out = []
        for e in self.all("mail"):
            head, _, body = e["data"].replace("\r\n", "\n").partition("\n\n")
            headers = [tuple(x.strip() for x in l.split(":", 1)) for l in head.split("\n")
                       if ":" in l and l[:1] not in (" ", "\t")]
            out.append({"sender": e["from"], "rcpt": e["rcpt"][0], "headers": headers,
                        "body": body, "secure": e["secure"], "user": e["user"]})
        return out

    def wait_mails(self, n, timeout=WAIT):
        self.wait("mail", n, timeout)
        return self.mails()

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(timeout=10)
            except (subprocess.TimeoutExpired, BrokenPipeError, OSError):
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.reader.join(timeout=5)
        self.proc.stdout.close()


class RelayTls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="tv-relay-certs-")
        make_certificates(cls.certs)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, True)

    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def start(self, relay_args, smsc_args=(), env=None, **settings):
        self.relay = Relay(self, self.certs, *relay_args)
        self.smsc = Smsc(self, *smsc_args)
        s = smpp_settings(self.smsc, smtp_domain="gw.example", smtp_retries="0",
                          smtp_outuser="gw", smtp_outpass="pw", smtp_out_tls_verify="false")
        s.update(settings)
        old = dict(os.environ)
        if env:
            os.environ.update(env)
        try:
            gw = Gateway(self, s, sink=self.relay)
        finally:
            os.environ.clear()
            os.environ.update(old)
        self.smsc.wait_event("bind_receiver")
        gw.wait_log("SMPP transport ready")
        return gw

    def deliver(self, text="bob@corp.example see you at six"):
        self.smsc.command(cmd="deliver", source_addr="447700900123",
                          destination_addr="447700900001", text=text)

    def day(self, gw):
        """The day's record lines of received SMS."""
        text = gw.day_files("log")
        return text.splitlines() if text else []

    def failure(self, gw):
        try:
            rec = wait_for(lambda: [r for r in self.day(gw) if r.startswith("FAILURE|SMS|")],
                           WAIT, what="a FAILURE record")[0]
        except AssertionError:
            raise AssertionError("no FAILURE record; records %r, log:\n%s"
                                 % (self.day(gw), "\n".join(gw.log()[-30:])))
        return rec.split("|")[5]

    def test_sms_to_mail_and_the_failure_notice_arrive_encrypted_and_authenticated(self):
        gw = self.start(["--user", "gw", "--pass", "pw"], ["--submit-status", str(0x45)],
                        sms_retries="0", smtp_out_tls="require")
        self.deliver()
        mail = self.relay.wait_mails(1)[0]
        self.assertEqual((mail["rcpt"], mail["secure"], mail["user"]),
                         ("bob@corp.example", True, "gw"))
        self.assertIn("see you at six", mail["body"])
        # A mail the centre refuses comes back to its sender as a notice, the same way.
        from mailsms import send_mail
        send_mail(gw, "ann@corp.example", "0412345678@gw.example", "Subject: Hi\r\n\r\nyo\r\n")
        notice = self.relay.wait_mails(2)[1]
        self.assertEqual((notice["rcpt"], notice["secure"], notice["user"]),
                         ("ann@corp.example", True, "gw"))
        self.assertIn("SMS to (+61412345678) failed delivery", notice["body"])
        self.assertTrue(any("Smtp relay 127.0.0.1: TLS started (TLSv1.3)" in l
                            for l in gw.log()), gw.log())

    def test_wrong_credentials_give_a_failure_naming_the_relays_reply(self):
        gw = self.start(["--user", "gw", "--pass", "pw"], smtp_outpass="not it")
        self.deliver()
        why = self.failure(gw)
        self.assertRegex(why, r"^Un-expected reply from SMTP server \(AUTH: 535 .*"
                              r"Invalid username or password\)$")
        # The relay's own line may be read after the gateway's record: wait for it.
        self.assertEqual(self.relay.wait("auth_failed")[0]["user"], "gw")
        self.assertEqual(self.relay.mails(), [])

    def test_a_relay_without_starttls(self):
        table = [
            ("require", "Un-expected reply from SMTP server "
                        "(STARTTLS: the server does not offer STARTTLS)"),
            ("may", None),
            ("none", None),
        ]
        for mode, failure in table:
            with self.subTest(mode=mode):
                gw = self.start(["--user", "gw", "--pass", "pw", "--no-starttls"],
                                smtp_out_tls=mode)
                self.deliver()
                if failure:
                    self.assertEqual(self.failure(gw), failure)
                    self.assertEqual(self.relay.mails(), [])
                else:
                    mail = self.relay.wait_mails(1)[0]
                    self.assertEqual((mail["secure"], mail["user"]), (False, "gw"))
                gw.stop()

    def test_the_relays_certificate_is_checked(self):
        ca = os.path.join(self.certs, "ca.pem")
        table = [
            # The authority known and the name right: the mail goes.
            ("localhost", {"SSL_CERT_FILE": ca}, None),
            # The name the certificate does not carry.
            ("127.0.0.1", {"SSL_CERT_FILE": ca}, "certificate not verified: IP address mismatch"),
            # An authority the system does not know.
            ("localhost", {"SSL_CERT_FILE": os.devnull},
             "certificate not verified: unable to get local issuer certificate"),
        ]
        for host, env, failure in table:
            with self.subTest(host=host, env=env):
                gw = self.start(["--user", "gw", "--pass", "pw"], env=env, smtp_outserver=host,
                                smtp_out_tls_verify="true", smtp_out_tls="may")
                self.deliver()
                if failure:
                    self.assertEqual(self.failure(gw), "Un-expected reply from SMTP server "
                                                       "(STARTTLS: %s)" % failure)
                    self.assertEqual(self.relay.mails(), [])
                else:
                    self.assertTrue(self.relay.wait_mails(1)[0]["secure"])
                gw.stop()


if __name__ == "__main__":
    unittest.main()
