#!/usr/bin/env python3
"""Checks bench/lv2_table.py on small made-up result files: the fastest repetition (or else the median), the adapter's ratio judged at its
limit, and each peer row judged by the slower of the plug-in's two smoothing settings, with the module's floor
shown beside it and never taken for a peer."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lv2_table.py")


def entry(name, cpu_ns, aggregate="median"):
    return {"name": f"{name}_{aggregate}", "run_name": name, "run_type": "aggregate", "aggregate_name": aggregate,
            "cpu_time": cpu_ns, "time_unit": "ns"}


def printed(table, benchmarks):
    """What the table script `table` prints for a result file holding `benchmarks`."""
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump({"benchmarks": benchmarks}, f)
    try:
        return subprocess.run([sys.executable, table, f.name], check=True, capture_output=True, text=True).stdout
    finally:
        os.unlink(f.name)


class BenchTableTest(unittest.TestCase):
    def rows(self, benchmarks):
        out = printed(TABLE, benchmarks)
        return [[c.strip() for c in line.split("|")[1:-1]] for line in out.splitlines()
                if line.startswith("| ") and not line.startswith("| setting") and not line.startswith("| job")]

    def test_adapter_ratio_at_and_beyond_its_limit(self):
        rows = self.rows([entry("lv2/A/256", 256 * 1.05), entry("direct/A/256", 256.0),
                          entry("lv2/B/256", 256 * 1.06), entry("direct/B/256", 256.0),
                          entry("lv2/B/256", 1.0, "mean")])  # a mean is never read
        self.assertEqual([r[0] for r in rows], ["A", "B"])
        self.assertEqual(rows[0][4:], ["1.05", "met (≤1.05)"])
        self.assertEqual(rows[1][4:], ["1.06", "missed (≤1.05)"])

    def test_the_fastest_repetition_counts_where_there_are_repetitions(self):
        def repetition(name, cpu_ns):
            return {"name": name, "run_name": name, "run_type": "iteration", "cpu_time": cpu_ns, "time_unit": "ns"}
        rows = self.rows([repetition("lv2/A/256", 300.0), repetition("lv2/A/256", 262.0), repetition("lv2/A/256", 270.0),
                          repetition("direct/A/256", 250.0), repetition("direct/A/256", 256.0),
                          entry("lv2/A/256", 270.0), entry("direct/A/256", 256.0)])  # medians, not read here
        self.assertEqual(rows, [["A", "1.02", "0.98", "–", "1.05", "met (≤1.05)"]])

    def test_peer_rows_judge_both_smoothing_settings(self):
        per_run = lambda ns: 64 * ns  # the table divides by the block
        rows = self.rows([entry("peers/ours/Plain/64", per_run(0.9)), entry("peers/ours-smoothing-off/Plain/64", per_run(1.1)),
                          entry("peers/x42/Plain/64", per_run(1.0)), entry("peers/module-direct/Plain/64", per_run(0.5)),
                          entry("peers/ours/Feedback/64", per_run(1.0)),
                          entry("peers/ours-smoothing-off/Feedback/64", per_run(0.8)),
                          entry("peers/calf/Feedback/64", per_run(1.0))])
        by_peer = {r[2]: r for r in rows}
        self.assertEqual(sorted(by_peer), ["calf", "x42"])  # the floor is no peer
        self.assertEqual(by_peer["x42"][4:], ["0.90", "0.90", "1.10", "1.10", "0.50", "missed (≤1.0)"])
        self.assertEqual(by_peer["calf"][4:], ["1.00", "1.00", "0.80", "0.80", "–", "met (≤1.0)"])


if __name__ == "__main__":
    unittest.main()
