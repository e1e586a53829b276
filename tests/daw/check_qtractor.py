#!/usr/bin/env python3
"""The CLAP plug-ins in Qtractor (Debian's 0.9.31), under Xvfb with a JACK server on the dummy driver:

- Qtractor's own plug-in loader (qtractor_plugin_scan, what Qtractor runs to list plug-ins) opens each CLAP bundle
  of the build and reports its name, its audio channels, its parameters (inputs:outputs) and that it is real-time
  safe.
- Qtractor plays a session through the three CLAP plug-ins, and its buses are recorded: a session file written
  here holds six tracks (TRACKS), each on an output bus of its own, each with a clip a quarter of a second into the
  session: er-render's test signal (a click and a tone burst) as a mono float WAV at the session's rate, or a stereo
  one with -0.5 times it at the right (so that mixed channels show), gain 1, no fades. Two dry tracks, one for each
  clip, have no plug-in; the others have the mono effect in two settings (the damping filter in the feedback loop;
  another routing with the analogue level law below full level), the stereo effect (fractional delay, output loop)
  and the room (mono in, stereo out: the hall at half size, wider ears, another mix). JACK's transport rolls the
  session and jack-record records every bus in the same cycles. The dry buses must hold their clips sample for
  sample (Qtractor neither resamples nor scales them); each output of a plug-in's bus must be, bit for bit, what
  er-render makes of the dry recording of its clip with the same settings in blocks of the JACK period (the
  plug-in runs once a period; the recording starts on a period's boundary), and must differ from er-render one
  frame a block (the comparison can tell block sizes apart) and from er-render with any one of the settings at the
  plug-in's default instead (each value reached the plug-in and changes what it plays: a level law at full level
  would not).
- In Qtractor itself: a new audio track (Track > Add Track), its Plugins tab, Add, the CLAP list, the first of the
  three plug-ins: Qtractor instantiates it, activates it in the running engine and opens its window of
  parameters, titled with the plug-in's name. The window is waited for by that title, and a screenshot of the
  screen is kept (BUILD_DIR/daw-hosts/qtractor-clap.png) for a person to look at.
- VST3: Debian builds Qtractor without it (its binary says "VST3 Plug-in support disabled."; the plug-in dialog
  offers no VST3 type). The check says so, and fails if a Qtractor with VST3 ever arrives, so that its case is then
  added.

What it takes:
- Qtractor opens its session only when its ALSA MIDI engine opens too, and closes its JACK client again when the
  ALSA sequencer is missing (as on this machine, whose kernel has no sound support: no /dev/snd/seq): it then says
  "The audio/MIDI engine could not be started" and none of its ports exists on the JACK server. The check builds
  alsa_sequencer_stand_in.cpp (an empty sequencer in place of libasound's sequencer calls) and preloads it into
  Qtractor; its audio engine then starts at the JACK server's rate and period.
- Qtractor 0.9.31 gives a CLAP plug-in the values of the session's <params> as parameter events queued before the
  plug-in is activated, and activating it clears that queue: those values never reach the plug-in (measured: it
  plays at its defaults). What reaches it is the plug-in's state, which Qtractor saves with every CLAP plug-in (a
  "state" config: the plug-in's state text, zlib-compressed behind its length, in base64) and loads before
  activating it. The session sets the plug-in's parameters there, one "symbol value" line each.
- Qtractor, its JACK server or the recording can fail now and then on a loaded machine (a client thrown out of the
  JACK graph, a clip not read in time): the dry buses then do not hold their clips. Such a run is tried again, up to
  PLAY_TRIES times in all, and every retry is reported; a plug-in bus that differs from er-render is never retried.

Qtractor's windows are driven with xdotool: menus and buttons are clicked at their places (Qt's default style at
Xvfb's 1400x900, no window manager), the plug-in list is filtered by typing. Xvfb picks a free display itself and
the JACK server is named for this run, so that other checks' X servers and JACK servers are never met.

Usage: check_qtractor.py BUILD_DIR ER_RENDER     Ends with "N passed, N failed".
Exit status: 0 passed, 1 a check failed, 77 a tool is not installed (outside CI: under CI=true that fails).
"""
import array
import base64
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from xml.sax.saxutils import escape

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lv2"))
from check_ardour import EFFECT_DEFAULTS, write_float_wav  # noqa: E402
from check_bundle import (PORTS, ROOM_PORTS, ROOMS, STEREO_PORTS, Checks, er_render_settings,  # noqa: E402
                          first_difference, read_wav)
from check_hosts import Jack  # noqa: E402

SKIP = 77
SCANNER = "/usr/lib/x86_64-linux-gnu/qtractor/qtractor_plugin_scan"
SEQUENCER_STAND_IN = os.path.join(HERE, "alsa_sequencer_stand_in.cpp")
# (file, name, audio inputs, audio outputs, control ports): every control port is a parameter.
CLAP_PLUGINS = [
    ("early_reflection.clap", "1x_Early_Reflection_ZV2005", 1, 1, PORTS),
    ("early_reflection_stereo.clap", "1x_Early_Reflection_ZV2005 Stereo", 2, 2, STEREO_PORTS),
    ("early_reflection_room.clap", "Early Reflection Room", 1, 2, ROOM_PORTS),
]
NO_VST3 = b"VST3 Plug-in support disabled."

# The session Qtractor plays: its rate and the JACK period, where the clip starts, the test signal's length, how
# long the buses are recorded, and how often a run that failed on the host's side is tried.
RATE, PERIOD = 48000, 1024
CLIP_AT = RATE // 4
SIGNAL_SECONDS = 1
RECORD_SECONDS = 2
PLAY_TRIES = 3

# Places in Qtractor's windows, relative to each window: the main window's Track menu and its "Add Track..." item;
# in the track dialog the Audio type, the Plugins tab, its Add button and OK.
TRACK_MENU, ADD_TRACK = (98, 8), (143, 30)
AUDIO_TYPE, PLUGINS_TAB, ADD_PLUGIN, TRACK_OK = (36, 152), (96, 21), (390, 56), (319, 266)
# In the plug-in dialog: the list of types, its CLAP entry (the list opens with the current type, LADSPA, at the
# box), the search box, the first plug-in listed, OK.
PLUGIN_TYPE, CLAP_TYPE, PLUGIN_SEARCH = (458, 13), (443, 79), (198, 14)
FIRST_PLUGIN, PLUGIN_OK = (92, 55), (370, 237)


def run(args, env=None, stdin=None, timeout=60):
    try:
        result = subprocess.run(args, capture_output=True, text=True, env=env, input=stdin, timeout=timeout)
    except subprocess.TimeoutExpired:
        return 124, "timed out"
    return result.returncode, result.stdout + result.stderr


def controls(ports):
    return sum(1 for _, _, described, *_ in ports.values() if described is not None)


def check_loader(checks, build):
    """Qtractor's plug-in loader on each CLAP bundle."""
    for file, name, inputs, outputs, ports in CLAP_PLUGINS:
        path = os.path.join(build, "lib", "clap", file)
        code, out = run([SCANNER], stdin=f"CLAP:{path}\n")
        fields = next((line.split("|") for line in out.splitlines() if line.startswith("CLAP|")), [])
        ok = len(fields) >= 7 and fields[1] == name and fields[2] == f"{inputs}:{outputs}" and "RT" in fields[5].split(",")
        if ok:
            parameters_in, parameters_out = (int(n) for n in fields[4].split(":"))
            ok = parameters_in + parameters_out == controls(ports) and parameters_in > 0
        checks.check(code == 0 and ok,
                     f"Qtractor's loader opens {file}: \"{name}\", {inputs}:{outputs} audio, every control port a "
                     f"parameter ({controls(ports)}), real-time safe", out)


def build_sequencer_stand_in(work):
    """alsa_sequencer_stand_in.cpp as a shared object in `work`; (path or None, compiler output)."""
    library = os.path.join(work, "alsa_sequencer_stand_in.so")
    code, out = run(["c++", "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC", "-o", library,
                     SEQUENCER_STAND_IN, "-lasound"], timeout=120)
    return (library if code == 0 else None), out


class Screen:
    """Xvfb on a display it picks itself, and xdotool: windows found by title, clicks at places inside them, keys,
    screenshots."""

    def __init__(self):
        read, write = os.pipe()
        self.server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1400x900x24",
                                        "-nolisten", "tcp"], pass_fds=[write], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as chosen:
            self.display = ":" + chosen.readline().strip()
        self.env = dict(os.environ, DISPLAY=self.display)

    def window(self, title, seconds=15):
        """The first visible window whose title matches `title` (a regular expression), waited for; or None."""
        for _ in range(int(seconds * 5)):
            code, out = run(["xdotool", "search", "--onlyvisible", "--name", title], self.env)
            if code == 0 and out.split():
                return out.split()[0]
            time.sleep(0.2)
        return None

    def newest_other(self, known, seconds=10):
        """The newest visible window with a title other than `known` (a dialog just opened), waited for; or None."""
        for _ in range(int(seconds * 5)):
            code, out = run(["xdotool", "search", "--onlyvisible", "--name", "."], self.env)
            others = [w for w in out.split() if w != known and run(["xdotool", "getwindowname", w], self.env)[1].strip()]
            if others:
                return others[-1]
            time.sleep(0.2)
        return None

    def click(self, window, place):
        run(["xdotool", "mousemove", "--window", window, str(place[0]), str(place[1]), "click", "1"], self.env)
        time.sleep(0.8)

    def type(self, text):
        run(["xdotool", "type", "--delay", "50", text], self.env)
        time.sleep(0.5)

    def shot(self, path):
        return run(["import", "-window", "root", path], self.env)[0] == 0

    def close(self):
        self.server.terminate()
        self.server.wait(10)


class Qtractor:
    """Qtractor on its own display and JACK server, with the sequencer stand-in preloaded and `home` as HOME."""

    def __init__(self, work, home, stand_in, args=()):
        self.jack = Jack(RATE, PERIOD)
        try:
            self.screen = Screen()
        except BaseException:
            self.jack.close()
            raise
        env = dict(self.jack.env, DISPLAY=self.screen.display, HOME=home, LD_PRELOAD=stand_in)
        self.process = subprocess.Popen(["qtractor", *args], env=env, cwd=work, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

    def ports(self, names, seconds=30):
        """Qtractor's JACK ports `names` ("Bus/out_1"), waited for until all are there; the full names found."""
        wanted = [f"Qtractor:{name}" for name in names]
        for _ in range(seconds * 10):
            found = self.jack.ports("^Qtractor:")
            if all(name in found for name in wanted) or self.process.poll() is not None:
                break
            time.sleep(0.1)
        return [name for name in wanted if name in found]

    def running(self):
        return self.process.poll() is None and self.jack.server.poll() is None

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(10)
        self.screen.close()
        self.jack.close()


# ---- Qtractor plays a session through the plug-ins ------------------------------------------------------------

class Track:
    """A track of the session on an output bus of its own (named as the track), with `clip` ("mono" or "stereo") a
    quarter of a second in, and the CLAP plug-in `plugin` (an index into CLAP_PLUGINS; None: a dry track) with
    `settings` {symbol: value}. A plug-in track's input is what the dry track of the same clip plays."""

    def __init__(self, name, clip, plugin=None, settings=None):
        self.name, self.clip, self.plugin, self.settings = name, clip, plugin, settings or {}
        self.channels = CLAP_PLUGINS[plugin][3] if plugin is not None else CLIP_CHANNELS[clip]

    def ports(self):
        return [f"{self.name}/out_{c + 1}" for c in range(self.channels)]


CLIP_CHANNELS = {"mono": 1, "stereo": 2}
# The mono effect with feedback through the damping filter; with another routing and the analogue level law below
# full level (where the laws part); the stereo effect with the fractional delay and the output loop; the room (mono
# in, stereo out): the hall at half size, its ears 2.5 times as far apart, another mix, smoothing at its default.
TRACKS = [
    Track("Dry", "mono"),
    Track("DryStereo", "stereo"),
    Track("Mono1", "mono", 0, {"time": 25, "feedback": 5, "damping": 2.5}),
    Track("Mono2", "mono", 0, {"time": 12.5, "feedback": -5, "damping": 5, "routing_mode": 3, "volume_mode": 1,
                               "volume": 7.5}),
    Track("Stereo", "stereo", 1, {"time": 12.375, "time_accuracy": 2, "routing_mode": 2, "feedback": 5, "damping": 1,
                                  "volume": 7.5}),
    Track("Room", "mono", 2, {"room": 3, "size": 0.5, "width": 2.5, "dry": -6, "wet": -3}),
]
DRY = {track.clip: track for track in TRACKS if track.plugin is None}
EFFECT_DEFAULTS_BY_SYMBOL = {symbol: described[2] for symbol, _, described, *_ in PORTS.values() if described}
ROOM_DEFAULTS = {symbol: described[2] for symbol, _, described, *_ in ROOM_PORTS.values() if described}


def effect_options(settings):
    """er-render's options for the effect plug-ins' settings."""
    return er_render_settings(settings) + EFFECT_DEFAULTS


def room_options(settings):
    """er-render's options for the room plug-in's settings (its room, size, width, dry, wet)."""
    room = dict(ROOM_DEFAULTS, **settings)
    return ["--room", ROOMS[int(room["room"])], "--room-scale", str(room["size"]), "--room-width", str(room["width"]),
            "--dry", str(room["dry"]), "--wet", str(room["wet"])]


# For each plug-in: (its defaults by symbol, er-render's options for its settings).
RENDERING = {0: (EFFECT_DEFAULTS_BY_SYMBOL, effect_options), 1: (EFFECT_DEFAULTS_BY_SYMBOL, effect_options),
             2: (ROOM_DEFAULTS, room_options)}


def plugin_state(settings):
    """The plug-in's state with `settings`, as Qtractor keeps a CLAP plug-in's state in a session: the state text
    compressed as Qt's qCompress does (the length, big-endian, then a zlib stream), in base64."""
    text = "".join(f"{symbol} {value}\n" for symbol, value in settings.items()).encode()
    return base64.b64encode(struct.pack(">I", len(text)) + zlib.compress(text)).decode()


def session_xml(work, build, clips, frames):
    """The session of TRACKS; `clips` {"mono" or "stereo": file}."""
    buses, tracks = [], []
    for track in TRACKS:
        buses.append(f"""   <audio-bus mode="output" name="{track.name}">
    <monitor>0</monitor><channels>{track.channels}</channels><auto-connect>0</auto-connect>
    <output-gain>1</output-gain><output-panning>0</output-panning>
    <output-controllers/><output-plugins/><output-connects/>
   </audio-bus>""")
        plugin = ""
        if track.plugin is not None:
            file, name = CLAP_PLUGINS[track.plugin][:2]
            label = re.sub(r"[\s|.-]+", "_", name)  # as Qtractor labels a CLAP plug-in
            plugin = f"""
    <plugin type="CLAP"><filename>{escape(os.path.join(build, "lib", "clap", file))}</filename><index>0</index>
     <label>{label}</label><activated>1</activated>
     <configs><config key="state">{plugin_state(track.settings)}</config></configs>
    </plugin>"""
        tracks.append(f"""  <track type="audio" name="{track.name}">
   <properties><input-bus>{track.name}</input-bus><output-bus>{track.name}</output-bus></properties>
   <state><mute>0</mute><solo>0</solo><record>0</record><monitor>0</monitor><gain>1</gain><panning>0</panning></state>
   <clips>
    <clip name="signal"><properties><name>signal</name><start>{CLIP_AT}</start><offset>0</offset>
     <length>{frames}</length><gain>1</gain><fade-in type="Linear">0</fade-in><fade-out type="Linear">0</fade-out>
     </properties><audio-clip><filename>{escape(clips[track.clip])}</filename></audio-clip></clip>
   </clips>
   <plugins>{plugin}</plugins>
  </track>""")
    nl = "\n"
    return f"""<!DOCTYPE qtractorSession>
<session version="Qtractor 0.9.31" name="check">
 <properties><directory>{escape(work)}</directory><sample-rate>{RATE}</sample-rate></properties>
 <devices>
  <audio-engine>
   <audio-control><transport-mode>duplex</transport-mode><timebase>0</timebase></audio-control>
{nl.join(buses)}
  </audio-engine>
 </devices>
 <tracks>
{nl.join(tracks)}
 </tracks>
</session>
"""


def holds_clip(recorded, clip):
    """Where the clip starts in the recording if the recording is silence, the clip sample for sample, silence;
    else None."""
    first = next((i for i, x in enumerate(clip) if x != 0), None)
    start = next((i for i, x in enumerate(recorded) if x != 0), None)
    if first is None or start is None or start < first:
        return None
    at = start - first
    if (at + len(clip) > len(recorded) or first_difference(recorded[at:at + len(clip)], clip) is not None
            or any(recorded[at + len(clip):])):
        return None
    return at


def play_session(work, stand_in, session, try_number, shot):
    """One run: Qtractor opens the session, the transport rolls, jack-record records every bus, a screenshot is
    taken as it ends. ({track name: recorded channels} or None, what went wrong)."""
    ports = [port for track in TRACKS for port in track.ports()]
    recording = os.path.join(work, f"buses-{try_number}.wav")
    home = os.path.join(work, f"home-{try_number}")
    os.makedirs(home)
    try:
        qtractor = Qtractor(work, home, stand_in, [session])
    except RuntimeError as error:  # the JACK server did not start
        return None, str(error)
    recorder = None
    try:
        outputs = qtractor.ports(ports)
        if len(outputs) < len(ports):
            return None, f"Qtractor's buses on JACK: {outputs} (Qtractor {'running' if qtractor.running() else 'gone'})"
        # A ring buffer of 16 periods: jack-record's own 4096 frames overflow on a loaded machine.
        recorder = subprocess.Popen(["jack-record", "-n", str(len(ports)), "-b", str(16 * PERIOD),
                                     "-t", str(RECORD_SECONDS), recording],
                                    env=qtractor.jack.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        inputs = qtractor.jack.wait_ports("^jack-record-[0-9]+:in_", len(ports), recorder)
        inputs.sort(key=lambda name: int(name.rpartition("_")[2]))
        if len(inputs) < len(ports) or not all(qtractor.jack.connect(a, b) for a, b in zip(outputs, inputs)):
            return None, f"jack-record's inputs {inputs} not connected to {outputs}"
        qtractor.jack.lib.jack_transport_start(qtractor.jack.client)
        try:
            text, _ = recorder.communicate(timeout=RECORD_SECONDS + 30)
        except subprocess.TimeoutExpired:
            return None, "jack-record did not finish"
        qtractor.screen.shot(shot)
        if recorder.returncode != 0 or not os.path.exists(recording):
            return None, f"jack-record failed ({recorder.returncode}): {text}"
        if not qtractor.running():
            return None, "Qtractor or its JACK server stopped during the recording"
        channels, by_track = read_wav(recording)[3], {}
        for track in TRACKS:
            by_track[track.name], channels = channels[:track.channels], channels[track.channels:]
        return by_track, ""
    finally:
        if recorder is not None and recorder.poll() is None:
            recorder.kill()
            recorder.wait()
        qtractor.close()


def write_clips(checks, er_render, work):
    """er-render's test signal as the mono clip, and the stereo clip: the signal at the left, -0.5 times it (exact
    in binary) at the right, so that a plug-in mixing its channels shows. {"mono" or "stereo": channels} or None."""
    mono = os.path.join(work, "mono.wav")
    code, out = run([er_render, "--test-signal", str(SIGNAL_SECONDS), mono, "--rate", str(RATE), "--format", "float",
                     "-q"])
    if not checks.check(code == 0, "er-render writes the test signal Qtractor plays", out):
        return None
    signal = read_wav(mono)[3][0]
    # Silence as +0.0: Qtractor's mix turns a -0.0 into +0.0.
    clips = {"mono": [signal], "stereo": [signal, array.array("f", (-0.5 * x if x else 0.0 for x in signal))]}
    write_float_wav(os.path.join(work, "stereo.wav"), clips["stereo"], RATE)
    return clips


def check_playback(checks, build, er_render, work, stand_in, shots):
    clips = write_clips(checks, er_render, work)
    if clips is None:
        return
    session = os.path.join(work, "check.qts")
    with open(session, "w") as f:
        files = {kind: os.path.join(work, f"{kind}.wav") for kind in clips}
        f.write(session_xml(work, build, files, len(clips["mono"][0])))

    # The dry buses holding their clips is what tells a good run: a run without it is the host's failure, tried
    # again.
    recorded, at = None, None
    for try_number in range(1, PLAY_TRIES + 1):
        recorded, problem = play_session(work, stand_in, session, try_number,
                                         os.path.join(shots, "qtractor-session.png"))
        if recorded is not None:
            places = {holds_clip(got, wanted) for kind, track in DRY.items()
                      for got, wanted in zip(recorded[track.name], clips[kind])}
            at = places.pop() if len(places) == 1 else None
            if at is None:
                problem = f"the dry buses do not hold their clips unchanged at one place ({places})"
        if at is not None:
            break
        print(f"note  Qtractor's run {try_number} of {PLAY_TRIES} failed on the host's side ({problem})"
              f"{'; tried again' if try_number < PLAY_TRIES else ''}")
    if not checks.check(at is not None, f"Qtractor plays the mono and the stereo clip on their dry buses sample for "
                        f"sample (float WAV at {RATE} Hz, gain 1, no fades; {PLAY_TRIES} tries)", problem):
        return
    frames = len(recorded["Dry"][0])
    print(f"      the clips start {at} samples into the recording of {frames} ({at - CLIP_AT} after the transport "
          "started)")

    dry = {}
    for kind, track in DRY.items():
        dry[kind] = os.path.join(work, f"dry-{kind}.wav")
        write_float_wav(dry[kind], recorded[track.name], RATE)

    def render(track, name, block, settings):
        """er-render on what the track's plug-in heard; its channels, or er-render's complaint."""
        out = os.path.join(work, f"er-render-{track.name}-{name}.wav")
        code, text = run([er_render, dry[track.clip], out, "--block", str(block), "--tail", "0", "--format", "float",
                          "-q"] + RENDERING[track.plugin][1](settings))
        if code != 0:
            return text
        channels = read_wav(out)[3]
        return channels * track.channels if len(channels) == 1 else channels  # a room at one ear: both the same

    def differs(got, other):
        return not isinstance(other, str) and any(first_difference(a, b) is not None for a, b in zip(got, other))

    for track in (track for track in TRACKS if track.plugin is not None):
        got = recorded[track.name]
        what = f"Qtractor's {CLAP_PLUGINS[track.plugin][1]} {track.settings}"
        expected = render(track, "period", PERIOD, track.settings)
        problems = [expected] if isinstance(expected, str) else []
        for channel, (mine, theirs) in enumerate(zip(got, [] if problems else expected)):
            difference = first_difference(mine, theirs)
            if difference is not None or not any(mine):
                shown = slice(difference or 0, (difference or 0) + 4)
                problems.append(f"  output {channel + 1}: first difference at sample {difference}: Qtractor "
                                f"{mine[shown].tolist()} er-render {theirs[shown].tolist()}")
        checks.check(not problems, f"{what}: every output on its bus is er-render --block {PERIOD} on the dry bus, "
                     f"bit for bit ({track.channels} x {frames} samples)", "\n".join(problems))
        one = render(track, "block-1", 1, track.settings)
        checks.check(differs(got, one), f"{what}: er-render --block 1 differs (the comparison can tell)",
                     one if isinstance(one, str) else "")
        defaults = RENDERING[track.plugin][0]
        for symbol in track.settings:
            other = render(track, symbol, PERIOD, dict(track.settings, **{symbol: defaults[symbol]}))
            checks.check(differs(got, other),
                         f"{what}: er-render with {symbol} at the plug-in's default ({defaults[symbol]}) differs (the "
                         "value reached the plug-in and changes what it plays)",
                         other if isinstance(other, str) else "")


# ---- a user adds the plug-in in Qtractor's windows ------------------------------------------------------------

def check_in_qtractor(checks, build, work, stand_in, shots):
    home = os.path.join(work, "home")
    os.makedirs(os.path.join(home, ".config", "rncbc.org"))
    with open(os.path.join(home, ".config", "rncbc.org", "Qtractor.conf"), "w") as f:
        # The plug-in dialog opens on the CLAP list (the fifth type: Any, LADSPA, DSSI, VST2, CLAP, LV2).
        f.write(f"[Plugins]\nClapPaths={os.path.join(build, 'lib', 'clap')}\nPluginType=4\n")
    qtractor = Qtractor(work, home, stand_in)
    screen = qtractor.screen
    try:
        main = screen.window("^Untitled")  # a new session's window
        if not checks.check(main is not None, "Qtractor starts under Xvfb"):
            return
        master = qtractor.ports(["Master/out_1", "Master/out_2"])
        checks.check(len(master) == 2, "Qtractor's audio engine runs on the check's JACK server (its Master bus's "
                     "ports are there)", f"  found {master}")
        screen.click(main, TRACK_MENU)
        screen.click(main, ADD_TRACK)
        dialog = screen.newest_other(main)
        if not checks.check(dialog is not None, "Qtractor opens its Add Track dialog"):
            screen.shot(os.path.join(shots, "qtractor-no-dialog.png"))
            return
        screen.click(dialog, AUDIO_TYPE)
        screen.click(dialog, PLUGINS_TAB)
        screen.click(dialog, ADD_PLUGIN)
        time.sleep(2)
        plugins = screen.newest_other(dialog)
        screen.click(plugins, PLUGIN_TYPE)
        screen.click(plugins, CLAP_TYPE)
        time.sleep(2)  # the plug-in dialog scans the CLAP folder
        screen.click(plugins, PLUGIN_SEARCH)
        screen.type("1x_Early")
        screen.click(plugins, FIRST_PLUGIN)
        screen.click(plugins, PLUGIN_OK)
        name = CLAP_PLUGINS[0][1]
        window = screen.window(f"^{name} - Track 1", 15)
        shot = os.path.join(shots, "qtractor-clap.png")
        screen.shot(shot)
        checks.check(window is not None,
                     f"Qtractor loads the CLAP plug-in into a track and opens its window \"{name} - Track 1\" "
                     f"(screenshot {shot})")
        if window is not None:
            run(["xdotool", "windowunmap", window], screen.env)
            screen.click(dialog, TRACK_OK)
            time.sleep(2)
            checks.check(qtractor.running(),
                         "Qtractor keeps running with the plug-in active in its new track (its JACK server too)")
            screen.shot(os.path.join(shots, "qtractor-track.png"))
    finally:
        qtractor.close()


def main():
    build, er_render = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    tools = ["qtractor", "Xvfb", "xdotool", "import", "jackd", "jack-record", "c++"]
    missing = [tool for tool in tools if shutil.which(tool) is None]
    for path in (SCANNER, "/usr/include/alsa/asoundlib.h"):
        if not os.path.exists(path):
            missing.append(path)
    if missing:
        print(f"NOT RUN: {', '.join(missing)} not installed (Debian's qtractor, xvfb, xdotool, imagemagick, jackd1, "
              "jack-tools, g++, libasound2-dev)")
        return 1 if os.environ.get("CI") == "true" else SKIP
    checks = Checks()
    check_loader(checks, build)
    with open(shutil.which("qtractor"), "rb") as f:
        no_vst3 = NO_VST3 in f.read()
    checks.check(no_vst3, "NOT RUN: VST3 in Qtractor: Debian's Qtractor is built without VST3 (\"VST3 Plug-in support "
                 "disabled.\"); this check fails once it has it, so that the VST3 case is added")
    shots = os.path.join(build, "daw-hosts")
    os.makedirs(shots, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="er-qtractor-") as work:
        stand_in, out = build_sequencer_stand_in(work)
        if checks.check(stand_in is not None, "the ALSA sequencer stand-in builds (c++, libasound2-dev)", out):
            check_playback(checks, build, er_render, work, stand_in, shots)
            check_in_qtractor(checks, build, work, stand_in, shots)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
