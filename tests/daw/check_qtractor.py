#!/usr/bin/env python3
"""The CLAP plug-ins in Qtractor (Debian's 0.9.31), as a user adds one, under Xvfb with a JACK server on the dummy
driver:

- Qtractor's own plug-in loader (qtractor_plugin_scan, what Qtractor runs to list plug-ins) opens each CLAP bundle
  of the build and reports its name, its audio channels, its parameters (inputs:outputs) and that it is real-time
  safe.
- In Qtractor itself: a new audio track (Track > Add Track), its Plugins tab, Add, the CLAP list, the first of the
  three plug-ins: Qtractor instantiates it, activates it in the running engine and opens its window of
  parameters, titled with the plug-in's name. The window is waited for by that title, and a screenshot of the
  screen is kept (BUILD_DIR/daw-hosts/qtractor-clap.png) for a person to look at.
- Not checked: Qtractor's audio. Its window shows an audio engine at the JACK server's rate and period, but no port
  of Qtractor's shows up on that server for a JACK client of the check's (jack-play and jack-record find none), so
  its output is not recorded here; Ardour's export is where the plug-ins' samples are compared with er-render.
- VST3: Debian builds Qtractor without it (its binary says "VST3 Plug-in support disabled."; the plug-in dialog
  offers no VST3 type). The check says so, and fails if a Qtractor with VST3 ever arrives, so that its case is then
  added.

Qtractor is driven with xdotool: menus and buttons are clicked at their places in its windows (Qt's default style
at Xvfb's 1400x900, no window manager), the plug-in list is filtered by typing. Qtractor also wants the ALSA
sequencer for its MIDI engine, which this machine's kernel does not have: it reports that once and runs its audio
engine alone.

Usage: check_qtractor.py BUILD_DIR     Ends with "N passed, N failed".
Exit status: 0 passed, 1 a check failed, 77 a tool is not installed (outside CI: under CI=true that fails).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lv2"))
from check_bundle import PORTS, ROOM_PORTS, STEREO_PORTS, Checks  # noqa: E402
from check_hosts import Jack  # noqa: E402

SKIP = 77
SCANNER = "/usr/lib/x86_64-linux-gnu/qtractor/qtractor_plugin_scan"
DISPLAY = ":71"
# (file, name, audio inputs, audio outputs, control ports): every control port is a parameter.
CLAP_PLUGINS = [
    ("early_reflection.clap", "1x_Early_Reflection_ZV2005", 1, 1, PORTS),
    ("early_reflection_stereo.clap", "1x_Early_Reflection_ZV2005 Stereo", 2, 2, STEREO_PORTS),
    ("early_reflection_room.clap", "Early Reflection Room", 1, 2, ROOM_PORTS),
]
NO_VST3 = b"VST3 Plug-in support disabled."

# Places in Qtractor's windows, relative to each window: the main window's Track menu and its "Add Track..." item;
# in the track dialog the Audio type, the Plugins tab, its Add button and OK.
TRACK_MENU, ADD_TRACK = (98, 8), (143, 30)
AUDIO_TYPE, PLUGINS_TAB, ADD_PLUGIN, TRACK_OK = (36, 152), (96, 21), (390, 56), (319, 266)
ERROR_OK = (323, 104)
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


class Screen:
    """Xvfb and xdotool: windows found by title, clicks at places inside them, keys, screenshots."""

    def __init__(self):
        self.server = subprocess.Popen(["Xvfb", DISPLAY, "-screen", "0", "1400x900x24", "-nolisten", "tcp"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.env = dict(os.environ, DISPLAY=DISPLAY)
        for _ in range(50):
            if run(["xdotool", "getdisplaygeometry"], self.env)[0] == 0:
                break
            time.sleep(0.1)

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


def check_in_qtractor(checks, build, work, shots):
    home = os.path.join(work, "home")
    os.makedirs(os.path.join(home, ".config", "rncbc.org"))
    with open(os.path.join(home, ".config", "rncbc.org", "Qtractor.conf"), "w") as f:
        # The plug-in dialog opens on the CLAP list (the fifth type: Any, LADSPA, DSSI, VST2, CLAP, LV2).
        f.write(f"[Plugins]\nClapPaths={os.path.join(build, 'lib', 'clap')}\nPluginType=4\n")
    jack = Jack(48000, 1024)
    screen = Screen()
    env = dict(jack.env, DISPLAY=DISPLAY, HOME=home)
    qtractor = subprocess.Popen(["qtractor"], env=env, cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True)
    try:
        main = screen.window("^Untitled")  # a new session's window
        if not checks.check(main is not None, "Qtractor starts under Xvfb"):
            return
        error = screen.window("^Error", 5)
        if error is not None:  # the MIDI engine's complaint: no ALSA sequencer here
            screen.click(error, ERROR_OK)
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
            checks.check(qtractor.poll() is None and jack.server.poll() is None,
                         "Qtractor keeps running with the plug-in active in its new track (its JACK server too)")
            screen.shot(os.path.join(shots, "qtractor-track.png"))
    finally:
        if qtractor.poll() is None:
            qtractor.kill()
        qtractor.wait(10)
        screen.close()
        jack.close()


def main():
    build = os.path.abspath(sys.argv[1])
    tools = ["qtractor", "Xvfb", "xdotool", "import", "jackd"]
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if not os.path.exists(SCANNER):
        missing.append(SCANNER)
    if missing:
        print(f"NOT RUN: {', '.join(missing)} not installed (Debian's qtractor, xvfb, xdotool, imagemagick, jackd1)")
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
        check_in_qtractor(checks, build, work, shots)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
