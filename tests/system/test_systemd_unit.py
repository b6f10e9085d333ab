"""The one systemd unit, as both ways of installing put it in place: `cmake --install`
of this build (the README's manual install) and the Debian package's layout."""

import os
import re
import subprocess
import tempfile
import unittest

import tvtest

def directives(text):
    """{name: value} of the unit's Key=value lines."""
    return dict(l.split("=", 1) for l in text.splitlines() if re.match(r"^[A-Za-z]+=", l))


class SystemdUnit(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tv-unit-")
        self.addCleanup(self.tmp.cleanup)
        with open(os.path.join(tvtest.SOURCE_DIR, "etc", "tolvane.service")) as f:
            self.template = f.read()

    def check_unit(self, text, home, exe, config):
        d = directives(text)
        self.assertNotIn("@TOLVANE", text)
        self.assertEqual(d["ExecStart"], "%s -config %s -foreground" % (exe, config))
        self.assertEqual(d["WorkingDirectory"], home)
        self.assertEqual(d["ExecReload"], "/bin/kill -HUP $MAINPID")
        self.assertEqual(d["LimitNOFILE"], "65536")
        self.assertEqual(d["ProtectSystem"], "strict")
        with open(os.path.join(tvtest.SOURCE_DIR, "etc", "tolvane.ini")) as f:
            wait = int(re.search(r"(?m)^#shutdown_wait (\d+)$", f.read()).group(1))
        # The gateway ends within shutdown_wait and 3 s more: systemd must not kill it first.
        self.assertGreater(int(d["TimeoutStopSec"]), wait + 3)
        values = {"TOLVANE_UNIT_USER": d["User"], "TOLVANE_UNIT_EXEC": exe,
                  "TOLVANE_UNIT_CONFIG": config, "TOLVANE_UNIT_HOME": home}
        # Nothing but these values differs from the one unit file.
        expected = self.template
        for name, value in values.items():
            expected = expected.replace("@%s@" % name, value)
        self.assertEqual(text, expected)

    def test_manual_install_puts_the_unit_where_the_readme_copies_it_from(self):
        build = os.path.dirname(tvtest.BIN)
        dest = os.path.join(self.tmp.name, "root")
        subprocess.run(["cmake", "--install", build], check=True, capture_output=True,
                       env=dict(os.environ, DESTDIR=dest))
        with open(os.path.join(tvtest.SOURCE_DIR, "README.md")) as f:
            cp = re.search(r"sudo cp (\S+) /etc/systemd/system/", f.read())
        self.assertIsNotNone(cp, "README has no install command for the unit")
        home = os.path.dirname(cp.group(1))
        with open(dest + cp.group(1)) as f:
            self.check_unit(f.read(), home, home + "/tolvane", "/etc/tolvane.ini")

    def test_debian_package_installs_the_same_unit(self):
        deb = os.path.join(self.tmp.name, "deb")
        subprocess.run(["cmake", "-S", tvtest.SOURCE_DIR, "-B", deb, "-G", "Ninja",
                        "-DTOLVANE_DEB=ON", "-DTOLVANE_TESTS=OFF"],
                       check=True, capture_output=True)
        staged = os.path.join(deb, "deb-stage", "tolvane.service")
        with open(os.path.join(deb, "cmake_install.cmake")) as f:
            install = f.read()
        self.assertIn('"/lib/systemd/system" TYPE FILE FILES "%s"' % staged, install,
                      "the package does not install the filled-in unit")
        with open(staged) as f:
            self.check_unit(f.read(), "/var/lib/tolvane", "/usr/sbin/tolvane",
                            "/etc/tolvane/tolvane.ini")


if __name__ == "__main__":
    unittest.main()
