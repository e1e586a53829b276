#!/usr/bin/env python3
"""Turns er_bench's JSON output into one markdown table: routine x (ours, best peer, floor) in ns/sample,
with the ratios and the targets of the routine, plus the control path.

Usage: table.py RESULTS.json [--block 256] [--buffer 2048] [--k K]
"""
import argparse
import json
import re
import sys

VARIANTS = ["Plain", "TapFeedback", "InputTapFeedback", "OutputFeedback", "InputOutputFeedback"]
GROUPS = ["Sample", "FractionEcon", "FractionFull"]
NAME = re.compile(r"^(?P<who>[a-z]+)/(?P<job>[A-Za-z0-9-]+)(?P<rest>(/[a-z-]+:\d+)*)$")


def load(path):
    """{(who, job, params): seconds per sample or per iteration}, medians when the run was repeated."""
    with open(path) as f:
        data = json.load(f)
    results, allocations, repeated = {}, {}, set()
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") != "median":
                continue
            name = b["run_name"]
            repeated.add(name)
        elif b["run_name"] in repeated or b.get("repetitions", 1) > 1:
            continue
        else:
            name = b["run_name"]
        name = re.sub(r"/manual_time$", "", name)
        m = NAME.match(name)
        if not m:
            continue
        params = dict(p.split(":") for p in m.group("rest").strip("/").split("/") if p)
        key = (m.group("who"), m.group("job"), tuple(sorted((k, int(v)) for k, v in params.items())))
        if "allocations/call" in b:
            allocations[key] = b["allocations/call"]
        if "ns/sample" in b:
            results[key] = b["ns/sample"] * 1e9
        else:
            results[key] = b["real_time"] * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return data.get("context", {}), results, allocations


def fmt(value):
    if value is None:
        return "–"
    return f"{value:.2f}" if value < 100 else f"{value:.0f}"


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


SMALL, LARGE = 32, 4096
FULL_BLOCKS = (32, 256, 4096)


def per_call_table(get, buffer, ks):
    """What a call costs beyond its samples: the time of a block of 32 minus 32 samples at the rate of a block of
    4096, and the targets that depend on small blocks."""
    rows = []
    for k in ks:
        for group in GROUPS:
            for variant in VARIANTS:
                routine = f"Process{group}{variant}"
                small = get("ours", routine, block=SMALL, buffer=buffer, k=k)
                large = get("ours", routine, block=LARGE, buffer=buffer, k=k)
                if small is None or large is None:
                    continue
                overhead = (small - large) * SMALL
                peers = [v for v in (get(w, routine, block=SMALL, buffer=buffer, k=k) for w in ("stk", "faust"))
                         if v is not None]
                q_peer = ratio(small, min(peers)) if peers else None
                vs_sample = [ratio(get("ours", routine, block=b, buffer=buffer, k=k),
                                   get("ours", f"ProcessSample{variant}", block=b, buffer=buffer, k=k))
                             for b in FULL_BLOCKS]
                checks = [("≤10 ns per call", overhead, 10.0)]
                if variant == "Plain" and group in ("Sample", "FractionEcon"):
                    checks.append((f"≤0.85x peer at {SMALL}", q_peer, 0.85))
                if variant != "Plain" and group == "FractionFull":
                    checks += [(f"≤1.2x Sample at {b}", q, 1.2) for b, q in zip(FULL_BLOCKS, vs_sample)]
                missed = [label for label, q, limit in checks if q is None or q > limit]
                verdict = "met" if not missed else "missed " + ", ".join(missed)
                rows.append(f"| {routine} | {k} | {fmt(small)} | {fmt(large)} | {overhead:.1f} | {fmt(q_peer)} | "
                            + " | ".join(fmt(q) if group != "Sample" else "–" for q in vs_sample) + f" | {verdict} |")
    if not rows:
        return
    print()
    print(f"Per call, delay line {buffer} samples: ns per sample at blocks {SMALL} and {LARGE}; overhead = "
          f"(ns/sample at {SMALL} - ns/sample at {LARGE}) x {SMALL}, in ns per call.")
    print()
    print(f"| routine | k | ours {SMALL} | ours {LARGE} | ns per call | ours/peer {SMALL} | "
          + " | ".join(f"ours/Sample {b}" for b in FULL_BLOCKS) + " | target |")
    print("|---|---|---|---|---|---|" + "---|" * len(FULL_BLOCKS) + "---|")
    for row in rows:
        print(row)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("json")
    parser.add_argument("--block", type=int, default=256)
    parser.add_argument("--buffer", type=int, default=2048)
    parser.add_argument("--k", type=int, help="only this whole-sample delay (default: every one measured)")
    args = parser.parse_args()
    context, r, allocations = load(args.json)

    def get(who, job, **params):
        return r.get((who, job, tuple(sorted(params.items()))))

    block = args.block
    floors = {f: get("floor", f, block=block) for f in ("memcpy", "memset", "recurrence3", "recurrence5")}
    ks = sorted({dict(key[2]).get("k") for key in r if key[0] == "ours" and dict(key[2]).get("k") is not None})
    if args.k is not None:
        ks = [k for k in ks if k == args.k]

    print(f"Block {block}, delay line {args.buffer} samples; ns per sample (CPU time); "
          f"machine: {context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs at "
          f"{context.get('mhz_per_cpu', '?')} MHz, {context.get('library_build_type', '?')} libbenchmark.")
    print()
    print("| routine | k | ours | best peer | floor | ours/peer | ours/floor | ours/Sample | target |")
    print("|---|---|---|---|---|---|---|---|---|")
    silence = get("ours", "ProcessSilence", block=block)
    if silence is not None:
        q = ratio(silence, floors["memset"])
        verdict = "–" if q is None else ("met" if q <= 2 else "missed") + " (≤2x memset)"
        print(f"| ProcessSilence | – | {fmt(silence)} | – | {fmt(floors['memset'])} memset | – | "
              f"{fmt(q)} | – | {verdict} |")
    for k in ks:
        for group in GROUPS:
            for vi, variant in enumerate(VARIANTS):
                routine = f"Process{group}{variant}"
                p = dict(block=block, buffer=args.buffer, k=k)
                ours = get("ours", routine, **p)
                if ours is None:
                    continue
                peers = {who: get(who, routine, **p) for who in ("stk", "faust")}
                peers = {w: v for w, v in peers.items() if v is not None}
                best = min(peers.items(), key=lambda wv: wv[1]) if peers else (None, None)
                floor_name = "memcpy" if vi == 0 else ("recurrence3" if variant in ("TapFeedback", "OutputFeedback")
                                                       else "recurrence5")
                floor = floors[floor_name]
                sample = get("ours", f"ProcessSample{variant}", **p)
                q_peer, q_floor = ratio(ours, best[1]), ratio(ours, floor)
                q_sample = ratio(ours, sample) if group != "Sample" else None
                checks = []
                if group == "Sample" and vi == 0:
                    checks.append(("≤0.85x peer", q_peer, 0.85))
                elif group == "Sample":
                    checks += [("≤1.1x floor", q_floor, 1.1), ("≤0.7x peer", q_peer, 0.7)]
                elif group == "FractionEcon":
                    checks.append(("≤1.1x Sample", q_sample, 1.1))
                else:
                    checks += [("≤1.5x Sample", q_sample, 1.5), ("≤0.85x peer", q_peer, 0.85)]
                missed = [label for label, q, limit in checks if q is None or q > limit]
                verdict = "met" if not missed else "missed " + ", ".join(missed)
                peer_text = f"{fmt(best[1])} {best[0]}" if best[0] else "–"
                print(f"| {routine} | {k} | {fmt(ours)} | {peer_text} | {fmt(floor)} {floor_name} | "
                      f"{fmt(q_peer)} | {fmt(q_floor)} | {fmt(q_sample)} | {verdict} |")

    per_call_table(get, args.buffer, ks)

    control = sorted((key, v) for key, v in r.items() if key[0] == "control")
    if control:
        print()
        print("| control path | ns per notification | allocations | target |")
        print("|---|---|---|---|")
        limits = {"pin-change": 1000, "switch-on": 50000, "gate": 50000}  # ns per notification
        for (who, job, params), v in control:
            label = job + "".join(f" {k} {val}" for k, val in params)
            if job.endswith("-pass"):
                label += " (ns per sample)"
            limit = next((n for prefix, n in limits.items() if job.startswith(prefix)), None)
            target = "–" if limit is None else ("met" if v <= limit else "missed") + f" (≤{limit})"
            allocs = allocations.get((who, job, params))
            print(f"| {label} | {fmt(v)} | {'–' if allocs is None else f'{allocs:g}'} | {target} |")

    if allocations:
        processing = [v for key, v in allocations.items() if key[0] == "ours"]
        if processing:
            print()
            print(f"Allocations per processing call: at most {max(processing):g} over {len(processing)} cases.")


if __name__ == "__main__":
    sys.exit(main())
