#include "CommandLine.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include <CLI/CLI.hpp>

#include "Failure.h"
#include "Room.h"

namespace er_render {

namespace {

using enum Mode;

// Modes that run the module with a setting the user gives, modes that run it at all (a room sets its taps'
// pins itself), and modes that print a summary.
constexpr ModeSet SETTING_MODES = In(RENDER, ANALYSE, IMPULSE, PLOT, BATCH);
constexpr ModeSet RUN_MODES = SETTING_MODES | In(ROOM);
constexpr ModeSet SUMMARY_MODES = RUN_MODES | In(TEST_SIGNAL);
// Modes that write sound files, and modes whose input may be a raw stream.
constexpr ModeSet SOUND_OUTPUT = In(RENDER, IMPULSE, TEST_SIGNAL, BATCH, ROOM);
constexpr ModeSet FILE_INPUT = In(RENDER, ANALYSE, BATCH, ROOM);
constexpr std::size_t ANY = SIZE_MAX;

const std::vector<ModeRow> MODES = {
    {VERSION, "--version", "--version", "", 0, 0},
    {LIST_PINS, "--list-pins", "--list-pins", "", 0, 0},
    {LIST_PRESETS, "--list-presets", "--list-presets", "", 0, 0},
    {INFO, "--info", "--info", "", 0, 0},
    {TEST_SIGNAL, "--test-signal", "--test-signal SECONDS", "one file: OUT", 1, 1},
    {BATCH, "--batch", "--batch OUTDIR", "the input files after it", 1, ANY},
    {ROOM, "--room", "--room NAME|FILE", "IN OUT, IN with -n, OUT with --impulse, or none with --pattern-out or --plot",
     0, 2},
    {IMPULSE, "--impulse", "--impulse SECONDS", "one file: OUT (none with -n)", 0, 1},
    {ANALYSE, "-n", "IN -n", "one file: IN", 1, 1},
    {RENDER, "", "a render of IN OUT", "IN OUT", 2, 2},
    {PLOT, "--plot,--plot-data", "--plot", "no file", 0, 0},
};

// The named rooms come from the model, so that a new one is listed where it is added.
std::string_view RoomHelp() {
    static const std::string help = [] {
        std::string names;
        for (const auto& named : er_room::NamedRooms()) names += (names.empty() ? "" : ", ") + std::string(named.name);
        return "the early reflections of a room, as one module instance per tap plays them: a named room (" + names +
               ") or a room file (JSON)";
    }();
    return help;
}

const std::vector<OptionRow> OPTIONS = {
    {"--set", "NAME=VALUE", &Options::sets, RUN_MODES,
     "set a pin: \"Name=value\" or \"Name=FROM..TO\" (repeatable, a later one wins; --room: \"Time Accuracy\" alone)"},
    {"--settings", "FILE", &Options::settings_files, SETTING_MODES, "read Name=value lines from FILE (# comments)"},
    {"--preset", "NAME", &Options::preset, SETTING_MODES,
     "the settings of a preset shipped with er-render (--list-presets)"},
    {"--allow-unsafe", "", &Options::allow_unsafe, SETTING_MODES,
     "accept \"Feedback +/-10\", \"Damping 0-10\" and \"1 Time\" outside their stable ranges"},
    {"--gate", "TIME", &Options::gates, RUN_MODES,
     "a positive gate for one block at TIME: poly reset (repeatable)"},
    {"--block", "N", &Options::block, RUN_MODES, "the host's block size in samples (default 512)"},
    {"--tail", "TIME", &Options::tail, In(RENDER, ANALYSE, PLOT, BATCH, ROOM),
     "silence appended so echoes ring out (default: from the settings)"},
    {"--dry", "DB", &Options::dry, RUN_MODES, "mix the input in at DB decibels (default: none)"},
    {"--wet", "DB", &Options::wet, RUN_MODES, "the module's output at DB decibels, or off (default 0)"},
    {"--gain", "DB", &Options::gain, RUN_MODES, "scale the result by DB decibels (default 0)"},
    {"--module", "PATH", &Options::module, RUN_MODES | In(LIST_PINS, INFO),
     "the module library (default: early_reflection beside er-render)"},
    {"--rate", "HZ", &Options::rate, In(IMPULSE, PLOT, TEST_SIGNAL) | FILE_INPUT,
     "sample rate of --impulse, --test-signal, --plot alone, or a raw input (default 48000)"},
    {"--channels", "N", &Options::channels, FILE_INPUT, "a raw input's channel count"},
    {"--format", "FORMAT", &Options::format, SOUND_OUTPUT | FILE_INPUT,
     "sample format: pcm8, pcm16, pcm24, pcm32, float, double, vorbis, ... (default: the input's, or the nearest "
     "OUT's container holds); with a raw IN, the input's alone"},
    {"--type", "EXT", &Options::type, SOUND_OUTPUT,
     "the container of \"-\" and of a name without an extension: wav, flac, raw, ..."},
    {"-C,--compression", "LEVEL", &Options::compression, SOUND_OUTPUT,
     "FLAC compression 0..8, Vorbis or Opus quality 0..10 (default: libsndfile's)"},
    {"--dither", "KIND", &Options::dither, In(RENDER, IMPULSE, BATCH, ROOM),
     "none or tpdf (default: TPDF for 16 bits or fewer unless exact)"},
    {"--plot", "FILE", &Options::plot, In(RENDER, ANALYSE, IMPULSE, PLOT, ROOM),
     "draw the setting's impulse and magnitude response (--room: the taps and the room): .svg, .png or .pdf"},
    {"--plot-data", "FILE", &Options::plot_data, In(RENDER, ANALYSE, IMPULSE, PLOT),
     "write the numbers behind the figure: .csv or .json"},
    {"--impulse", "SECONDS", &Options::impulse, In(IMPULSE, ROOM), "render the response to a unit impulse, SECONDS long"},
    {"--test-signal", "SECONDS", &Options::test_signal, In(TEST_SIGNAL),
     "write a dry test signal of clicks and tone bursts"},
    {"--batch", "OUTDIR", &Options::batch, In(BATCH), "render every IN after it into OUTDIR, same settings"},
    {"--jobs", "N", &Options::jobs, In(BATCH), "worker processes for --batch (default: the number of cores)"},
    {"-n", "", &Options::null_output, In(ANALYSE, IMPULSE, ROOM), "render and analyse, write nothing (in place of OUT)"},
    {"--room", "NAME|FILE", &Options::room, In(ROOM), RoomHelp()},
    {"--room-scale", "FACTOR", &Options::room_scale, In(ROOM), "every length of the room times FACTOR (0.05 to 20)"},
    {"--room-width", "FACTOR", &Options::room_width, In(ROOM),
     "the distance between the two ears times FACTOR (0 to 4; 0: one ear, a mono render)"},
    {"--room-window", "TIME", &Options::room_window, In(ROOM),
     "every reflection within TIME of the direct sound (as --gate: 40ms, 0.04, 1920smp; up to 500 ms; the order, "
     "then 12 unless the room file gives one, stays a cap)"},
    {"--pattern-out", "FILE", &Options::pattern_out, In(ROOM), "write the room's taps and their settings: .json or .csv"},
    {"-q,--quiet", "", &Options::quiet, SUMMARY_MODES,
     "no progress and no summary; warnings and errors still show"},
    {"--json", "", &Options::json, SUMMARY_MODES, "the summary as JSON on stdout (--batch: an array, one per file)"},
    {"--list-pins", "", &Options::list_pins, In(LIST_PINS), "print the module's pins and exit"},
    {"--list-presets", "", &Options::list_presets, In(LIST_PRESETS), "print the presets and exit"},
    {"--info", "", &Options::info, In(INFO), "print the module's identity and about text and exit"},
    {"--version", "", &Options::version, In(VERSION), "print the version and exit"},
};

// One usage block, with examples, in place of the library's generated line.
class UsageFormatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App*, std::string) const override {
        return R"(Usage:
  er-render IN OUT [options]                 IN or OUT "-" is stdin or stdout
  er-render IN -n [options]                  render and analyse, write nothing
  er-render --batch OUTDIR IN... [options]   every IN into OUTDIR, --jobs at a time
  er-render --impulse SECONDS OUT [options]  the setting's response to a unit impulse
  er-render --plot FILE [--plot-data FILE] [options]
  er-render --test-signal SECONDS OUT        a dry test signal, without the module
  er-render IN OUT --room NAME|FILE [--pattern-out FILE] [--plot FILE]
  er-render --room NAME|FILE --pattern-out FILE.json|csv [--plot FILE]
  er-render --list-pins | --list-presets | --info | --version
Examples:
  er-render in.wav out.wav --preset room --dry 0 --wet -3
  er-render in.wav out.flac --set "1 Time=25ms" --set "Feedback +/-10=4"
  cat in.wav | er-render - - --type wav --preset slapback > out.wav
  cat in.raw | er-render - - --type raw --rate 48000 --channels 2 --format pcm16 > out.raw
)";
    }
};

const char* const USAGE_FOOTER = R"(
Pin values are as the module shows them: choices by their text (any case) or number, float pins in shown units
(10 is 1.0, so "1 Volume 10=100%=10" is unity gain); "1 Time" also takes a delay with a unit, "25ms", "0.5s"
or "1102smp", which er-render turns into the value that gives exactly that delay. A float pin ramps linearly
over the render with "Name=FROM..TO"; the host then streams it. Unset pins keep the module's defaults, except
"Active", which is ON. --gate and --tail take seconds ("1.5"), milliseconds ("250ms") or samples ("12000smp");
--dry, --wet and --gain take decibels ("-3" or "-3dB") or "off". Units and preset names may be in any case.

Each mode takes the options listed for it and refuses the others. An option given twice takes the later value,
--set, --settings and --gate excepted, which add up in order. An empty value is refused; "--" ends the options.

Exit codes: 0 done, 1 internal fault, 2 bad command line or settings, 3 unreadable input, 4 output cannot be
written, 5 module cannot be loaded or lacks a pin, 6 the output became infinite or not a number, 7 a file of a
--batch failed; a signal ends the tool by that signal (130 for Ctrl-C). A failed run leaves no output file.)";

// The first name of a row, as the user most likely wrote it: "--quiet" for "-q,--quiet".
std::string LongName(std::string_view names) {
    const std::size_t comma = names.rfind(',');
    return std::string(comma == std::string_view::npos ? names : names.substr(comma + 1));
}

bool Triggers(const ModeRow& row, std::string_view name) {
    for (std::size_t start = 0; start < row.triggers.size();) {
        const std::size_t comma = std::min(row.triggers.find(',', start), row.triggers.size());
        if (row.triggers.substr(start, comma - start) == name) return true;
        start = comma + 1;
    }
    return false;
}

// "; it belongs to --batch OUTDIR" for an option only one mode takes and does not choose; else empty.
std::string BelongsTo(const OptionRow& option) {
    for (const ModeRow& row : MODES) {
        if (option.modes == In(row.mode) && !Triggers(row, LongName(option.names))) {
            return "; it belongs to " + std::string(row.name);
        }
    }
    return "";
}

const ModeRow* ModeTriggeredBy(std::string_view name) {
    for (const ModeRow& row : MODES) {
        if (Triggers(row, name)) return &row;
    }
    return nullptr;
}

// The mode the given options and files choose; throws when they choose none.
const ModeRow& ChooseMode(const CLI::App& app, const Options& options) {
    for (const ModeRow& row : MODES) {
        if (row.triggers.empty() && !options.files.empty()) return row;
        for (const OptionRow& option : OPTIONS) {
            if (Triggers(row, LongName(option.names)) && app.get_option(LongName(option.names))->count() > 0) {
                return row;
            }
        }
    }
    for (const OptionRow& option : OPTIONS) {
        const std::string belongs = BelongsTo(option);
        if (!belongs.empty() && app.get_option(LongName(option.names))->count() > 0) {
            throw Failure(EXIT_USAGE, LongName(option.names) + belongs.substr(1));
        }
    }
    throw Failure(EXIT_USAGE, "expected IN OUT, IN -n, or one of the modes (see er-render --help)");
}

// A room renders IN OUT, IN -n, --impulse SECONDS OUT (or -n), or nothing: its pattern or picture alone, which
// nothing that shapes a render applies to.
void CheckRoomFiles(const CLI::App& app, const Options& options) {
    const std::size_t files = options.files.size();
    const bool impulse = !options.impulse.empty();
    const std::size_t wanted = impulse ? (options.null_output ? 0 : 1) : options.null_output ? 1
                                                                     : files == 0            ? 0
                                                                                             : 2;
    if (files != wanted) {
        throw Failure(EXIT_USAGE, impulse               ? (options.null_output ? "--room --impulse SECONDS -n takes no file"
                                                                               : "--room --impulse SECONDS takes one file: OUT")
                                  : options.null_output ? "--room with -n takes one file: IN"
                                                        : "--room takes IN OUT, or no file with --pattern-out or --plot");
    }
    if (files > 0 || impulse || options.null_output) return;
    if (options.pattern_out.empty() && options.plot.empty()) {
        throw Failure(EXIT_USAGE,
                      "--room without IN OUT writes the pattern (--pattern-out FILE) or its picture "
                      "(--plot FILE); give one");
    }
    for (const char* name : {"--tail", "--gate", "--block", "--dry", "--wet", "--gain", "--type", "--format",
                             "--compression", "--dither", "--channels", "--json"}) {
        if (app.get_option(name)->count() == 0) continue;
        throw Failure(EXIT_USAGE, std::string(name) +
                                      " shapes a render; --room without IN OUT or --impulse renders "
                                      "nothing");
    }
}

// An empty value is refused rather than read as "not given": a script's unset variable must not quietly change
// the render.
void CheckNoEmptyValue(const CLI::App& app) {
    for (const OptionRow& option : OPTIONS) {
        if (std::holds_alternative<bool Options::*>(option.field)) continue;
        const std::string name = LongName(option.names);
        for (const std::string& value : app.get_option(name)->results()) {
            if (value.empty()) throw Failure(EXIT_USAGE, name + " takes " + std::string(option.value) + ", not an empty value");
        }
    }
}

// Refuses every option the mode does not honour, and files the mode does not take.
void CheckMode(const CLI::App& app, const ModeRow& mode, const Options& options) {
    for (const OptionRow& option : OPTIONS) {
        const std::string name = LongName(option.names);
        if (app.get_option(name)->count() == 0 || (option.modes & In(mode.mode)) != 0) continue;
        const ModeRow* other = ModeTriggeredBy(name);
        // A room takes --impulse as a variant of its own; to every other mode it is the impulse's mode.
        const ModeSet takers = other != nullptr && other->mode != ROOM ? option.modes & ~In(ROOM) : option.modes;
        if (other != nullptr && takers == In(other->mode)) {
            throw Failure(EXIT_USAGE, std::string(mode.name) + " and " + name + " are different modes; give one");
        }
        throw Failure(EXIT_USAGE, name + " does not apply to " + std::string(mode.name) + BelongsTo(option));
    }
    const std::size_t files = options.files.size();
    // -n writes nothing: what would shape the written file has nothing to shape (a raw IN's --format aside).
    if (options.null_output) {
        const bool reads_file = mode.mode == ANALYSE || (mode.mode == ROOM && options.impulse.empty());
        for (const char* name : {"--type", "--compression", "--dither", "--format"}) {
            if (app.get_option(name)->count() == 0 || (reads_file && std::string_view(name) == "--format")) continue;
            throw Failure(EXIT_USAGE, std::string(name) + " does not apply to -n, which writes nothing");
        }
    }
    if (mode.mode == ROOM) CheckRoomFiles(app, options);
    if (mode.mode == IMPULSE && options.null_output && files != 0) {
        throw Failure(EXIT_USAGE, "--impulse SECONDS -n takes no file");
    }
    if (mode.mode == IMPULSE && !options.null_output && files != 1) {
        throw Failure(EXIT_USAGE, "--impulse SECONDS takes one file: OUT");
    }
    if (files < mode.min_files || files > mode.max_files) {
        if (mode.mode == RENDER || mode.mode == ANALYSE) {
            throw Failure(EXIT_USAGE, "expected " + std::string(mode.files) + (mode.mode == ANALYSE ? " -n" : "") +
                                          "; see er-render --help");
        }
        throw Failure(EXIT_USAGE, std::string(mode.name) + " takes " + std::string(mode.files));
    }
    const bool writes_to_last =
        (In(mode.mode) & In(RENDER, IMPULSE, TEST_SIGNAL, ROOM)) != 0 && !options.null_output && files > 0;
    if (options.json && writes_to_last && options.files.back() == "-") {
        throw Failure(EXIT_USAGE, "--json and OUT \"-\" both want stdout");
    }
}

}  // namespace

const std::vector<ModeRow>& Modes() { return MODES; }
const std::vector<OptionRow>& OptionRows() { return OPTIONS; }

const ModeRow& RowOf(Mode mode) {
    for (const ModeRow& row : MODES) {
        if (row.mode == mode) return row;
    }
    return MODES.front();
}

int ParseCommandLine(int argc, char** argv, Options& options) {
    CLI::App app{"er-render: runs sound files through the early-reflection module, as a modular host would.",
                 "er-render"};
    app.formatter(std::make_shared<UsageFormatter>());
    app.footer(USAGE_FOOTER);
    app.add_option("files", options.files, "IN OUT; IN with -n; OUT with --impulse or --test-signal; IN... with --batch");
    for (const OptionRow& row : OPTIONS) {
        const std::string names(row.names), help(row.help), value(row.value);
        CLI::Option* option = std::visit(
            [&](auto field) -> CLI::Option* {
                auto& target = options.*field;
                if constexpr (std::is_same_v<std::remove_reference_t<decltype(target)>, bool>) {
                    return app.add_flag(names, target, help);
                } else {
                    return app.add_option(names, target, help)->type_name(value);
                }
            },
            row.field);
        if (std::holds_alternative<std::vector<std::string> Options::*>(row.field)) {
            option->allow_extra_args(false);
        } else {
            option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        // Help is data on stdout like any listing: a stdout that cannot take it fails the run.
        std::ostringstream text;
        app.exit(help, text, std::cerr);
        if (std::fputs(text.str().c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
            std::cerr << "er-render: cannot write to stdout: " << std::strerror(errno) << "\n";
            return EXIT_OUTPUT;
        }
        return EXIT_OK;
    } catch (const CLI::ParseError& error) {
        std::cerr << "er-render: " << error.what() << " (see er-render --help)\n";
        return EXIT_USAGE;
    }
    try {
        CheckNoEmptyValue(app);
        const ModeRow& mode = ChooseMode(app, options);
        options.mode = mode.mode;
        CheckMode(app, mode, options);
    } catch (const Failure& failure) {
        std::cerr << "er-render: " << failure.what() << "\n";
        return failure.Code();
    }
    return -1;
}

}  // namespace er_render
