#!/usr/bin/env python3
"""The installed bundle through Debian's LV2 tools: installed by `cmake --install` (into a prefix and into a
home's ~/.lv2), validated by lv2_validate, found by lv2ls, described by lv2info exactly as the table below
says, and rendered by lv2apply bit for bit as `er-render --block 1` renders the same settings (lv2apply runs
the plug-in one frame per run, with no host features).

Usage: check_bundle.py BUILD_DIR ER_RENDER        Ends with "N passed, N failed".
"""
import array
import os
import re
import struct
import subprocess
import sys
import tempfile

URI = "urn:early-reflection:ZV_1x_ER_Gen"
FILES = ["manifest.ttl", "early_reflection.ttl", "early_reflection_lv2.so"]

LIST = "http://lv2plug.in/ns/lv2core#"
OPTIONAL, TOGGLED, INTEGER, ENUMERATION = (LIST + p for p in ("connectionOptional", "toggled", "integer",
                                                             "enumeration"))
TRIGGER = "http://lv2plug.in/ns/ext/port-props#trigger"
MAX_DELAYS = ["10.920", "5.460", "2.730", "1.360", "0.680", "0.340", "0.170", "0.085 (4096sm)", "0.040 (2048sm)",
              "0.020 (1024sm)", "0.010 (512sm)", "0.005 (256sm)"]

# index: (symbol, name, (minimum, maximum, default) or None for audio, {value: label}, properties)
PORTS = {
    0: ("audio_in", "Audio_In", None, {}, set()),
    1: ("active", "Active", (0, 1, 1), {0: "OFF", 1: "ON"}, {OPTIONAL, TOGGLED, INTEGER}),
    2: ("feedback", "Feedback +/-10", (-10, 10, 0), {}, {OPTIONAL}),
    3: ("damping", "Damping 0-10", (0, 10, 0), {}, {OPTIONAL}),
    4: ("routing_mode", "Damping/Feedback Mode", (0, 3, 1),
        {0: "Tap1", 1: "Input+Tap1", 2: "Output", 3: "Input+Output"}, {OPTIONAL, INTEGER, ENUMERATION}),
    5: ("out", "Out", None, {}, set()),
    6: ("time_accuracy", "Time Accuracy", (0, 2, 0), {0: "Sample", 1: "Fraction(Econ)", 2: "Fraction(Full)"},
        {OPTIONAL, INTEGER, ENUMERATION}),
    7: ("time_mode", "Time Mode", (0, 2, 1), {0: "Time(s)", 1: "Time(ms)", 2: "Samples"},
        {OPTIONAL, INTEGER, ENUMERATION}),
    8: ("time", "1 Time", (0, 100, 100), {}, {OPTIONAL}),
    9: ("volume", "1 Volume 10=100%", (0, 10, 10), {}, {OPTIONAL}),
    10: ("max_delay", "Max Delay(s)", (0, 11, 8), dict(enumerate(MAX_DELAYS)), {OPTIONAL, INTEGER, ENUMERATION}),
    11: ("volume_mode", "Volume Mode", (0, 1, 0), {0: "Linear", 1: "Analogue"}, {OPTIONAL, INTEGER, ENUMERATION}),
    12: ("mono_mode", "Midi_to_CV:Mono Mode(Poly Reset)", (0, 1, 0), {1: "On", 0: "Off"},
         {OPTIONAL, INTEGER, ENUMERATION}),
    13: ("gate", "Midi_to_CV:Gate(Poly Reset)", (0, 10, 0), {}, {OPTIONAL, TRIGGER}),
}
NAMES = {symbol: name for symbol, name, *_ in PORTS.values()}

# (rate, {symbol: value}): every routing variant, the three time accuracies and modes, a Max Delay other than
# the default (also one the tap overruns, so that the line wraps), both volume modes, switched off, band edges.
RENDERS = [
    (44100, {"time": 25, "feedback": 4, "damping": 3}),
    (44100, {"time": 25, "routing_mode": 0}),
    (44100, {"time": 12.375, "routing_mode": 0, "feedback": -6, "damping": 2.5}),
    (44100, {"time": 12.375, "routing_mode": 2, "feedback": 5, "damping": 1, "volume": 7.5}),
    (44100, {"time": 12.375, "routing_mode": 3, "feedback": 2, "damping": 8, "volume_mode": 1, "volume": 9}),
    (44100, {"time": 12.375, "time_accuracy": 1, "feedback": 4, "damping": 3}),
    (44100, {"time": 12.375, "time_accuracy": 2, "routing_mode": 2, "feedback": 3}),
    (44100, {"time": 12.375, "time_accuracy": 1, "routing_mode": 0}),
    (44100, {"time": 37.5, "time_mode": 2, "time_accuracy": 1, "routing_mode": 0, "feedback": 7}),
    (44100, {"time": 0.015625, "time_mode": 0, "max_delay": 6, "feedback": 5}),
    (44100, {"time": 25, "max_delay": 10, "feedback": 3, "routing_mode": 0}),
    (44100, {"time": 25, "feedback": 4, "active": 0}),
    (8000, {"time": 25, "feedback": 4, "damping": 3}),
    (48000, {"time": 25, "max_delay": 11, "routing_mode": 2, "feedback": 5}),
    (96000, {"time": 12.375, "time_accuracy": 1, "feedback": 4, "damping": 3}),
    (384000, {"time": 2.5, "max_delay": 9, "routing_mode": 3, "feedback": 5, "damping": 5}),
]
SECONDS = "0.25"


class Checks:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, ok, what, detail=""):
        if ok:
            self.passed += 1
            print(f"ok    {what}")
        else:
            self.failed += 1
            print(f"FAIL  {what}\n{detail}".rstrip())
        return ok


def run(args, env=None):
    result = subprocess.run(args, capture_output=True, text=True, env=env)
    return result.returncode, result.stdout + result.stderr


def install(build, prefix):
    """The bundle installed into PREFIX/lib/lv2 by cmake; (exit code, output, bundle folder)."""
    code, out = run(["cmake", "--install", build, "--prefix", prefix, "--component", "lv2"])
    return code, out, os.path.join(prefix, "lib", "lv2", "early_reflection.lv2")


def er_render_settings(controls):
    """er-render's --set arguments for LV2 port values {symbol: value}: the same plain values."""
    args = []
    for symbol, value in controls.items():
        args += ["--set", f"{NAMES[symbol]}={value}"]
    return args


def read_wav(path):
    """(format, channels, rate, [samples per channel]): format 'f' (32-bit float) or 'h' (16-bit integer)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError(f"{path}: not a WAV file")
    position, fmt = 12, None
    while position + 8 <= len(data):
        chunk, size = data[position:position + 4], struct.unpack("<I", data[position + 4:position + 8])[0]
        body = data[position + 8:position + 8 + size]
        if chunk == b"fmt ":
            tag, channels, rate = struct.unpack("<HHI", body[:8])
            bits = struct.unpack("<H", body[14:16])[0]
            if tag == 0xFFFE:
                tag = struct.unpack("<H", body[24:26])[0]
            fmt = {(3, 32): "f", (1, 16): "h"}.get((tag, bits))
            if fmt is None:
                raise ValueError(f"{path}: format tag {tag} with {bits} bits")
        elif chunk == b"data" and fmt:
            samples = array.array(fmt)
            samples.frombytes(body[:len(body) // samples.itemsize * samples.itemsize])
            return fmt, channels, rate, [samples[c::channels] for c in range(channels)]
        position += 8 + size + (size & 1)
    raise ValueError(f"{path}: no data")


def first_difference(a, b):
    """Index of the first sample whose bits differ, or of the shorter one's end; None when identical."""
    if a.typecode == "f":
        a, b = array.array("i", a.tobytes()), array.array("i", b.tobytes())
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return None if len(a) == len(b) else min(len(a), len(b))


def libsndfile_pcm16(y):
    """What libsndfile stores for a float written into 16-bit samples: the float product y x 32767, rounded to
    the nearest whole number, half to even (its read divides by 32768, so a round trip can move a sample by one
    step)."""
    product = struct.unpack("<f", struct.pack("<f", y * 32767.0))[0]
    return max(-32768, min(32767, round(product)))


def parse_lv2info(text):
    """{index: (symbol, name, (min, max, default) or None, {value: label}, properties)} from lv2info's text."""
    ports, port, key = {}, None, None
    for line in text.splitlines():
        match = re.match(r"^\tPort (\d+):$", line)
        if match:
            port = {"symbol": None, "name": None, "range": {}, "points": {}, "props": set()}
            ports[int(match.group(1))] = port
            continue
        if port is None:
            continue
        match = re.match(r"^\t\t(\w[\w ]*):\s*(.*)$", line)
        if match:
            key, value = match.group(1), match.group(2)
        elif re.match(r"^\t\t\s+\S", line):
            value = line.strip()
        else:
            continue
        point = re.match(r'^(-?[\d.]+) = "(.*)"$', value)
        if key == "Scale Points" and point:
            port["points"][int(float(point.group(1)))] = point.group(2)
        elif key == "Symbol":
            port["symbol"] = value
        elif key == "Name":
            port["name"] = value
        elif key in ("Minimum", "Maximum", "Default"):
            port["range"][key] = float(value)
        elif key == "Properties" and value:
            port["props"].add(value)
    return {
        index: (p["symbol"], p["name"],
                (p["range"]["Minimum"], p["range"]["Maximum"], p["range"]["Default"]) if p["range"] else None,
                p["points"], p["props"])
        for index, p in ports.items()
    }


def main():
    build, er_render = sys.argv[1], sys.argv[2]
    checks = Checks()
    with tempfile.TemporaryDirectory(prefix="er-lv2-") as work:
        prefix, home = os.path.join(work, "prefix"), os.path.join(work, "home")
        code, out, bundle = install(build, prefix)
        checks.check(code == 0 and all(os.path.isfile(os.path.join(bundle, f)) for f in FILES),
                     "cmake --install --prefix P puts the bundle into P/lib/lv2", out)
        os.makedirs(home)
        code, out = run(["cmake", "--install", build, "--component", "lv2"], dict(os.environ, HOME=home))
        checks.check(code == 0 and all(os.path.isfile(os.path.join(home, ".lv2", "early_reflection.lv2", f))
                                       for f in FILES), "cmake --install without a prefix puts it into ~/.lv2", out)

        ttl = [os.path.join(bundle, f) for f in FILES if f.endswith(".ttl")]
        code, out = run(["lv2_validate"] + ttl)
        checks.check(code == 0 and "Found 0 errors" in out and "Skipping file " + bundle not in out,
                     "lv2_validate: no errors", out)

        env = dict(os.environ, LV2_PATH=os.path.join(prefix, "lib", "lv2"))
        code, out = run(["lv2ls"], env)
        checks.check(code == 0 and URI in out.split(), "lv2ls lists " + URI, out)
        code, out = run(["lv2info", URI], env)
        described = parse_lv2info(out)
        for index, expected in PORTS.items():
            checks.check(described.get(index) == expected, f"lv2info port {index} ({expected[0]})",
                         f"  expected {expected}\n  found    {described.get(index)}")
        checks.check(sorted(described) == sorted(PORTS), "lv2info: fourteen ports, no others", out)

        signals = {}
        for number, (rate, controls) in enumerate(RENDERS):
            if rate not in signals:
                signals[rate] = os.path.join(work, f"in-{rate}.au")
                run([er_render, "--test-signal", SECONDS, signals[rate], "--format", "float", "--rate", str(rate)])
            ours, theirs = os.path.join(work, f"lv2-{number}.au"), os.path.join(work, f"er-{number}.au")
            lv2_args = ["lv2apply", "-i", signals[rate], "-o", ours]
            er_args = [er_render, signals[rate], theirs, "--block", "1", "--tail", "0"] + er_render_settings(controls)
            for symbol, value in controls.items():
                lv2_args += ["-c", symbol, repr(value)]
            code_lv2, out_lv2 = run(lv2_args + [URI], env)
            code_er, out_er = run(er_args)
            same = code_lv2 == 0 and code_er == 0 and open(ours, "rb").read() == open(theirs, "rb").read()
            checks.check(same, f"lv2apply = er-render --block 1 at {rate} Hz: {controls}",
                         out_lv2 + out_er)
        # A 16-bit file: lv2apply writes the plug-in's floats through libsndfile (x 32767, rounded), where
        # er-render --dither none scales by 32768 so that a 16-bit sample survives unchanged: the same floats
        # give samples at most one step apart, and exactly libsndfile's where er-render writes float.
        signal16, ours16 = os.path.join(work, "in-16.wav"), os.path.join(work, "lv2-16.wav")
        run([er_render, "--test-signal", SECONDS, signal16, "--format", "pcm16", "--rate", "44100"])
        settings16 = RENDERS[0][1]
        code_lv2, out_lv2 = run(["lv2apply", "-i", signal16, "-o", ours16]
                                + [a for s, v in settings16.items() for a in ("-c", s, repr(v))] + [URI], env)
        er16, er_float = os.path.join(work, "er-16.wav"), os.path.join(work, "er-16-float.wav")
        common = [er_render, signal16, "--block", "1", "--tail", "0"] + er_render_settings(settings16)
        code_er = run(common[:2] + [er16] + common[2:] + ["--dither", "none"])[0] | run(
            common[:2] + [er_float] + common[2:] + ["--format", "float"])[0]
        if code_lv2 == 0 and code_er == 0:
            host16, ours_dither_off = read_wav(ours16)[3][0], read_wav(er16)[3][0]
            floats = read_wav(er_float)[3][0]
            checks.check(first_difference(host16, array.array("h", map(libsndfile_pcm16, floats))) is None,
                         "lv2apply on a 16-bit file = er-render's floats written as libsndfile writes them")
            steps = max(abs(a - b) for a, b in zip(host16, ours_dither_off))
            checks.check(len(host16) == len(ours_dither_off) and steps <= 1,
                         f"lv2apply on a 16-bit file and er-render --dither none differ by at most one step "
                         f"(here {steps})")
        else:
            checks.check(False, "16-bit renders", out_lv2)
        # The comparison can tell: at another block size the damping state rounds at other samples.
        other = os.path.join(work, "er-block64.au")
        run([er_render, signals[44100], other, "--block", "64", "--tail", "0", "--set", "1 Time=25",
             "--set", "Feedback +/-10=4", "--set", "Damping 0-10=3"])
        checks.check(open(other, "rb").read() != open(os.path.join(work, "lv2-0.au"), "rb").read(),
                     "er-render --block 64 differs from lv2apply's one-frame runs (the comparison is sharp)")
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
