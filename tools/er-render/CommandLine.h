// The command line: which mode it asks for, decided once, and which options each mode honours, in two tables.
// Every option a mode would ignore is refused here (exit 2), before anything is read or written; the modes
// themselves never look at an option they do not take.
//
// Adding an option: one row of OPTIONS (and its field in Options). Adding a mode: one row of MODES, its bit in
// the rows of the options it takes, and its entry in main's dispatch table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace er_render {

enum class Mode : std::uint8_t {
    RENDER,        // IN OUT
    ANALYSE,       // IN -n: render and analyse, write nothing
    IMPULSE,       // --impulse SECONDS OUT (or -n)
    PLOT,          // --plot FILE and/or --plot-data FILE alone
    ROOM,          // --room NAME|FILE: a room's taps, one module instance each (IN OUT, IN -n, --impulse, or none)
    TEST_SIGNAL,   // --test-signal SECONDS OUT
    BATCH,         // --batch OUTDIR IN...
    LIST_PINS,     // --list-pins
    LIST_PRESETS,  // --list-presets
    INFO,          // --info
    VERSION,       // --version
};

// The command line as given, every value as its text (the plans check them, so every message is the tool's).
struct Options {
    Mode mode = Mode::RENDER;                 // decided by ParseCommandLine
    std::vector<std::string> files;           // IN OUT, IN, OUT or IN... as the mode says
    std::vector<std::string> sets;            // --set "Name=value", in order
    std::vector<std::string> settings_files;  // --settings FILE, read before the --set values
    std::vector<std::string> gates;           // --gate TIME
    std::string preset;                       // --preset NAME: a settings file shipped with the tool
    std::string block = "512";
    std::string tail;            // empty: from the settings
    std::string impulse;         // SECONDS of a unit impulse's response instead of IN
    std::string test_signal;     // SECONDS of the dry test signal to write
    std::string rate;            // --impulse, --test-signal, --plot, a raw input; empty: 48000
    std::string channels;        // a raw input's channel count
    std::string format;          // a sample format name (SubtypeForName); empty: the input's
    std::string type;            // the container of "-" and of names without one, as an extension
    std::string compression;     // FLAC level 0..8, Vorbis and Opus quality 0..10; empty: libsndfile's
    std::string module;          // empty: the library beside the tool
    std::string plot;            // --plot FILE: the figure of the setting; empty: none
    std::string plot_data;       // --plot-data FILE: the numbers behind it; empty: none
    std::string dither;          // none or tpdf; empty: TPDF where the output needs it
    std::string dry, wet, gain;  // decibels or "off"; empty: no dry signal, the wet at 0 dB, 0 dB
    std::string batch;           // --batch OUTDIR: every file in `files` is an input
    std::string jobs;            // worker processes for --batch; empty: the number of cores
    std::string room;            // --room NAME|FILE: a named room or a room file (JSON)
    std::string room_scale;      // --room-scale FACTOR: every length of the room times FACTOR
    std::string room_width;      // --room-width FACTOR: the distance between the ears times FACTOR
    std::string room_window;     // --room-window TIME: the taps that arrive within TIME of the direct sound
    std::string pattern_out;     // --pattern-out FILE: the room's taps as .json or .csv
    bool allow_unsafe = false;   // accept values outside the ranges where the effect is stable
    bool null_output = false;    // -n: write nothing
    bool quiet = false;          // no progress line, no summary on stderr
    bool json = false;           // the summary as JSON on stdout
    bool list_pins = false, list_presets = false, info = false, version = false;
};

using ModeSet = std::uint32_t;
constexpr ModeSet In(Mode mode) { return ModeSet{1} << static_cast<unsigned>(mode); }
template <class... Modes>
constexpr ModeSet In(Mode first, Modes... rest) {
    return In(first) | In(rest...);
}

// One way to run the tool, in the order the modes are tried: the first whose trigger is given is the mode.
struct ModeRow {
    Mode mode;
    std::string_view triggers;  // options that choose it ("--plot,--plot-data"); "" for files alone
    std::string_view name;      // for messages: "--impulse", "a render (IN OUT)"
    std::string_view files;     // what the positional arguments are, for messages: "IN OUT"
    std::size_t min_files, max_files;
};

// How a field takes repeats: a vector collects every value in order; a single value takes the later one; a flag
// given twice is given.
using OptionField = std::variant<std::string Options::*, std::vector<std::string> Options::*, bool Options::*>;

struct OptionRow {
    std::string_view names;  // as CLI11 spells them: "-q,--quiet"
    std::string_view value;  // the value's name in --help ("SECONDS"); empty for a flag
    OptionField field;
    ModeSet modes;  // the modes that honour it; every other mode refuses it
    std::string_view help;
};

const std::vector<ModeRow>& Modes();
const std::vector<OptionRow>& OptionRows();
const ModeRow& RowOf(Mode mode);

// Parses argv into `options`, decides the mode and refuses whatever that mode would ignore. Returns -1 when the
// run goes on, else the exit code to end with (0 after --help, which it prints; 2 after a message on stderr).
int ParseCommandLine(int argc, char** argv, Options& options);

}  // namespace er_render
