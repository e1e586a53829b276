#!/usr/bin/env python3
"""Tables from er_lv2_bench's JSON output (medians where it has repetitions): the adapter's cost against the
module called directly, for every setting at block 256 (target: plug-in at most 1.05x direct), and the plug-in
against the peer plug-ins on the same job at every block (target: at most 1.0x the peer). CPU time, ns per
sample.

Usage: bench_table.py RESULTS.json
"""
import json
import sys
from collections import defaultdict


def results(path):
    """{(group, who, job, block): ns per sample}, medians where repetitions were aggregated."""
    with open(path) as f:
        benchmarks = json.load(f)["benchmarks"]
    aggregated = any(b.get("run_type") == "aggregate" for b in benchmarks)
    found = {}
    for b in benchmarks:
        if "error_occurred" in b and b["error_occurred"]:
            continue
        if aggregated and b.get("aggregate_name") != "median":
            continue
        name = b.get("run_name", b["name"])
        parts = name.split("/")
        block = int(parts[-1])
        ns = b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[b.get("time_unit", "ns")] / block
        if parts[0] == "peers":
            found[("peers", parts[1], parts[2], block)] = ns
        else:
            found[("adapter", parts[0], parts[1], block)] = ns
    return found


def main():
    found = results(sys.argv[1])
    fmt = "{:.2f}".format
    print("| setting (routine) | plug-in via lilv | module direct | substitute host | plug-in / direct | target |")
    print("|---|---|---|---|---|---|")
    settings = sorted({job for group, who, job, block in found if group == "adapter" and block == 256})
    for job in settings:
        lv2, direct, host = (found.get(("adapter", who, job, 256)) for who in ("lv2", "direct", "host"))
        if lv2 is None or direct is None:
            continue
        ratio = lv2 / direct
        verdict = "met" if ratio <= 1.05 else "missed"
        print(f"| {job} | {fmt(lv2)} | {fmt(direct)} | {fmt(host) if host else '–'} | {fmt(ratio)} | "
              f"{verdict} (≤1.05) |")
    print()
    print("| job | block | ours | peer | peer's | ours / peer | target |")
    print("|---|---|---|---|---|---|---|")
    peers = defaultdict(dict)
    for (group, who, job, block), ns in found.items():
        if group == "peers":
            peers[(job, block)][who] = ns
    for (job, block) in sorted(peers):
        row = peers[(job, block)]
        ours = row.get("ours")
        for who, ns in sorted(row.items()):
            if who == "ours" or ours is None:
                continue
            ratio = ours / ns
            print(f"| {job} | {block} | {fmt(ours)} | {who} | {fmt(ns)} | {fmt(ratio)} | "
                  f"{'met' if ratio <= 1.0 else 'missed'} (≤1.0) |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
