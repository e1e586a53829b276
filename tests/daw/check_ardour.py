#!/usr/bin/env python3
"""The plug-ins in Ardour 7, headless, as a user records and exports with them: a session made by `ardour7-lua`
on the Dummy backend (its inputs play white noise), a track with the plug-in, a recording, the region's fades off,
`ardour7-export` to a float WAV; the export compared bit for bit with er-render on the recorded take, at the
export's block.

  LV2    the bundle from the build (LV2_PATH), inserted by URI
  VST3   the bundle copied into a throw-away HOME's ~/.vst3 and indexed by Ardour's scanner
         (ardour-vst3-scanner -f BUNDLE), inserted by name

How the session is laid out, and why:
- The take is moved half a second into the session, which starts at 0: Ardour fades the first samples in when its
  transport starts (a declick, whatever the region's fades say), and only silence meets it there. er-render reads
  the same half second of silence before the take.
- A track has as many outputs as the plug-in; its panner is bypassed, so each output reaches the master bus, and the
  export, as the plug-in wrote it (a mono track's one output reaches the master's left channel; the right is
  silent).
- ardour7-export runs the engine in periods of EXPORT_BLOCK samples, and its first period from the session's start
  is EXPORT_FIRST_BLOCK samples long (it starts that far from the end of the period its locate fell in): er-render
  renders the take after EXPORT_BLOCK - EXPORT_FIRST_BLOCK samples of silence at --block EXPORT_BLOCK, and those
  samples are dropped. A render whose blocks start at the session's start must differ (so the check can tell).
- Values go through VST3's normalised parameters (a double from 0 to 1): the settings use values whose normalised
  form is exact in binary (25 of 0..100, 5 of -10..10, 2.5 of 0..10), so that the plug-in gets exactly them.

Usage: check_ardour.py BUILD_DIR ER_RENDER     Ends with "N passed, N failed".
Exit status: 0 passed, 1 a check failed, 77 Ardour is not installed (outside CI: under CI=true that fails).
"""
import array
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lv2"))
from check_bundle import PORTS, ROOM_PORTS, ROOM_URI, URI, Checks, er_render_settings, first_difference, read_wav  # noqa: E402

SKIP = 77
RATE = 48000
BUFFER = 256                # the Dummy backend's period while the session is made and the take recorded
RECORD_SECONDS = 0.3        # of wall time; the Dummy backend runs at 10x speed: about 3 s of noise
TAKE_AT = RATE // 2         # where the take is moved to in the session
EXPORT_BLOCK = 1024
EXPORT_FIRST_BLOCK = 256
EXPORT_TRIES = 5
EXPORT_TIMEOUT = 120        # seconds; an export takes a few
ARDOUR_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<Ardour>
  <Config>
    <Option name="hide-dummy-backend" value="0"/>
    <Option name="use-vst3" value="1"/>
  </Config>
</Ardour>
"""


class Plugin:
    """A plug-in as Ardour finds it, with its control ports' names by symbol and its channel counts."""

    def __init__(self, title, uri, vst3_name, vst3_bundle, ports, inputs, outputs):
        self.title, self.uri, self.vst3_name, self.vst3_bundle = title, uri, vst3_name, vst3_bundle
        self.names = {symbol: name for symbol, name, described, *_ in ports.values() if described is not None}
        self.inputs, self.outputs = inputs, outputs


MONO = Plugin("mono effect", URI, "1x_Early_Reflection_ZV2005", "early_reflection.vst3", PORTS, 1, 1)
ROOM = Plugin("room", ROOM_URI, "Early Reflection Room", "early_reflection_room.vst3", ROOM_PORTS, 1, 2)

# (format, plug-in, {symbol: value}, er-render's options besides the take and the block): feedback through the
# damping filter, every value exact through VST3's normalisation; the default studio.
CASES = [
    ("lv2", MONO, {"time": 25, "feedback": 5, "damping": 2.5}, None),
    ("vst3", MONO, {"time": 25, "feedback": 5, "damping": 2.5}, None),
    ("vst3", MONO, {"time": 12.5, "feedback": -5, "damping": 5, "routing_mode": 3, "volume_mode": 1}, None),
    ("lv2", ROOM, {}, ["--room", "studio", "--dry", "0", "--wet", "-12"]),
    ("vst3", ROOM, {}, ["--room", "studio", "--dry", "0", "--wet", "-12"]),
]
# er-render's settings for what the effect plug-in starts with where the module differs: the line of "0.170".
EFFECT_DEFAULTS = ["--set", "Max Delay(s)=0.170", "--set", "Time Mode=Time(ms)"]

SESSION_SCRIPT = """
local backend = AudioEngine:set_backend("None (Dummy)", "", "")
assert(backend:set_driver("10x Speed") == 0)
assert(backend:set_device_name("Uniform White Noise") == 0)
assert(backend:set_sample_rate({rate}) == 0)
assert(backend:set_buffer_size({buffer}) == 0)
local s = create_session("{folder}", "take", {rate})
assert(s)
s:cfg():set_use_region_fades(false)
local tr = s:new_audio_track({inputs}, {outputs}, nil, 1, "fx", ARDOUR.PresentationInfo.max_order,
                             ARDOUR.TrackMode.Normal, true):front()
local p = ARDOUR.LuaAPI.new_plugin(s, "{plugin}", ARDOUR.PluginType.{type}, "")
assert(not p:isnil(), "no plug-in {plugin}")
assert(tr:add_processor_by_index(p, 0, nil, true) == 0)
tr:panner_shell():set_bypassed(true)
local plug = p:to_insert():plugin(0)
local wanted = {{ {wanted} }}
local which, set = 0, 0
for i = 0, plug:parameter_count() - 1 do
  if plug:parameter_is_control(i) and plug:parameter_is_input(i) then
    local value = wanted[plug:parameter_label(i)]
    if value then
      assert(ARDOUR.LuaAPI.set_processor_param(p, which, value))
      print("set", plug:parameter_label(i), ARDOUR.LuaAPI.get_processor_param(p, which, true))
      set = set + 1
    end
    which = which + 1
  end
end
assert(set == {count}, "parameters not found")
tr:rec_enable_control():set_value(1, PBD.GroupControlDisposition.NoGroup)
s:maybe_enable_record(false)
s:request_roll(ARDOUR.TransportRequestSource.TRS_UI)
sleep({seconds})
s:request_stop(false, false, ARDOUR.TransportRequestSource.TRS_UI)
sleep(0.3)
s:disable_record(false, false)
tr:rec_enable_control():set_value(0, PBD.GroupControlDisposition.NoGroup)
local regions = 0
for r in tr:playlist():region_list():iter() do
  local ar = r:to_audioregion()
  ar:set_fade_in_active(false)
  ar:set_fade_out_active(false)
  r:set_position(Temporal.timepos_t({take_at}))
  local range = s:locations():session_range_location()
  range:set(Temporal.timepos_t(0), Temporal.timepos_t({take_at} + r:length():samples()))
  regions = regions + 1
  print(string.format("take region: from %d, %d samples", r:start():samples(), r:length():samples()))
end
assert(regions == 1, "no take recorded")
s:save_state("", false, false, false, false, false)
close_session()
print("session made")
"""


def run(args, env=None, timeout=300):
    try:
        result = subprocess.run(args, capture_output=True, text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        return 124, f"timed out after {timeout} s: {expired}"
    return result.returncode, result.stdout + result.stderr


def write_float_wav(path, channels, rate):
    """A WAV of 32-bit float samples, the channels interleaved."""
    frames = len(channels[0])
    data = array.array("f", [0.0]) * (frames * len(channels))
    for c, channel in enumerate(channels):
        data[c::len(channels)] = channel
    body = data.tobytes()
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(body), b"WAVE", b"fmt ", 16, 3, len(channels), rate,
                         rate * 4 * len(channels), 4 * len(channels), 32, b"data", len(body))
    with open(path, "wb") as f:
        f.write(header + body)


def lua_value(value):
    return repr(float(value))


class Ardour:
    def __init__(self, build, er_render, work):
        self.build, self.er_render, self.work = build, er_render, work
        self.home = os.path.join(work, "home")
        os.makedirs(os.path.join(self.home, ".config", "ardour7"))
        with open(os.path.join(self.home, ".config", "ardour7", "config"), "w") as f:
            f.write(ARDOUR_CONFIG)
        self.env = dict(os.environ, HOME=self.home, LV2_PATH=os.path.join(build, "lib", "lv2"))
        self.scanned = set()

    def scan_vst3(self, plugin):
        """The bundle in ~/.vst3 and in Ardour's cache; (ok, the scanner's output)."""
        if plugin.vst3_bundle in self.scanned:
            return True, ""
        target = os.path.join(self.home, ".vst3", plugin.vst3_bundle)
        shutil.copytree(os.path.join(self.build, "lib", "vst3", plugin.vst3_bundle), target)
        # Ardour takes the scanner's cache only when it is newer than the module, and the cache's time is kept in
        # whole seconds: the copy is dated a minute back.
        for folder, _, files in os.walk(target):
            for name in [folder] + [os.path.join(folder, f) for f in files]:
                stat = os.stat(name)
                os.utime(name, (stat.st_atime - 60, stat.st_mtime - 60))
        code, out = run(["/usr/lib/ardour7/ardour-vst3-scanner", "-f", target],
                        dict(self.env, LD_LIBRARY_PATH="/usr/lib/ardour7"))
        ok = code == 0 and f"Found Plugin: {plugin.vst3_name}" in out
        if ok:
            self.scanned.add(plugin.vst3_bundle)
        return ok, out

    def session(self, number, kind, plugin, settings):
        """A session with a recorded take through the plug-in; (ok, output, folder)."""
        folder = os.path.join(self.work, f"session-{number}")
        wanted = ", ".join(f'["{plugin.names[symbol]}"] = {lua_value(value)}' for symbol, value in settings.items())
        script = SESSION_SCRIPT.format(rate=RATE, buffer=BUFFER, folder=folder, inputs=plugin.inputs,
                                       outputs=plugin.outputs, type=kind.upper(),
                                       plugin=plugin.uri if kind == "lv2" else plugin.vst3_name,
                                       wanted=wanted, count=len(settings), seconds=RECORD_SECONDS, take_at=TAKE_AT)
        path = os.path.join(self.work, f"session-{number}.lua")
        with open(path, "w") as f:
            f.write(script)
        code, out = run(["ardour7-lua", path], self.env)
        return code == 0 and "session made" in out, out, folder

    def export(self, folder, out):
        """ardour7-export into `out`. Debian's ardour7-export (7.3) now and then aborts with a corrupted heap
        during an export, also of a session without any plug-in (about one run in eight here), or hangs (about one
        in fifty): it is tried again, up to EXPORT_TRIES times in all, each time on a fresh copy of the session as it
        was made (an export that aborted can leave a session that plays a little differently: a take shifted by a
        few samples, a rounding apart) and with no output left from before; every abort and hang is reported."""
        pristine = folder + ".as-made"
        shutil.copytree(folder, pristine)
        failures = []
        for attempt in range(EXPORT_TRIES):
            if attempt:
                shutil.rmtree(folder)
                shutil.copytree(pristine, folder)
            if os.path.exists(out):
                os.remove(out)
            code, text = run(["ardour7-export", "-b", "float", "-o", out, folder, "take"], self.env,
                             timeout=EXPORT_TIMEOUT)
            if code not in (-6, 134, 124):
                break
            failures.append(text.strip().splitlines()[-1] if text.strip() else "abort")
        for failure in failures:
            print(f"note  ardour7-export failed ({failure[:200]}); tried again on the session as made")
        return code, text


def take_of(folder):
    """The recorded files, one per track input, in channel order."""
    found = []
    for path, _, files in os.walk(os.path.join(folder, "interchange")):
        found += [os.path.join(path, f) for f in files if f.endswith(".wav")]
    return sorted(found)


def check_case(ardour, checks, number, kind, plugin, settings, room_options):
    what = f"Ardour {kind.upper()} {plugin.title} {settings or 'defaults'}"
    if kind == "vst3":
        ok, out = ardour.scan_vst3(plugin)
        if not checks.check(ok, f"{what}: Ardour's VST3 scanner indexes {plugin.vst3_bundle}", out[-2000:]):
            return
    ok, out_session, folder = ardour.session(number, kind, plugin, settings)
    if not checks.check(ok, f"{what}: a session with the plug-in and a recorded take", out_session[-3000:]):
        return
    takes = take_of(folder)
    if not checks.check(len(takes) == plugin.inputs, f"{what}: one take file per input", str(takes)):
        return
    exported = os.path.join(ardour.work, f"export-{number}.wav")
    code, out = ardour.export(folder, exported)
    if not checks.check(code == 0 and os.path.exists(exported), f"{what}: ardour7-export", out[-2000:]):
        return

    # er-render's input: the silence before the take in the session, and before that the part of the first export
    # period that lies before the session's start.
    lead = EXPORT_BLOCK - EXPORT_FIRST_BLOCK
    # The region plays its files from its start for its length: Ardour may leave the first samples it recorded
    # out of the region (now and then a few, where the capture was aligned).
    region = re.search(r"take region: from (\d+), (\d+) samples", out_session)
    if not checks.check(region is not None, f"{what}: the take's region in its files", out_session[-2000:]):
        return
    start, length = int(region.group(1)), int(region.group(2))
    if start != 0:
        print(f"note  {what}: the take's region starts {start} samples into its files")
    recorded = [read_wav(take)[3][0][start:start + length] for take in takes]
    source = os.path.join(ardour.work, f"source-{number}.wav")
    write_float_wav(source, [array.array("f", [0.0]) * (lead + TAKE_AT) + channel for channel in recorded], RATE)
    options = room_options or er_render_settings(settings) + EFFECT_DEFAULTS
    outputs = {}
    for name, block in (("export", EXPORT_BLOCK), ("other", 256)):
        reference = os.path.join(ardour.work, f"reference-{number}-{name}.wav")
        code, out = run([ardour.er_render, source, reference, "--block", str(block), "--tail", "0", "--format", "float",
                         "-q"] + options)
        if not checks.check(code == 0, f"{what}: er-render --block {block}", out):
            return
        outputs[name] = [channel[lead:] for channel in read_wav(reference)[3]]
    got = read_wav(exported)[3]
    frames = TAKE_AT + len(recorded[0])
    for channel in range(plugin.outputs):
        difference = first_difference(got[channel], outputs["export"][channel])
        checks.check(difference is None and len(got[channel]) == frames,
                     f"{what}: output {channel + 1} is er-render's at the export's block, bit for bit ({frames} samples)",
                     f"  first difference at {difference}: Ardour {got[channel][difference:difference + 4].tolist() if difference is not None else ''}"
                     f" er-render {outputs['export'][channel][difference:difference + 4].tolist() if difference is not None else ''}")
    checks.check(any(first_difference(got[c], outputs["other"][c]) is not None for c in range(plugin.outputs)),
                 f"{what}: er-render at another block differs (the comparison can tell)")
    if plugin.outputs == 1:
        checks.check(not any(got[1]), f"{what}: the master's other channel is silent")


def main():
    build, er_render = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    missing = [tool for tool in ("ardour7-lua", "ardour7-export") if shutil.which(tool) is None]
    if not os.path.exists("/usr/lib/ardour7/ardour-vst3-scanner"):
        missing.append("ardour-vst3-scanner")
    if missing:
        print(f"NOT RUN: {', '.join(missing)} not installed (Debian's ardour)")
        return 1 if os.environ.get("CI") == "true" else SKIP
    checks = Checks()
    with tempfile.TemporaryDirectory(prefix="er-ardour-") as work:
        ardour = Ardour(build, er_render, work)
        for number, (kind, plugin, settings, room_options) in enumerate(CASES):
            check_case(ardour, checks, number, kind, plugin, settings, room_options)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
