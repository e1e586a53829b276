#!/usr/bin/env python3
"""The installed bundle through Debian's LV2 tools: installed by `cmake --install` (into a prefix and into a
home's ~/.lv2, the binary stripped), validated by lv2_validate, found by lv2ls, both plug-ins described by
lv2info exactly as the tables below say, their presets listed by lv2info and lv2file, rendered by lv2apply bit
for bit as `er-render --block 1` renders the same settings (lv2apply runs the plug-in one frame per run, with no
host features), run by lv2file (whose feature list holds an entry without a URI) and by GStreamer's default
pipeline (which starts the enable switch off: the input passes unchanged); the room plug-in described by lv2info,
rendered by lv2apply and lv2file bit for bit as `er-render --room` renders the same room at the same block size.

Usage: check_bundle.py BUILD_DIR ER_RENDER        Ends with "N passed, N failed".
"""
import array
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

URI = "urn:early-reflection:ZV_1x_ER_Gen"
STEREO_URI = URI + "_stereo"
ROOM_URI = URI + "_room"
BINARY = "early_reflection_lv2.so"
FILES = ["manifest.ttl", "early_reflection.ttl", "presets.ttl", BINARY]
PRESETS = ["damped-loop", "room", "slapback", "sweep"]

LIST = "http://lv2plug.in/ns/lv2core#"
OPTIONAL, TOGGLED, INTEGER, ENUMERATION = (LIST + p for p in ("connectionOptional", "toggled", "integer",
                                                             "enumeration"))
TRIGGER = "http://lv2plug.in/ns/ext/port-props#trigger"
NOT_ON_GUI = "http://lv2plug.in/ns/ext/port-props#notOnGUI"
ENABLED = "designation " + LIST + "enabled"
CENTER, LEFT, RIGHT = ("designation http://lv2plug.in/ns/ext/port-groups#" + side for side in ("center", "left", "right"))
MAX_DELAYS = ["10.920 s", "5.460 s", "2.730 s", "1.360 s", "0.680 s", "0.340 s", "0.170 s", "0.085 s (4096sm)",
              "0.040 s (2048sm)", "0.020 s (1024sm)", "0.010 s (512sm)", "0.005 s (256sm)"]

# index: (symbol, name, (minimum, maximum, default) or None for audio, {value: label}, properties)
PORTS = {
    0: ("audio_in", "Audio_In", None, {}, {CENTER}),
    1: ("active", "Active", (0, 1, 1), {0: "OFF", 1: "ON"}, {OPTIONAL, TOGGLED, INTEGER, ENABLED}),
    2: ("feedback", "Feedback", (-10, 10, 0), {}, {OPTIONAL}),
    3: ("damping", "Damping", (0, 10, 0), {}, {OPTIONAL}),
    4: ("routing_mode", "Feedback Routing", (0, 3, 1),
        {0: "Tap1", 1: "Input+Tap1", 2: "Output", 3: "Input+Output"}, {OPTIONAL, INTEGER, ENUMERATION}),
    5: ("out", "Out", None, {}, {CENTER}),
    6: ("time_accuracy", "Delay Accuracy", (0, 2, 0), {0: "Sample", 1: "Fraction(Econ)", 2: "Fraction(Full)"},
        {OPTIONAL, INTEGER, ENUMERATION}),
    7: ("time_mode", "Time Unit", (0, 2, 1), {0: "Time(s)", 1: "Time(ms)", 2: "Samples"},
        {OPTIONAL, INTEGER, ENUMERATION}),
    8: ("time", "Time", (0, 10920, 100), {}, {OPTIONAL}),
    9: ("volume", "Level", (0, 10, 10), {}, {OPTIONAL}),
    10: ("max_delay", "Line Length", (0, 11, 6), dict(enumerate(MAX_DELAYS)), {OPTIONAL, INTEGER, ENUMERATION}),
    11: ("volume_mode", "Level Law", (0, 1, 0), {0: "Linear", 1: "Analogue"}, {OPTIONAL, INTEGER, ENUMERATION}),
    12: ("mono_mode", "Mono Mode", (0, 1, 0), {1: "On", 0: "Off"},
         {OPTIONAL, INTEGER, ENUMERATION, NOT_ON_GUI}),
    13: ("gate", "Clear", (0, 10, 0), {}, {OPTIONAL, TRIGGER}),
    14: ("delay_samples", "Delay (samples)", (0, 4194304, 0), {}, {OPTIONAL}),
    15: ("delay_ms", "Delay (ms)", (0, 65536, 0), {}, {OPTIONAL}),
    16: ("smooth", "Smooth changes", (0, 1, 1), {}, {OPTIONAL, TOGGLED, INTEGER}),
    17: ("delay", "Delay", (0, 10920, 0), {}, {OPTIONAL}),
    18: ("mix", "Mix", (0, 100, 100), {}, {OPTIONAL}),
}
# The stereo plug-in: the same controls, the audio ports as left and right.
STEREO_PORTS = dict(PORTS)
STEREO_PORTS.update({
    0: ("audio_in", "Audio_In L", None, {}, {LEFT}),
    5: ("out", "Out L", None, {}, {LEFT}),
    19: ("audio_in_r", "Audio_In R", None, {}, {RIGHT}),
    20: ("out_r", "Out R", None, {}, {RIGHT}),
})
# The module's pin for each pin port's symbol, as er-render's --set names it (the plug-in shows other names).
PIN_NAMES = {"active": "Active", "feedback": "Feedback +/-10", "damping": "Damping 0-10",
             "routing_mode": "Damping/Feedback Mode", "time_accuracy": "Time Accuracy", "time_mode": "Time Mode",
             "time": "1 Time", "volume": "1 Volume 10=100%", "max_delay": "Max Delay(s)", "volume_mode": "Volume Mode",
             "mono_mode": "Midi_to_CV:Mono Mode(Poly Reset)", "gate": "Midi_to_CV:Gate(Poly Reset)"}
# The room plug-in: mono in, stereo out, the room's own controls.
ROOMS = {0: "booth", 1: "living", 2: "studio", 3: "hall", 4: "stairwell", 5: "tiled"}
ROOM_PORTS = {
    0: ("audio_in", "Audio_In", None, {}, {CENTER}),
    1: ("out_l", "Out L", None, {}, {LEFT}),
    2: ("out_r", "Out R", None, {}, {RIGHT}),
    3: ("room", "Room", (0, 5, 2), ROOMS, {OPTIONAL, INTEGER, ENUMERATION}),
    4: ("size", "Size", (0.25, 4, 1), {}, {OPTIONAL}),
    5: ("width", "Width", (0, 4, 1), {}, {OPTIONAL}),
    6: ("distance", "Source distance", (0.25, 2, 1), {}, {OPTIONAL}),
    7: ("brightness", "Brightness", (0.25, 4, 1), {}, {OPTIONAL}),
    8: ("dry", "Dry", (-70, 6, 0), {}, {OPTIONAL}),
    9: ("wet", "Wet", (-70, 6, -12), {}, {OPTIONAL}),
    10: ("smooth", "Smooth changes", (0, 1, 1), {}, {OPTIONAL, TOGGLED, INTEGER}),
    11: ("window", "Window", (0, 500, 0), {}, {OPTIONAL}),
}
# (rate, {symbol: value}, er-render's options): the room plug-in against er-render --room at one frame a block.
ROOM_RENDERS = [
    (44100, {"dry": -70, "wet": 0, "smooth": 0}, ["--room", "studio"]),
    (48000, {"room": 0, "size": 0.5, "dry": -70, "wet": 0}, ["--room", "booth", "--room-scale", "0.5"]),
    (44100, {"room": 3, "dry": -6, "wet": -3, "smooth": 0}, ["--room", "hall", "--dry", "-6", "--wet", "-3"]),
    # One ear: er-render writes one channel, the plug-in the same samples at both outputs.
    (48000, {"width": 0, "dry": -70, "wet": 0, "smooth": 0}, ["--room", "studio", "--room-width", "0"]),
    # A pattern by time: every reflection of the living room within 30 ms, orders up to 12.
    (48000, {"room": 1, "window": 30, "dry": -70, "wet": 0}, ["--room", "living", "--room-window", "30ms"]),
]

# (rate, {symbol: value}[, {er-render pin: value}]): every routing variant, the three time accuracies and modes, a Max Delay other than
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
    # Beyond the line the plug-in plays the whole line (the module alone would wrap to 78 samples)...
    (44100, {"time": 25, "max_delay": 10, "feedback": 3, "routing_mode": 0}, {"1 Time": "512smp"}),
    # ... and below one sample one sample (the module alone would play the whole line).
    (44100, {"time": 0.02, "max_delay": 10, "routing_mode": 0}, {"1 Time": "1smp"}),
    (44100, {"time": 0.5, "time_mode": 2, "time_accuracy": 1, "max_delay": 11, "routing_mode": 0}, {"1 Time": "1smp"}),
    (8000, {"time": 25, "feedback": 4, "damping": 3}),
    (48000, {"time": 25, "max_delay": 11, "routing_mode": 2, "feedback": 5}, {"1 Time": "256smp"}),
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


def er_render_settings(controls, overrides=None):
    """er-render's --set arguments for LV2 port values {symbol: value}: the same plain values; `overrides`
    {pin name: value} replaces some (where the plug-in keeps the delay within the line, er-render is asked for
    that delay)."""
    settings = {PIN_NAMES[symbol]: value for symbol, value in controls.items()}
    settings.update(overrides or {})
    args = []
    for name, value in settings.items():
        args += ["--set", f"{name}={value}"]
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


def samples(path):
    """The samples of a sound file as floats, through sox."""
    result = subprocess.run(["sox", path, "-t", "f32", "-"], capture_output=True)
    if result.returncode != 0:
        return []
    return list(struct.unpack(f"={len(result.stdout) // 4}f", result.stdout))


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
        elif key == "Designation" and value:
            port["props"].add("designation " + value)
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

        installed, built = os.path.join(bundle, BINARY), os.path.join(build, "lib", "lv2", "early_reflection.lv2", BINARY)
        code, out = run(["readelf", "-S", installed])
        code_built, out_built = run(["readelf", "-S", built])
        checks.check(code == 0 and ".debug_info" not in out and ".symtab" not in out and code_built == 0
                     and ".debug_info" in out_built and os.path.getsize(installed) < os.path.getsize(built),
                     "the installed binary is stripped (the build's keeps its debug information)",
                     f"installed {os.path.getsize(installed)} bytes, built {os.path.getsize(built)} bytes")

        env = dict(os.environ, LV2_PATH=os.path.join(prefix, "lib", "lv2"))
        code, out = run(["lv2ls"], env)
        checks.check(code == 0 and all(uri in out.split() for uri in (URI, STEREO_URI, ROOM_URI)),
                     "lv2ls lists the three plug-ins", out)
        code, out = run(["lv2info", ROOM_URI], env)
        described = parse_lv2info(out)
        checks.check(described == ROOM_PORTS and "Early Reflection Room" in out,
                     f"lv2info {ROOM_URI}: the room's ports", f"  expected {ROOM_PORTS}\n  found    {described}")
        listed = re.search(r"\tPresets: *\n((?:\t {9}\S.*\n)*)", out)
        checks.check(listed is not None and sorted(listed.group(1).split()) == sorted(ROOMS.values()),
                     f"lv2info {ROOM_URI}: a preset for each named room", out)
        for uri, table in ((URI, PORTS), (STEREO_URI, STEREO_PORTS)):
            code, out = run(["lv2info", uri], env)
            described = parse_lv2info(out)
            for index, expected in table.items():
                checks.check(described.get(index) == expected, f"lv2info {uri} port {index} ({expected[0]})",
                             f"  expected {expected}\n  found    {described.get(index)}")
            checks.check(sorted(described) == sorted(table), f"lv2info {uri}: {len(table)} ports, no others", out)
            listed = re.search(r"\tPresets: *\n((?:\t {9}\S.*\n)*)", out)
            checks.check(listed is not None and sorted(listed.group(1).split()) == PRESETS,
                         f"lv2info {uri}: the presets {PRESETS}", out)
            code, out = run(["lv2file", "-L", uri], env)
            checks.check(code == 0 and all(re.search(rf"\b{name}\b", out) for name in PRESETS),
                         f"lv2file -L {uri} lists the presets", out)

        signals = {}
        for number, (rate, controls, *override) in enumerate(RENDERS):
            if rate not in signals:
                signals[rate] = os.path.join(work, f"in-{rate}.au")
                run([er_render, "--test-signal", SECONDS, signals[rate], "--format", "float", "--rate", str(rate)])
            ours, theirs = os.path.join(work, f"lv2-{number}.au"), os.path.join(work, f"er-{number}.au")
            lv2_args = ["lv2apply", "-i", signals[rate], "-o", ours]
            er_args = [er_render, signals[rate], theirs, "--block", "1", "--tail", "0"] + er_render_settings(
                controls, override[0] if override else {})
            for symbol, value in controls.items():
                lv2_args += ["-c", symbol, repr(value)]
            code_lv2, out_lv2 = run(lv2_args + [URI], env)
            code_er, out_er = run(er_args)
            same = code_lv2 == 0 and code_er == 0 and open(ours, "rb").read() == open(theirs, "rb").read()
            checks.check(same, f"lv2apply = er-render --block 1 at {rate} Hz: {controls} {override}",
                         out_lv2 + out_er)
        # The room: lv2apply against er-render --room, every sample, both channels.
        for number, (rate, controls, options) in enumerate(ROOM_RENDERS):
            if rate not in signals:
                signals[rate] = os.path.join(work, f"in-{rate}.au")
                run([er_render, "--test-signal", SECONDS, signals[rate], "--format", "float", "--rate", str(rate)])
            ours, theirs = os.path.join(work, f"room-lv2-{number}.au"), os.path.join(work, f"room-er-{number}.au")
            lv2_args = ["lv2apply", "-i", signals[rate], "-o", ours]
            for symbol, value in controls.items():
                lv2_args += ["-c", symbol, repr(value)]
            code_lv2, out_lv2 = run(lv2_args + [ROOM_URI], env)
            code_er, out_er = run([er_render, signals[rate], theirs, "--block", "1", "--tail", "0", "-q"] + options)
            got, wanted = samples(ours) if code_lv2 == 0 else [], samples(theirs) if code_er == 0 else []
            if options[-2:] == ["--room-width", "0"]:
                wanted = [x for x in wanted for _ in range(2)]  # each of er-render's samples at both ears
            checks.check(len(got) == 2 * int(float(SECONDS) * rate) and got == wanted and any(got),
                         f"lv2apply of the room = er-render --block 1 {' '.join(options)} at {rate} Hz: {controls}",
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

        # Switched off ("Active", LV2's enable switch), the plug-in passes its input unchanged.
        bypassed = os.path.join(work, "bypassed.au")
        code, out = run(["lv2apply", "-i", signals[44100], "-o", bypassed, "-c", "active", "0", URI], env)
        checks.check(code == 0 and samples(bypassed) == samples(signals[44100]),
                     "lv2apply with active 0: the output is the input", out)

        # lv2file ends its feature list with an entry whose URI is null.
        wav_in, wav_out = os.path.join(work, "in.wav"), os.path.join(work, "lv2file.wav")
        run([er_render, "--test-signal", SECONDS, wav_in, "--format", "float", "--rate", "44100"])
        code, out = run(["lv2file", "-i", wav_in, "-o", wav_out, "-p", "time:25", URI], env)
        echo = samples(wav_out) if code == 0 and os.path.isfile(wav_out) else []
        checks.check(code == 0 and len(echo) == 11025 and any(echo) and all(map(math.isfinite, echo)),
                     "lv2file runs the plug-in", out)
        # The room in lv2file (blocks of 512 unless -b; its feature list ends with the odd entry) against er-render.
        for block in (None, 64):
            room_out, room_er = os.path.join(work, f"lv2file-room-{block}.wav"), os.path.join(work, f"er-room-{block}.wav")
            blocks = ["-b", str(block)] if block else []
            code, out = run(["lv2file", "-i", wav_in, "-o", room_out, "-p", "dry:-70", "-p", "wet:0", "-p", "smooth:0"]
                            + blocks + [ROOM_URI], env)
            code_er, out_er = run([er_render, wav_in, room_er, "--room", "studio", "--block", str(block or 512),
                                   "--tail", "0", "--format", "float", "-q"])
            got = samples(room_out) if code == 0 and os.path.isfile(room_out) else []
            checks.check(code_er == 0 and len(got) == 2 * 11025 and any(got) and got == samples(room_er),
                         f"lv2file runs the room in blocks of {block or 512} = er-render --room studio --block "
                         f"{block or 512}", out + out_er)

        # GStreamer's lv2 element starts every toggle off, "Active" too: its default pipeline passes the input
        # (it sounded silent before "Active" was the enable switch); with active=true the echo plays.
        if shutil.which("gst-launch-1.0"):
            gst_env = dict(env, GST_REGISTRY=os.path.join(work, "gst-registry.bin"))
            for extra, expected in (([], "input"), (["active=true"], "echo")):
                gst_out = os.path.join(work, f"gst-{len(extra)}.wav")
                code, out = run(["gst-launch-1.0", "-q", "filesrc", f"location={wav_in}", "!", "wavparse", "!",
                                 "audioconvert", "!", "urn-early-reflection-ZV-1x-ER-Gen"] + extra +
                                ["!", "audioconvert", "!", "audio/x-raw,format=F32LE", "!", "wavenc", "!",
                                 "filesink", f"location={gst_out}"], gst_env)
                got = samples(gst_out) if code == 0 and os.path.isfile(gst_out) else []
                source = samples(wav_in)
                # The echo: the default 100 ms is 4410 samples at 44.1 kHz.
                wanted = source if expected == "input" else [0.0] * 4410 + source[:len(source) - 4410]
                checks.check(len(got) == len(source) and any(got) and got == wanted,
                             f"GStreamer's default pipeline {' '.join(extra)} sounds: the {expected}", out)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
