#!/usr/bin/env python3
"""Checks table.py on a small made-up result file: medians taken from repeated runs, the best peer chosen, the
right floor per variant, and each routine's targets judged."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def run(name, ns, aggregate=None, **extra):
    entry = {"name": name + (f"_{aggregate}" if aggregate else ""), "run_name": name, "real_time": 1.0,
             "time_unit": "ns", "ns/sample": ns * 1e-9, **extra}
    if aggregate:
        entry.update(run_type="aggregate", aggregate_name=aggregate, repetitions=3)
    else:
        entry.update(run_type="iteration", repetitions=1)
    return entry


def case(who, routine, ns, aggregate="median"):
    return run(f"{who}/{routine}/block:256/buffer:2048/k:10", ns, aggregate)


class TableTest(unittest.TestCase):
    def table(self, benchmarks):
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump({"context": {"host_name": "test"}, "benchmarks": benchmarks}, f)
        try:
            out = subprocess.run([sys.executable, os.path.join(HERE, "table.py"), f.name], check=True,
                                 capture_output=True, text=True).stdout
        finally:
            os.unlink(f.name)
        return {line.split("|")[1].strip(): [c.strip() for c in line.split("|")[1:-1]]
                for line in out.splitlines() if line.startswith("| Process")}

    def test_takes_the_median_and_the_fastest_peer(self):
        rows = self.table([
            case("ours", "ProcessSampleTapFeedback", 9.0, "mean"),
            case("ours", "ProcessSampleTapFeedback", 2.0),
            case("stk", "ProcessSampleTapFeedback", 4.0),
            case("faust", "ProcessSampleTapFeedback", 3.0),
            run("floor/recurrence3/block:256", 1.9, "median"),
        ])
        row = rows["ProcessSampleTapFeedback"]
        self.assertEqual(row[2], "2.00")
        self.assertEqual(row[3], "3.00 faust")
        self.assertEqual(row[4], "1.90 recurrence3")
        self.assertEqual(row[8], "met")  # 2.0 <= 1.1 x 1.9 and <= 0.7 x 3.0

    def test_judges_each_group_by_its_own_targets(self):
        rows = self.table([
            case("ours", "ProcessSampleInputTapFeedback", 3.0),
            case("faust", "ProcessSampleInputTapFeedback", 4.0),
            run("floor/recurrence5/block:256", 2.0, "median"),
            case("ours", "ProcessFractionEconInputTapFeedback", 3.2),
            case("ours", "ProcessFractionFullInputTapFeedback", 4.6),
            case("stk", "ProcessFractionFullInputTapFeedback", 5.0),
            case("ours", "ProcessSamplePlain", 0.5),
            case("faust", "ProcessSamplePlain", 0.5),
        ])
        self.assertEqual(rows["ProcessSampleInputTapFeedback"][4], "2.00 recurrence5")
        self.assertEqual(rows["ProcessSampleInputTapFeedback"][8], "missed ≤1.1x floor, ≤0.7x peer")
        self.assertEqual(rows["ProcessFractionEconInputTapFeedback"][7], "1.07")
        self.assertEqual(rows["ProcessFractionEconInputTapFeedback"][8], "met")
        self.assertEqual(rows["ProcessFractionFullInputTapFeedback"][8], "missed ≤1.5x Sample, ≤0.85x peer")
        self.assertEqual(rows["ProcessSamplePlain"][8], "missed ≤0.85x peer")

    def per_call(self, benchmarks):
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump({"context": {}, "benchmarks": benchmarks}, f)
        try:
            out = subprocess.run([sys.executable, os.path.join(HERE, "table.py"), f.name], check=True,
                                 capture_output=True, text=True).stdout
        finally:
            os.unlink(f.name)
        rows = [line for line in out[out.index("Per call"):].splitlines() if line.startswith("| Process")]
        return {line.split("|")[1].strip(): [c.strip() for c in line.split("|")[1:-1]] for line in rows}

    def test_per_call_overhead_and_small_block_targets(self):
        def at(who, routine, block, ns):
            return run(f"{who}/{routine}/block:{block}/buffer:2048/k:10", ns, "median")
        rows = self.per_call([
            at("ours", "ProcessSamplePlain", 32, 0.80), at("ours", "ProcessSamplePlain", 4096, 0.50),
            at("faust", "ProcessSamplePlain", 32, 1.00),
            at("ours", "ProcessSampleTapFeedback", 32, 3.40), at("ours", "ProcessSampleTapFeedback", 4096, 3.00),
            at("ours", "ProcessSampleTapFeedback", 256, 3.00),
            at("ours", "ProcessFractionFullTapFeedback", 32, 3.80),
            at("ours", "ProcessFractionFullTapFeedback", 256, 3.50),
            at("ours", "ProcessFractionFullTapFeedback", 4096, 3.50),
        ])
        plain = rows["ProcessSamplePlain"]
        self.assertEqual(plain[4], "9.6")  # (0.80 - 0.50) x 32
        self.assertEqual(plain[5], "0.80")
        self.assertEqual(plain[9], "met")
        full = rows["ProcessFractionFullTapFeedback"]
        self.assertEqual(full[4], "9.6")
        self.assertEqual(full[6:9], ["1.12", "1.17", "1.17"])
        self.assertEqual(full[9], "met")
        self.assertEqual(rows["ProcessSampleTapFeedback"][4], "12.8")
        self.assertEqual(rows["ProcessSampleTapFeedback"][9], "missed ≤10 ns per call")

    def test_single_runs_are_read_when_not_repeated(self):
        rows = self.table([case("ours", "ProcessSamplePlain", 0.4, None), case("stk", "ProcessSamplePlain", 1.0, None)])
        self.assertEqual(rows["ProcessSamplePlain"][5], "0.40")
        self.assertEqual(rows["ProcessSamplePlain"][8], "met")


if __name__ == "__main__":
    unittest.main()
