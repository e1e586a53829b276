#!/usr/bin/env python3
"""The table from er_daw_bench's JSON output (the fastest of the repetitions): for each job and block, the LV2
plug-in through lilv, the CLAP and the VST3 plug-in through the test host, CPU time in ns per frame, and each DAW
format's ratio to LV2 (target: at most 1.05).

Usage: daw_table.py RESULTS.json
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lv2_table import results  # noqa: E402  (one reading of a result file for every table)

TARGET = 1.05
FORMATS = ("clap", "vst3")


def table(found):
    """A Markdown table: one row per job and block that LV2 and at least one DAW format ran."""
    fmt = "{:.2f}".format
    lines = ["| job | block | LV2 | CLAP | CLAP / LV2 | VST3 | VST3 / LV2 | target |",
             "|---|---|---|---|---|---|---|---|"]
    rows = sorted({(job, block) for (_, who, job, block) in found if who == "lv2"})
    for job, block in rows:
        lv2 = found[("adapter", "lv2", job, block)]
        cells, verdicts = [], []
        for who in FORMATS:
            ns = found.get(("adapter", who, job, block))
            if ns is None:
                cells += ["–", "–"]
                continue
            cells += [fmt(ns), fmt(ns / lv2)]
            verdicts.append(ns / lv2 <= TARGET)
        if not verdicts:
            continue
        verdict = "met" if all(verdicts) else "missed"
        lines.append(f"| {job} | {block} | {fmt(lv2)} | {' | '.join(cells)} | {verdict} (≤{TARGET}) |")
    return "\n".join(lines)


def main():
    print(table(results(sys.argv[1])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
