// The command line, checked and turned into a plan: what to read, what to write and what the host sends.
// Every value arrives as text and is checked here, so every message about it is the tool's own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Analysis.h"
#include "AudioFile.h"
#include "Host.h"
#include "Render.h"

namespace er_render {

// The command line as given.
struct Options {
    std::vector<std::string> files;           // IN OUT, or OUT alone with --impulse or --test-signal
    std::vector<std::string> sets;            // --set "Name=value", in order
    std::vector<std::string> settings_files;  // --settings FILE, read before the --set values
    std::vector<std::string> gates;           // --gate TIME
    std::string block = "512";
    std::string tail;                         // empty: from the settings
    std::string impulse;                      // SECONDS of a unit impulse's response instead of IN
    std::string test_signal;                  // SECONDS of the dry test signal to write
    std::string rate;                         // for --impulse and --test-signal; empty: 48000
    std::string format;                       // a sample format name (SubtypeForName); empty: the input's
    std::string type;                         // the container, as an extension; empty: OUT's extension
    std::string module;                       // empty: the library beside the tool
    std::string plot;                         // --plot FILE: the figure of the setting; empty: none
    std::string plot_data;                    // --plot-data FILE: the numbers behind it; empty: none
    bool list_pins = false;
    bool info = false;
    bool allow_unsafe = false;                // accept values outside the ranges where the effect is stable
    std::string dither;                       // none or tpdf; empty: TPDF where the output needs it
    std::string dry, wet, gain;               // decibels or "off"; empty: no dry signal, the wet at 0 dB, 0 dB
    std::vector<std::string> presets;         // --preset NAME: a settings file shipped with the tool
    bool null_output = false;                 // -n: render and analyse, write nothing (no OUT)
    bool quiet = false;
    bool json = false;
    bool list_presets = false;
    bool version = false;
    std::string batch;                        // --batch OUTDIR: every file in `files` is an input
    std::string jobs;                         // worker processes for --batch; empty: the number of cores
};

// The folder of the presets shipped with the tool, and the path of one.
std::string PresetFolder();
std::string PresetPath(const std::string& name);

// A checked render.
struct RenderPlan {
    RenderJob job;
    std::unique_ptr<InputFile> input;  // null: the input is a unit impulse
    std::string input_label;           // the input file, or "unit impulse"
    std::string output_path;
    std::string protected_path;        // the input, which the output must never replace; empty for an impulse
    int format = 0;                    // libsndfile major format | subtype of the output
    std::int64_t tail_frames = 0;
    std::optional<EffectView> view;    // null for a module without the early-reflection pins
    std::vector<std::string> warnings; // for stderr before the render: taps the line does not hold, a short file
    std::vector<std::string> notes;    // for stderr before the render unless -q: how to ask for what was meant
    Dither dither;
    std::string dither_reason;         // why the output is or is not dithered, for the summary
    bool tail_capped = false;          // the default tail hit its cap before the estimated decay
};

// Checks the options of a render (IN OUT, or --impulse SECONDS OUT), opens the input and resolves the settings
// against the module's `pins`. Throws Failure naming the first problem; nothing is written.
RenderPlan PlanRender(const Options& options, const std::vector<er_host::PinDescription>& pins);

// A checked --test-signal.
struct SignalPlan {
    std::string path;
    std::int64_t frames = 0;
    float rate = 48000.0f;
    int format = 0;
};
SignalPlan PlanTestSignal(const Options& options);

// The longest --tail, --impulse and --test-signal.
inline constexpr double MAX_SECONDS = 3600.0;

}  // namespace er_render
