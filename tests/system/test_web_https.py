"""The web administration channel over HTTPS: the real gateway with web_https true on a
free port and a temporary home, reached with curl and openssl s_client. The key and
certificate files are made on first use in the configured place and reused after a
restart; clients that speak plain HTTP or say nothing do not break the gateway."""

import os
import re
import socket
import stat
import subprocess
import unittest

import tvtest
from tvtest import gateway, wait_for

# A little over the gateway's own waits: curl and s_client must never hang a test.
CLIENT_TIMEOUT = 60


def https_gateway(test, ssl_dir=None):
    gw = gateway(test)
    gw.lines = [l for l in gw.lines if not l.startswith("web_https")]
    gw.lines.append("web_https true")
    if ssl_dir is not None:
        gw.lines.append("ssl_dir %s" % ssl_dir)
    gw.write_settings()
    return gw


def curl(gw, *extra):
    """curl -k on the web port; returns (exit code, stdout, stderr)."""
    r = subprocess.run(["curl", "-k", "-sS", "-v", "--max-time", "30",
                        "-o", "/dev/null", "-w", "%{http_code}",
                        "https://127.0.0.1:%d/" % gw.web_port] + list(extra),
                       capture_output=True, text=True, timeout=CLIENT_TIMEOUT)
    return r.returncode, r.stdout, r.stderr


def s_client(gw, request=b""):
    # With a request, wait for the server to close instead of ending at our end of input.
    args = ["-ign_eof"] if request else []
    r = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % gw.web_port,
                        "-showcerts"] + args,
                       input=request, capture_output=True, timeout=CLIENT_TIMEOUT)
    return r.returncode, r.stdout.decode("latin-1"), r.stderr.decode("latin-1")


def pem_certificate(text):
    m = re.search(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", text, re.S)
    return m.group(0).strip() if m else None


class WebHttps(unittest.TestCase):
    def start(self, gw):
        gw.start()
        gw.wait_started()
        gw.wait_log("COMMAND channel is in HTTPS mode")

    def assert_served_over_tls(self, gw):
        code, out, err = curl(gw)
        self.assertEqual(code, 0, err[-3000:] + "\n" + gw.log()[-3000:])
        self.assertRegex(out, r"^[1-5]\d\d$")
        self.assertRegex(err, r"SSL connection using TLSv1\.[23]")

    def test_first_start_makes_the_files_where_configured_and_serves_https(self):
        gw = https_gateway(self)
        ssl_dir = os.path.join(gw.home, "ssl", "keys")  # no trailing "/"
        gw.lines.append("ssl_dir %s" % ssl_dir)
        gw.write_settings()
        self.start(gw)
        self.assert_served_over_tls(gw)

        key = os.path.join(ssl_dir, "tv_priv.pem")
        cert = os.path.join(ssl_dir, "tv_cert.pem")
        self.assertTrue(os.path.isfile(key))
        self.assertTrue(os.path.isfile(cert))
        self.assertEqual(stat.S_IMODE(os.stat(key).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(gw.home, "ssl")).st_mode), 0o700)
        log = gw.log()
        self.assertIn("Creating 2048 bit private key...", log)
        self.assertIn("Created private key file (%s)" % key, log)
        self.assertIn("Created certificate file (%s)" % cert, log)
        self.assertIn("SSL init completed OK", log)
        self.assertFalse(os.path.exists(os.path.join(gw.home, "tv_priv.pem")))

        # openssl s_client sees the certificate that was written, for this host.
        code, out, err = s_client(gw, b"GET / HTTP/1.0\r\n\r\n")
        self.assertEqual(code, 0, err)
        with open(cert) as f:
            self.assertEqual(pem_certificate(out), f.read().strip())
        host = socket.gethostname().split(" ")[0][:64]
        self.assertRegex(out, r"subject=CN ?= ?%s\s" % re.escape(host))
        self.assertRegex(out, r"HTTP/1\.[01] \d\d\d")

    def test_files_default_to_the_home_and_are_reused_after_a_restart(self):
        gw = https_gateway(self)
        self.start(gw)
        self.assert_served_over_tls(gw)
        key, cert = gw.path("tv_priv.pem"), gw.path("tv_cert.pem")
        with open(key, "rb") as f:
            key_bytes = f.read()
        with open(cert, "rb") as f:
            cert_bytes = f.read()
        self.assertEqual(gw.stop_with_exit_file(), 0)

        os.remove(gw.path("tolvane.exit"))
        offset = len(gw.log())
        self.start(gw)
        gw.wait_started(after=offset)
        self.assert_served_over_tls(gw)
        gw.wait_log("SSL init completed OK", after=offset)
        self.assertNotIn("Created", gw.log()[offset:])
        with open(key, "rb") as f:
            self.assertEqual(f.read(), key_bytes)
        with open(cert, "rb") as f:
            self.assertEqual(f.read(), cert_bytes)

    def test_a_corrupt_key_file_is_refused_with_its_reason(self):
        gw = https_gateway(self)
        with open(gw.path("tv_priv.pem"), "w") as f:
            f.write("not a key\n")
        self.start(gw)
        # Reported when the server starts, not only at the first connection.
        gw.wait_log("COMMAND channel HTTPS set-up failed (myssl_init failed.)")
        code, _, _ = curl(gw)
        self.assertNotEqual(code, 0)
        gw.wait_log("SSL init failed (")
        gw.wait_log("SSL failed (myssl_init failed.)")
        with open(gw.path("tv_priv.pem")) as f:
            self.assertEqual(f.read(), "not a key\n")
        # The gateway goes on: it still stops on request.
        self.assertEqual(gw.stop_with_exit_file(), 0)

    def test_plain_http_and_silent_clients_do_not_break_the_gateway(self):
        gw = https_gateway(self)
        self.start(gw)
        self.assert_served_over_tls(gw)

        # Plain HTTP to the HTTPS port: the connection is dropped, nothing more.
        with socket.create_connection(("127.0.0.1", gw.web_port), timeout=30) as s:
            s.sendall(b"GET / HTTP/1.0\r\n\r\n")
            got = b""
            while True:
                part = s.recv(4096)
                if not part:
                    break
                got += part
            self.assertNotIn(b"HTTP/1.", got)
        gw.wait_log("SSL failed (SSL could not start")

        # A client that connects and says nothing must not hold up the others.
        silent = socket.create_connection(("127.0.0.1", gw.web_port), timeout=30)
        self.addCleanup(silent.close)
        self.assert_served_over_tls(gw)
        code, out, err = s_client(gw)
        self.assertEqual(code, 0, err)
        self.assertIsNotNone(pem_certificate(out))

        # A client that hangs up in the middle of its handshake.
        with socket.create_connection(("127.0.0.1", gw.web_port), timeout=30) as s:
            s.sendall(bytes.fromhex("16030100c8010000c40303") + os.urandom(20))
        self.assert_served_over_tls(gw)
        silent.close()
        self.assertTrue(gw.running())
        self.assertEqual(gw.stop_with_exit_file(), 0)
        out = gw.stdout()
        self.assertNotIn("Sanitizer", out)
        self.assertNotIn("runtime error:", out)


if __name__ == "__main__":
    unittest.main()
