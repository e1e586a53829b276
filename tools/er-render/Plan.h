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
#include "CommandLine.h"
#include "Host.h"
#include "Render.h"
#include "RoomRender.h"

namespace er_render {

// The folder of the presets shipped with the tool, and the path of one.
std::string PresetFolder();
// The file of the preset `name` (in any case), or empty when there is none.
std::string PresetPath(const std::string& name);
// Each preset's name and description (its leading comment lines, joined), in name order. Throws Failure
// (EXIT_INPUT) when the folder holds none.
std::vector<std::pair<std::string, std::string>> Presets();

// A checked render.
struct RenderPlan {
    RenderJob job;
    std::unique_ptr<InputFile> input;  // null: the input is a unit impulse
    std::string input_label;           // the input file, or "unit impulse"
    std::string output_path;
    std::string protected_path;  // the input, which the output must never replace; empty for an impulse
    int format = 0;              // libsndfile major format | subtype of the output
    std::int64_t tail_frames = 0;
    std::optional<EffectView> view;     // null for a module without the early-reflection pins
    std::vector<std::string> warnings;  // for stderr before the render: taps the line does not hold, a short file
    std::vector<std::string> notes;     // for stderr before the render unless -q: how to ask for what was meant
    Dither dither;
    EncoderSettings encoder;    // --compression, as the output's encoder takes it
    std::string dither_reason;  // why the output is or is not dithered, for the summary
    FileMetadata metadata;      // the input's texts and channel layout, for the output
    bool tail_capped = false;   // the default tail hit its cap before the estimated decay
};

// Checks the options of a render (IN OUT, or --impulse SECONDS OUT), opens the input and resolves the settings
// against the module's `pins`. Throws Failure naming the first problem; nothing is written.
RenderPlan PlanRender(const Options& options, const std::vector<er_host::PinDescription>& pins);

// Unless the user chose "Max Delay(s)", sets it to the shortest line that holds every delay `view` asks for, or
// the longest line when none does (DelayWarnings then says so).
void FitMaxDelay(std::vector<PinSetting>& settings, const std::vector<er_host::PinDescription>& pins,
                 const EffectView& view);

// A render's settings made final at its rate: each "1 Time" written with a unit turned into its pin value, a "1 Time"
// longer than the longest line refused unless `allow_unsafe`, "Max Delay(s)" fitted (FitMaxDelay). Answers the view of
// what they select (null for a module without the early-reflection pins) and adds the warnings and notes a render
// prints. Throws Failure (EXIT_USAGE) naming the setting. The render and the Python package's Effect both settle
// their settings here.
std::optional<EffectView> SettleSettings(std::vector<PinSetting>& settings,
                                         const std::vector<er_host::PinDescription>& pins, float rate,
                                         bool allow_unsafe, std::vector<std::string>& warnings,
                                         std::vector<std::string>& notes);

// --dry, --wet and --gain as their texts give them (decibels or "off"; empty: no dry signal, 0 dB, 0 dB) as the
// render's Mix. Throws Failure (EXIT_USAGE) naming the option.
Mix MixFromLevels(const std::string& dry, const std::string& wet, const std::string& gain);

// A checked --room: the room, its taps at the render's rate, and the render when there is one (IN OUT, IN -n or
// --impulse SECONDS OUT; without them the pattern or the figure alone, at --rate). The render's job has the
// output's channels, the room's tail unless --tail, and the gates; its settings are the user's "Time Accuracy"
// alone, which every tap takes. Throws Failure naming the first problem: an option the room decides (--set of
// any other pin, --settings, --preset), one that does not apply (--batch, --plot-data, --allow-unsafe), an
// input whose channels the pattern cannot take.
struct RoomPlan {
    RoomPattern pattern;
    std::optional<RenderPlan> render;
    std::int32_t input_channels = 1;
};
RoomPlan PlanRoom(const Options& options, const std::vector<er_host::PinDescription>& pins);

// A checked --test-signal.
struct SignalPlan {
    std::string path;
    std::int64_t frames = 0;
    float rate = 48000.0f;
    int format = 0;
    EncoderSettings encoder;
};
SignalPlan PlanTestSignal(const Options& options);

// Refuses (Failure, EXIT_OUTPUT) a run that would replace a file it reads with one it writes: any output (OUT,
// stdout, --plot, --plot-data, --pattern-out, a batch's targets) that is, through links too, the same file as
// any input (IN, stdin, a batch's inputs, --settings, the preset, a room file, the module), and two of OUT,
// --plot, --plot-data and --pattern-out that name one file. Checked once, before anything is read or written.
void RefuseOverwritingInputs(const Options& options);

// The longest --tail, --impulse and --test-signal.
inline constexpr double MAX_SECONDS = 3600.0;

}  // namespace er_render
