"""tolvane -records DAY [rec|log] on the file store: a day's records exactly as its day
file holds them, found in the month file once the day is folded, and the refusals of a
malformed call."""

import unittest

import tvtest

D = "|"


def line(status, client, frm, to, when, text):
    return D.join([status, client, frm, to, when, text]) + D + "\n"


JAN31 = [line("SUCCESS", "10.0.0.1", "ann@x", "+6140", "Wed Jan 31 09:05:01 2024", "NONE"),
         line("FAILURE", "10.0.0.2", "bob@x", "+6141", "Wed Jan 31 23:59:59 2024", "no route")]
JAN30 = [line("SUCCESS", "10.0.0.1", "ann@x", "+6140", "Tue Jan 30 00:00:00 2024", "NONE")]
# Lines of other days in the month file that a loose match would take: the same weekday and
# day in another year, and the date text inside a field.
DECOYS = [line("SUCCESS", "10.0.0.1", "ann@x", "+6140", "Wed Jan 31 09:05:01 2018", "NONE"),
          line("SUCCESS", "Wed Jan 31 10:00:00 2024", "x", "+6140", "Tue Jan 30 10:00:00 2024",
               "NONE")]


class RecordsTool(unittest.TestCase):
    def setUp(self):
        self.gw = tvtest.gateway(self)

    def write(self, name, lines):
        with open(self.gw.path(name), "w") as f:
            f.write("".join(lines))

    def records(self, *args):
        return tvtest.run_tool(["-config", self.gw.ini, "-records"] + list(args))

    def test_a_day_prints_as_its_day_file_holds_it(self):
        self.write("20240131.rec", JAN31)
        self.write("20240131.log", JAN30)
        cases = [(("20240131",), "".join(JAN31)),
                 (("20240131", "rec"), "".join(JAN31)),
                 (("20240131", "log"), "".join(JAN30)),
                 (("20240130",), ""),
                 (("19991231", "log"), "")]
        for args, want in cases:
            with self.subTest(args=args):
                r = self.records(*args)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertEqual(r.stdout, want)

    def test_a_folded_day_is_read_from_its_month_file(self):
        self.write("202401.rec", JAN30 + [JAN31[0]] + DECOYS + [JAN31[1]])
        r = self.records("20240131")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(r.stdout, "".join(JAN31))
        r = self.records("20240130")
        self.assertEqual(r.stdout, JAN30[0] + DECOYS[1])

    def test_a_malformed_call_is_refused(self):
        for args in [(), ("2024013",), ("2024-01-31",), ("-foreground",)]:
            with self.subTest(args=args):
                r = self.records(*args)
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertIn("ERROR:", r.stdout)
                self.assertIn("YYYYMMDD", r.stdout)


if __name__ == "__main__":
    unittest.main()
