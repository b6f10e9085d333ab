"""The alias and delivery files as the gateway process reads them at start-up: files
named relative to home are loaded (with a log line saying how many entries), and a
file that cannot be read stops start-up with its reason."""

import os
import re
import unittest

from tvtest import gateway


def write(gw, name, text):
    with open(gw.path(name), "w") as f:
        f.write(text)


class AliasFilesAtStartUp(unittest.TestCase):
    def start_fails(self, extra, message, prepare=None):
        gw = gateway(self, extra=extra)
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
        self.assertNotIn("Main loop started", gw.log())
        return gw

    def test_both_files_load_and_the_gateway_runs(self):
        gw = gateway(self, extra=[
            "phone_country +61",
            'delivery_file file="delivery.txt"',
            'alias_file file="alias.csv" delimiter="," order="email,phone"',
        ])
        write(gw, "delivery.txt", "0412000001 ann@corp.example\n"
                                  "0412000002   bob@corp.example\n"
                                  "too-few-fields\n")
        write(gw, "alias.csv", "carol@corp.example,0412000003\n")
        gw.start()
        gw.wait_started()
        log = gw.log()
        self.assertIn("ALIAS: loaded 2 entries from (delivery.txt)", log)
        self.assertIn("ALIAS: loaded 1 entries from (alias.csv)", log)
        self.assertIn("ALIAS: order of alias_file is (email,phone)", log)
        # The delivery file is read before the alias file.
        self.assertLess(log.index("(delivery.txt)"), log.index("(alias.csv)"))
        self.assertEqual(gw.stop_with_exit_file(), 0)

    def test_relay_workers_size_the_relay_pool(self):
        for extra, workers in (([], 8), (["relay_workers 3"], 3), (["relay_workers 1"], 1)):
            with self.subTest(extra=extra):
                gw = gateway(self, extra=extra)
                gw.start()
                gw.wait_started()
                self.assertIn("Relaying received SMS from the queue with %d workers" % workers,
                              gw.log())
                self.assertEqual(gw.stop_with_exit_file(), 0)
        self.start_fails(["relay_workers 0"], re.compile(
            r"ERROR: Invalid setting: \S+tolvane\.ini line \d+: relay_workers \(0\) is out of "
            r"bounds: from 1 to 256\n"))

    def test_missing_delivery_file_stops_start_up(self):
        self.start_fails(['delivery_file file="delivery.txt"'],
                         "Failed to read (delivery.txt), Failed to open (delivery.txt), "
                         "No such file or directory")

    def test_missing_alias_file_stops_start_up(self):
        self.start_fails(['alias_file file="alias.txt" required="true"'],
                         "Failed to read (alias.txt), Failed to open (alias.txt), "
                         "No such file or directory")

    def test_directory_in_place_of_the_file_stops_start_up(self):
        self.start_fails(['delivery_file file="delivery.txt"'],
                         "Failed to read (delivery.txt), Failed to open (delivery.txt), "
                         "Is a directory",
                         prepare=lambda gw: os.makedirs(gw.path("delivery.txt")))

    def test_no_file_attribute_loads_nothing(self):
        gw = gateway(self, extra=['alias_file delimiter="*" required="true"'])
        gw.start()
        gw.wait_started()
        self.assertNotIn("ALIAS: loaded", gw.log())
        self.assertEqual(gw.stop_with_exit_file(), 0)


if __name__ == "__main__":
    unittest.main()
