#!/usr/bin/env python3
"""The installed bundle in the LV2 host programs Debian has, each compared sample for sample with er-render at
the block size that host runs the plug-in in:

  lv2file    -i IN -o OUT [-p SYMBOL:VALUE]... [-b N]     blocks of 512 frames unless -b
  lv2proc    -i IN -o OUT [-c SYMBOL:VALUE]... [-n N]     blocks of 512 frames unless -n
  ecasound   -i IN -o OUT -elv2:URI,VALUE,... [-b:N]      blocks of 1024 frames unless -b
  gstreamer  gst-launch-1.0 ... wavparse ! ELEMENT [PROPERTY=VALUE]... ; wavparse hands 40 ms buffers; the
             element starts every toggle off, whatever the plug-in's default
  jalv       a JACK client under `jackd -d dummy` (period 256): jack-play feeds it, jack-record records its input
             and its output in the same cycles, and er-render renders the recorded input

The room plug-in ("Early Reflection Room": mono in, stereo out) runs in the same hosts with a few rooms, both
outputs compared with `er-render --room ... --block <the host's block>`, smoothing off but in one room (a room at
one ear: both outputs the same, each er-render's one channel). GStreamer cannot run it: its lv2 element keeps the channel count
across the element (it has no caps transform of its own), so a plug-in with one input and two outputs never links;
the check says so and fails if GStreamer ever links it.

Every host reads the same float WAV test signal (and, where it writes 16-bit output, a 16-bit one); a setting
with no value for a port runs at the port's default, which the check reads from lv2info and hands er-render
explicitly. Each host also gets one render at another block size, which must differ from er-render at the
first (so the comparison can tell block sizes apart). GStreamer's default pipeline, "Active" off there, must
pass the input unchanged; its other cases set "Active" and "Smooth changes" on, the plug-in's defaults.

Usage: check_hosts.py BUILD_DIR ER_RENDER HOST      Ends with "N passed, N failed".
Exit status: 0 passed, 1 a check failed, 77 the host cannot run here (the reason is printed; CTest reports the
test as skipped). Under CI (CI=true), where scripts/setup installs every host, a missing host fails instead.
"""
import array
import ctypes
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_bundle import (PORTS, ROOM_PORTS, ROOM_URI, URI, Checks, er_render_settings,  # noqa: E402
                          first_difference, install, libsndfile_pcm16, parse_lv2info, read_wav, run)

SKIP = 77
SECONDS = "0.3"
# (rate, {symbol: LV2 value}): the defaults alone; whole-sample feedback with damping; each fractional accuracy;
# an output loop in samples mode with the analogue volume law; a line the tap overruns. (Switched off, the
# plug-in's own business, is lv2apply's case in check_bundle.py.)
SETTINGS = [
    (48000, {}),
    (48000, {"time": 25, "feedback": 4, "damping": 3}),
    (44100, {"time": 12.375, "time_accuracy": 1, "routing_mode": 0, "feedback": -6, "damping": 2.5}),
    (44100, {"time": 12.375, "time_accuracy": 2, "routing_mode": 2, "feedback": 5, "damping": 1, "volume": 7.5}),
    (96000, {"time": 37.5, "time_mode": 2, "routing_mode": 3, "feedback": 3, "volume_mode": 1, "volume": 9}),
    (48000, {"time": 25, "max_delay": 10, "feedback": 3, "routing_mode": 0}),
]
# What er-render is asked for where the plug-in departs from the module alone: a time beyond the line plays the
# whole line (512 samples at 48 kHz), where the module would wrap.
ER_RENDER_DELAY = {5: ["--set", "1 Time=512smp"]}
# The module's control pins, in port order (ports 0 to 13 are its pins; any further port is the plug-in's own and
# stays at its default in every host).
CONTROL_PORTS = [PORTS[i][0] for i in sorted(PORTS) if i < 14 and PORTS[i][2] is not None]


class Plugin:
    """What a host needs to know of a plug-in: its URI and name, its control ports in port order, its audio ports."""

    def __init__(self, uri, name, ports, controls=None):
        self.uri, self.name = uri, name
        self.controls = controls or [ports[i][0] for i in sorted(ports) if ports[i][2] is not None]
        self.audio_in = [ports[i][0] for i in sorted(ports) if ports[i][2] is None and "in" in ports[i][0]]
        self.audio_out = [ports[i][0] for i in sorted(ports) if ports[i][2] is None and "out" in ports[i][0]]


MONO = Plugin(URI, "1x_Early_Reflection_ZV2005", PORTS, CONTROL_PORTS)
ROOM = Plugin(ROOM_URI, "Early Reflection Room", ROOM_PORTS)
# (rate, {symbol: LV2 value}, er-render's options for the same room): the default studio with the default mix; the
# hall at half size, its ears 2.5 times as far apart, another mix; the booth at one ear (both outputs the same),
# its reflections alone; the living room by a window of 30 ms. Smoothing off, the bit-exact setting; the hall's and
# the window's at its default, on, where nothing moves either once the values a host sets before it plays are where
# the room starts.
ROOM_SETTINGS = [
    (48000, {"smooth": 0}, ["--room", "studio", "--dry", "0", "--wet", "-12"]),
    (44100, {"room": 3, "size": 0.5, "width": 2.5, "dry": -6, "wet": -3},
     ["--room", "hall", "--room-scale", "0.5", "--room-width", "2.5", "--dry", "-6", "--wet", "-3"]),
    (48000, {"room": 0, "width": 0, "dry": -70, "wet": 0, "smooth": 0}, ["--room", "booth", "--room-width", "0"]),
    # A pattern by time: every reflection of the living room within 30 ms (orders up to 12), smoothing on.
    (48000, {"room": 1, "window": 30, "dry": -70, "wet": 0}, ["--room", "living", "--room-window", "30ms"]),
]


class Session:
    def __init__(self, build, er_render, work):
        self.er_render, self.work = er_render, work
        code, out, bundle = install(build, os.path.join(work, "prefix"))
        if code != 0:
            raise RuntimeError("cmake --install failed:\n" + out)
        self.env = dict(os.environ, LV2_PATH=os.path.dirname(bundle))
        self.defaults = {}
        for plugin in (MONO, ROOM):
            code, out = run(["lv2info", plugin.uri], self.env)
            described = parse_lv2info(out)
            self.defaults[plugin.uri] = {described[i][0]: whole_if_whole(described[i][2][2])
                                         for i in described if described[i][2] is not None}
            if code != 0 or any(symbol not in self.defaults[plugin.uri] for symbol in plugin.controls):
                raise RuntimeError(f"lv2info does not describe {plugin.uri}'s control ports:\n" + out)
        self.signals = {}

    def signal(self, rate, sixteen=False):
        key = (rate, sixteen)
        if key not in self.signals:
            path = os.path.join(self.work, f"in-{rate}{'-16' if sixteen else ''}.wav")
            code, out = run([self.er_render, "--test-signal", SECONDS, path, "--rate", str(rate),
                             "--format", "pcm16" if sixteen else "float"])
            if code != 0:
                raise RuntimeError(out)
            self.signals[key] = path
        return self.signals[key]

    def controls(self, settings, plugin=MONO):
        """Every control port's value in port order: the setting's, else the default."""
        return {symbol: settings.get(symbol, self.defaults[plugin.uri][symbol]) for symbol in plugin.controls}

    def run_er(self, args):
        return run([self.er_render] + args)

    def render(self, source, block, settings, out, extra=()):
        """er-render at `block` with every control port's value; the output's bytes as er-render wrote them."""
        controls = {k: v for k, v in self.controls(settings).items() if k != "gate"}
        code, text = run([self.er_render, source, out, "--block", str(block), "--tail", "0", "--dither", "none"]
                         + er_render_settings(controls) + list(extra))
        return code, text


def whole_if_whole(value):
    return int(value) if float(value).is_integer() else value


def number(value):
    return repr(float(value)) if isinstance(value, float) and not float(value).is_integer() else str(int(value))


# ---- the hosts: each runs the plug-in on IN into OUT and returns (exit code, output) -----------------------

def file_host(program, control_option, block_option):
    """A host that reads IN and writes OUT in one command: PROGRAM -i IN -o OUT [CONTROL SYMBOL:VALUE]... URI."""
    def host(session, source, out, settings, block=None, plugin=MONO):
        args = [program, "-i", source, "-o", out]
        for symbol, value in settings.items():
            args += [control_option, f"{symbol}:{number(value)}"]
        if block:
            args += [block_option, str(block)]
        return run(args + [plugin.uri], session.env)
    return host


lv2file = file_host("lv2file", "-p", "-b")
lv2proc = file_host("lv2proc", "-c", "-n")


def ecasound(session, source, out, settings, block=None, plugin=MONO):
    # -elv2 takes the control ports' values in port order, all of them: the defaults fill the gaps. The output's
    # format names its channels (the chain takes the plug-in's outputs); a file already there would be updated in
    # its own format, so every case writes a new one.
    # ecasound counts the output control ports among them, and gives a port it is not told 0: the mono plug-in's
    # list goes on past the pins to its last input, Mix (the readings and "smooth" at 0, as before it had more).
    controls = session.controls(settings, plugin)
    if plugin is MONO:
        own = {"delay_samples": 0, "delay_ms": 0, "smooth": 0}
        controls.update({symbol: own.get(symbol, session.defaults[plugin.uri][symbol])
                         for symbol in ("delay_samples", "delay_ms", "smooth", "delay", "mix")})
    values = ",".join(number(v) for v in controls.values())
    _, _, rate, _ = read_wav(source)
    args = ["ecasound", "-q", f"-f:f32_le,1,{rate}", "-i", source, f"-f:f32_le,{len(plugin.audio_out)},{rate}",
            "-o", out, f"-elv2:{plugin.uri},{values}"]
    if block:
        args.append(f"-b:{block}")
    return run(args, session.env)


def gst_element(session, plugin=MONO):
    """The lv2 element's name for the plug-in, from a registry of this run's own."""
    code, out = run(["gst-inspect-1.0", "lv2"], session.env)
    for line in out.splitlines():
        name, _, title = line.strip().partition(": ")
        if title == plugin.name:
            return name
    return None


# GStreamer's lv2 element gives every toggle the default "off", whatever the plug-in says: its cases set the
# plug-in's own defaults, except the default pipeline's.
GST_TOGGLES = {"active": 1, "smooth": 1}


def gstreamer(session, source, out, settings, block=None, plugin=MONO, toggles=GST_TOGGLES):
    properties = dict(toggles, **settings)
    element = [gst_element(session, plugin)] + [f"{s.replace('_', '-')}={number(v)}" for s, v in properties.items()]
    # audiobuffersplit cuts the stream into buffers of `block` frames (the last one shorter) for the second look.
    split = ["audiobuffersplit", f"output-buffer-duration={block}/{read_wav(source)[2]}", "!"] if block else []
    args = (["gst-launch-1.0", "-q", "filesrc", f"location={source}", "!", "wavparse", "!", "audioconvert", "!"]
            + split + element + ["!", "audioconvert", "!", "wavenc", "!", "filesink", f"location={out}"])
    return run(args, session.env)


class Jack:
    """A JACK server with the dummy driver (no sound card), named for this run, and the few libjack calls the
    check needs (ctypes: connecting ports and rolling the transport)."""

    def __init__(self, rate, period):
        self.name = f"er-hosts-{os.getpid()}"
        self.env = dict(os.environ, JACK_DEFAULT_SERVER=self.name, JACK_NO_AUDIO_RESERVATION="1")
        self.server = subprocess.Popen(["jackd", "-n", self.name, "-r", "-d", "dummy", "-r", str(rate),
                                        "-p", str(period)], env=self.env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE, text=True)
        self.lib = ctypes.CDLL("libjack.so.0")
        self.lib.jack_client_open.restype = ctypes.c_void_p
        self.lib.jack_client_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]
        self.lib.jack_get_ports.restype = ctypes.POINTER(ctypes.c_char_p)
        self.lib.jack_get_ports.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong]
        self.lib.jack_free.argtypes = [ctypes.c_void_p]
        self.lib.jack_connect.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
        for call in ("jack_transport_start", "jack_transport_stop", "jack_client_close"):
            getattr(self.lib, call).argtypes = [ctypes.c_void_p]
        os.environ["JACK_DEFAULT_SERVER"] = self.name  # libjack reads it from this process's environment
        self.client = None
        stderr = os.dup(2)  # libjack complains at every attempt before the server is up
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
        try:
            for _ in range(100):  # JackNoStartServer: wait for this server, never start another
                self.client = self.lib.jack_client_open(b"er-check", 1, None)
                if self.client or self.server.poll() is not None:
                    break
                time.sleep(0.1)
        finally:
            os.dup2(stderr, 2)
            os.close(stderr)
        if not self.client:
            self.close()
            raise RuntimeError("jackd -d dummy did not start: " + (self.server.stderr.read() or "no message"))
        self.lib.jack_transport_stop(self.client)

    def ports(self, pattern):
        found = self.lib.jack_get_ports(self.client, pattern.encode(), None, 0)
        names, i = [], 0
        while found and found[i]:
            names.append(found[i].decode())
            i += 1
        if found:
            self.lib.jack_free(ctypes.cast(found, ctypes.c_void_p))
        return names

    def wait_ports(self, pattern, count, process):
        for _ in range(100):
            names = self.ports(pattern)
            if len(names) >= count or process.poll() is not None:
                return names
            time.sleep(0.1)
        return self.ports(pattern)

    def connect(self, source, destination):
        """Connects once both clients are active (a client's ports exist a moment before it is)."""
        for _ in range(50):
            if self.lib.jack_connect(self.client, source.encode(), destination.encode()) == 0:
                return True
            time.sleep(0.1)
        return False

    def close(self):
        if self.client:
            self.lib.jack_client_close(self.client)
            self.client = None
        if self.server.poll() is None:
            self.server.send_signal(signal.SIGTERM)
            try:
                self.server.wait(10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()


def jalv(session, source, out, settings, block=None, plugin=MONO):
    """Runs jalv under a fresh dummy server at `block` frames per period (256 by default). Writes a recording: the
    plug-in's input, then its outputs in port order. Returns (code, messages)."""
    _, _, rate, _ = read_wav(source)
    jack = Jack(rate, block or 256)
    processes, messages = [], []
    try:
        client = f"er-{os.getpid()}"
        args = ["jalv", "-n", client, "-x"] + [a for s, v in settings.items() for a in ("-c", f"{s}={number(v)}")]
        process = subprocess.Popen(args + [plugin.uri], env=dict(session.env, **jack.env), stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        processes.append(process)
        audio = len(plugin.audio_in) + len(plugin.audio_out)
        ports = jack.wait_ports(f"^{client}:", audio, process)
        if len(ports) < audio:
            return 1, f"jalv made no ports: {ports}"
        seconds = float(SECONDS) + 0.5
        tracks = 1 + len(plugin.audio_out)
        recorder = subprocess.Popen(["jack-record", "-n", str(tracks), "-t", str(seconds), out], env=jack.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        processes.append(recorder)
        player = subprocess.Popen(["jack-play", "-t", "-c", "3", source], env=jack.env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
        processes.append(player)
        recorder_in = jack.wait_ports("^jack-record-[0-9]+:in_", tracks, recorder)
        player_out = jack.wait_ports("^jack-play-[0-9]+:out_", 1, player)
        if len(recorder_in) < tracks or not player_out:
            return 1, f"jack-record or jack-play made no ports: {recorder_in} {player_out}"
        # Everything is connected while the transport stands (jack-play -t sends silence), so the plug-in and
        # the recorder hear the file from the same cycle on. jack-record names its inputs in_1, in_2, ...
        recorder_in.sort(key=lambda name: int(name.rpartition("_")[2]))
        wired = jack.connect(player_out[0], f"{client}:{plugin.audio_in[0]}") and jack.connect(player_out[0],
                                                                                               recorder_in[0])
        for output, track in zip(plugin.audio_out, recorder_in[1:]):
            wired = wired and jack.connect(f"{client}:{output}", track)
        if not wired:
            return 1, "jack_connect failed"
        jack.lib.jack_transport_start(jack.client)
        try:
            recorder.wait(seconds + 20)
        except subprocess.TimeoutExpired:
            return 1, "jack-record did not finish"
        return recorder.returncode, ""
    finally:
        for child in processes:
            if child.poll() is None:
                child.terminate()
            try:
                text, _ = child.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                child.kill()
                text, _ = child.communicate()
            messages.append(text or "")
        jack.close()


# (program that must be installed, runner, the block it uses, another block it takes, writes 16-bit output)
HOSTS = {
    "lv2file": (["lv2file"], lv2file, 512, 64, True),
    "lv2proc": (["lv2proc"], lv2proc, 512, 64, True),
    "ecasound": (["ecasound"], ecasound, 1024, 256, False),
    "gstreamer": (["gst-launch-1.0", "gst-inspect-1.0"], gstreamer, None, 256, False),
    "jalv": (["jalv", "jackd", "jack-play", "jack-record"], jalv, 256, 1024, False),
}


def main():
    build, er_render, host = sys.argv[1], sys.argv[2], sys.argv[3]
    programs, runner, host_block, other_block, sixteen = HOSTS[host]
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        if os.environ.get("CI") == "true":
            print(f"FAIL  {host}: not installed: {', '.join(missing)}, which scripts/setup installs")
            return 1
        print(f"SKIP  {host}: not installed here: {', '.join(missing)} (scripts/setup installs it)")
        return SKIP
    checks = Checks()
    with tempfile.TemporaryDirectory(prefix=f"er-{host}-") as work:
        session = Session(build, er_render, work)
        if host == "gstreamer":
            session.env["GST_REGISTRY"] = os.path.join(work, "registry.bin")  # scanned afresh, with LV2_PATH
            if not gst_element(session):
                print(f"FAIL  gst-inspect-1.0 lists no element for {URI}")
                return 1
        if host == "jalv":
            try:
                ctypes.CDLL("libjack.so.0")
            except OSError as error:
                print(f"SKIP  jalv: libjack cannot be loaded ({error})")
                return SKIP

        def compare(number, rate, settings, block=None, sixteen_bit=False):
            source = session.signal(rate, sixteen_bit)
            ours = os.path.join(work, f"{host}-{number}.wav")
            code, text = runner(session, source, ours, settings, block)
            if code != 0 or not os.path.isfile(ours):
                return False, f"{host} failed ({code}):\n{text}"
            fmt, channels, _, host_out = read_wav(ours)
            if host == "jalv":  # the recording: what the plug-in heard, then what it played
                heard = host_out[0]
                if not contains(heard, read_wav(source)[3][0]):
                    return False, "the recorded input does not hold the test signal"  # nothing was compared
                recorded = os.path.join(work, f"jalv-in-{number}.wav")
                write_float_wav(recorded, rate, heard)
                source, host_out, fmt = recorded, host_out[1:], "f"
            theirs = os.path.join(work, f"er-{number}.wav")
            code, text = session.render(source, block or host_block or rate // 25, settings, theirs,
                                           ["--format", "float"] + ER_RENDER_DELAY.get(number, []))
            if code != 0:
                return False, f"er-render failed ({code}):\n{text}"
            _, _, _, expected = read_wav(theirs)
            if fmt == "h":  # the host wrote the floats through libsndfile: scaled by 32767, rounded to nearest
                expected = [array.array("h", (libsndfile_pcm16(y) for y in expected[0]))]
            at = first_difference(host_out[0], expected[0])
            if at is None and channels == 1 + (host == "jalv"):
                return True, ""
            return False, (f"  first difference at sample {at} of {len(host_out[0])} (er-render: {len(expected[0])}),"
                           f" {channels} channel(s)")

        block_text = f"blocks of {host_block}" if host_block else "40 ms buffers"
        for number, (rate, settings) in enumerate(SETTINGS):
            same, detail = compare(number, rate, settings)
            checks.check(same, f"{host} = er-render in {block_text} at {rate} Hz: {settings or 'the defaults'}",
                         detail)
        if host == "gstreamer":
            source = session.signal(48000)
            passed = os.path.join(work, "gstreamer-default.wav")
            code, text = gstreamer(session, source, passed, {}, toggles={})
            got = read_wav(passed)[3][0] if code == 0 and os.path.isfile(passed) else array.array("f")
            at = first_difference(got, read_wav(source)[3][0])
            checks.check(code == 0 and at is None, "gstreamer's default pipeline (\"Active\" off there) passes the "
                         "input unchanged", text if code != 0 else f"  first difference at sample {at}")
        if sixteen:
            same, detail = compare("16", 48000, SETTINGS[1][1], sixteen_bit=True)
            checks.check(same, f"{host}, 16-bit in and out = er-render --dither none in {block_text}", detail)
        same, detail = compare("other", 48000, SETTINGS[1][1], other_block)
        checks.check(same, f"{host} in blocks of {other_block} = er-render --block {other_block}", detail)
        # The comparison can tell: a render one frame per block, whose damping state rounds at every sample,
        # differs from what the host gave for the same setting.
        heard = os.path.join(work, "jalv-in-1.wav") if host == "jalv" else session.signal(48000)
        code, text = session.render(heard, 1, SETTINGS[1][1], os.path.join(work, "er-block1.wav"), ["--format", "float"])
        host_out = read_wav(os.path.join(work, f"{host}-1.wav"))[3][-1]
        checks.check(code == 0 and first_difference(host_out, read_wav(os.path.join(work, "er-block1.wav"))[3][0])
                     is not None, f"{host} differs from er-render --block 1 (the comparison is sharp)", text)

        # The room plug-in, mono in and stereo out.
        if host == "gstreamer":
            # GStreamer's lv2 element keeps the channel count from its sink to its source (it has no caps transform
            # of its own): one channel in offers one channel out, which the room's two outputs refuse, so the
            # pipeline never links.
            ours = os.path.join(work, "gstreamer-room.wav")
            code, text = gstreamer(session, session.signal(48000), ours, {}, plugin=ROOM, toggles={})
            refused = code != 0 and "could not link" in text
            if refused:
                print("NOT RUN  GStreamer cannot run the room plug-in (one input, two outputs): its lv2 element "
                      "links only equal input and output channel counts; the room is checked in the other hosts")
            checks.check(refused, "gstreamer refuses to link the room plug-in (mono in, stereo out): not checked there",
                         f"  GStreamer ran it ({code}): compare it with er-render --room here\n{text}")
        else:
            for number, (rate, settings, options) in enumerate(ROOM_SETTINGS):
                same, detail = compare_room(session, host, runner, work, number, rate, settings, options, host_block)
                checks.check(same, f"room in {host} = er-render {' '.join(options)} --block {host_block}: {settings}",
                             detail)
            # The comparison can tell: at one frame a block the taps' damping rounds at other samples.
            heard = os.path.join(work, "jalv-room-in-0.wav") if host == "jalv" else session.signal(48000)
            block1 = os.path.join(work, "er-room-block1.wav")
            code, text = run([er_render, heard, block1, "--block", "1", "--tail", "0", "--format", "float", "-q"]
                             + ROOM_SETTINGS[0][2])
            host_out = read_wav(os.path.join(work, f"{host}-room-0.wav"))[3][-2:]
            differs = [first_difference(got, wanted) is not None for got, wanted in zip(host_out, read_wav(block1)[3])]
            checks.check(code == 0 and differs == [True, True],
                         f"the room in {host} differs from er-render --block 1 at both ears (the comparison is sharp)",
                         text)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


def compare_room(session, host, runner, work, number, rate, settings, options, block):
    """The room plug-in in the host against er-render --room with `options` at `block`: both outputs, every sample.
    (same, detail)."""
    source = session.signal(rate)
    ours = os.path.join(work, f"{host}-room-{number}.wav")
    code, text = runner(session, source, ours, settings, plugin=ROOM)
    if code != 0 or not os.path.isfile(ours):
        return False, f"{host} failed ({code}):\n{text}"
    _, channels, _, host_out = read_wav(ours)
    if host == "jalv":  # the recording: what the plug-in heard, then what it played at each ear
        heard, host_out, channels = host_out[0], host_out[1:], channels - 1
        if not contains(heard, read_wav(source)[3][0]):
            return False, "the recorded input does not hold the test signal"  # nothing was compared
        source = os.path.join(work, f"jalv-room-in-{number}.wav")
        write_float_wav(source, rate, heard)
    theirs = os.path.join(work, f"er-room-{number}.wav")
    code, text = session.run_er([source, theirs, "--block", str(block), "--tail", "0", "--format", "float", "-q"]
                                + options)
    if code != 0:
        return False, f"er-render failed ({code}):\n{text}"
    _, er_channels, _, expected = read_wav(theirs)
    if er_channels == 1:
        expected = expected * 2  # a room at one ear: er-render writes it once, the plug-in at both outputs
    if channels != 2:
        return False, f"  {channels} channel(s), not the room's two"
    problems = []
    for ear, got, wanted in zip(("left", "right"), host_out, expected):
        at = first_difference(got, wanted)
        if at is not None:
            problems.append(f"  {ear}: first difference at sample {at} of {len(got)} (er-render: {len(wanted)})")
        elif not any(got):
            problems.append(f"  {ear}: silent")
    return not problems, "\n".join(problems)


def contains(recording, signal):
    """Whether the recording holds the signal, after some silence: at the offset of the first sound, at least 99 %
    of the signal's samples are there unchanged (jack-play's converter may move a click by a sample)."""
    start = next((i for i, x in enumerate(recording) if x != 0), None)
    first = next((i for i, x in enumerate(signal) if x != 0), None)
    if start is None or first is None or start < first or start - first + len(signal) > len(recording):
        return False
    offset = start - first
    same = sum(1 for i, x in enumerate(signal) if recording[offset + i] == x)
    return same >= 0.99 * len(signal)


def write_float_wav(path, rate, samples):
    data = array.array("f", samples).tobytes()
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(data), b"WAVE", b"fmt ", 16, 3, 1, rate,
                         rate * 4, 4, 32, b"data", len(data))
    with open(path, "wb") as f:
        f.write(header + data)


if __name__ == "__main__":
    sys.exit(main())
