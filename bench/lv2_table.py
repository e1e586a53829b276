#!/usr/bin/env python3
"""Tables from er_lv2_bench's JSON output (the fastest of the repetitions): the adapter's cost against the
module called directly, for every setting at block 256 (target: plug-in at most 1.05x direct), and the plug-in,
with "Smooth changes" on (its default) and off, against the peer plug-ins on the same job at every block
(target: at most 1.0x the peer, both ways). CPU time, ns per sample.

Usage: lv2_table.py RESULTS.json
"""
import json
import sys
from collections import defaultdict


def results(path):
    """{(group, who, job, block): ns per sample}: the fastest repetition where the file has each one (the least
    disturbed by whatever else the machine runs: a disturbance only ever adds time), else the median of the
    aggregates, else the one run."""
    with open(path) as f:
        benchmarks = [b for b in json.load(f)["benchmarks"] if not b.get("error_occurred")]
    repetitions = any(b.get("run_type") == "iteration" for b in benchmarks)
    aggregated = any(b.get("run_type") == "aggregate" for b in benchmarks)
    found = {}
    for b in benchmarks:
        if repetitions and b.get("run_type") != "iteration":
            continue
        if not repetitions and aggregated and b.get("aggregate_name") != "median":
            continue
        name = b.get("run_name", b["name"])
        parts = name.split("/")
        block = int(parts[-1])
        ns = b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[b.get("time_unit", "ns")] / block
        key = ("peers", parts[1], parts[2], block) if parts[0] == "peers" else ("adapter", parts[0], parts[1], block)
        found[key] = min(ns, found.get(key, ns))
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
    print(peer_table(found))
    return 0


OURS = ("ours", "ours-smoothing-off")
FLOOR = "module-direct"  # the module's routine alone on the job: what no adapter can go below


def peer_table(found):
    """The plug-in (smoothing on, off) against each peer on the same job and block, as a Markdown table."""
    fmt = "{:.2f}".format
    lines = ["| job | block | peer | peer's | ours, smoothing on | on / peer | ours, smoothing off | off / peer | "
             "module direct | target |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    peers = defaultdict(dict)
    for (group, who, job, block), ns in found.items():
        if group == "peers":
            peers[(job, block)][who] = ns
    for (job, block) in sorted(peers):
        row = peers[(job, block)]
        on, off = (row.get(who) for who in OURS)
        floor = fmt(row[FLOOR]) if FLOOR in row else "–"
        for who, ns in sorted(row.items()):
            if who in OURS or who == FLOOR or on is None or off is None:
                continue
            met = max(on, off) / ns <= 1.0
            lines.append(f"| {job} | {block} | {who} | {fmt(ns)} | {fmt(on)} | {fmt(on / ns)} | {fmt(off)} | "
                         f"{fmt(off / ns)} | {floor} | {'met' if met else 'missed'} (≤1.0) |")
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
