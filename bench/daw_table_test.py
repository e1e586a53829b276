#!/usr/bin/env python3
"""Checks bench/daw_table.py on small made-up result files: each format against LV2 on the same job and block,
the fastest repetition taken, the verdict judged at 1.05 by the slower format, a missing format shown as such."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lv2_table_test import printed  # noqa: E402  (one way of running a table script on made-up results)

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "daw_table.py")


def run(name, cpu_ns):
    return {"name": name, "run_name": name, "run_type": "iteration", "cpu_time": cpu_ns, "time_unit": "ns"}


class DawTableTest(unittest.TestCase):
    def rows(self, benchmarks):
        out = printed(TABLE, benchmarks)
        return {tuple(cell.strip() for cell in line.strip("|").split("|")[:2]): line
                for line in out.splitlines()[2:]}

    def test_ratio_and_verdict(self):
        rows = self.rows([run("lv2/A/256", 256 * 10.0), run("clap/A/256", 256 * 10.5), run("vst3/A/256", 256 * 10.4),
                          run("clap/A/256", 256 * 12.0),  # a slower repetition is not the one taken
                          run("lv2/B/64", 64 * 10.0), run("clap/B/64", 64 * 10.0), run("vst3/B/64", 64 * 10.6)])
        self.assertIn("| 10.00 | 10.50 | 1.05 | 10.40 | 1.04 | met", rows[("A", "256")])
        self.assertIn("| 10.60 | 1.06 | missed", rows[("B", "64")])

    def test_missing_format(self):
        rows = self.rows([run("lv2/A/1024", 1024 * 4.0), run("clap/A/1024", 1024 * 4.0)])
        self.assertIn("| 4.00 | 1.00 | – | – | met", rows[("A", "1024")])


if __name__ == "__main__":
    unittest.main()
