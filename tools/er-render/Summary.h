// The one-screen summary printed after a render.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Analysis.h"
#include "Loudness.h"
#include "Render.h"
#include "Settings.h"
#include "Text.h"

namespace er_render {

// Every string in `json` with its stray bytes escaped (er_text::Utf8Escaped).
template <class Json>
void EscapeStrings(Json& json) {
    if (json.is_string()) {
        json = er_text::Utf8Escaped(json.template get_ref<const std::string&>());
    } else if (json.is_structured()) {
        for (auto& item : json) EscapeStrings(item);
    }
}

// `json` as text (`indent` as nlohmann's dump takes it). Every JSON the tool writes goes through here, so that a
// file name that is not UTF-8 is escaped in it rather than failing the run after the output was written.
template <class Json>
std::string JsonText(Json json, int indent = -1) {
    EscapeStrings(json);
    return json.dump(indent);
}

struct SummaryFacts {
    std::string input;          // the input file, or what was rendered instead ("unit impulse")
    std::string output;         // the output file
    std::string output_format;  // "WAV (Microsoft), pcm16"
    std::string dither;         // "TPDF (16-bit samples)", "none (float samples)"
    Mix mix;
    float rate = 48000.0f;
    std::int32_t channels = 1;
    std::int64_t input_frames = 0;
    std::int64_t tail_frames = 0;
    std::vector<PinSetting> settings;
    std::optional<EffectView> view;  // absent for a module without the early-reflection pins
    RenderStats stats;
    std::int64_t clipped = 0;           // samples past full scale that the output format cut to its extremes
    bool written = true;                // false for -n: nothing holds the samples, so none is clipped
    int input_bits = 0;                 // the input's precision (PrecisionBits); 0 for a unit impulse
    std::int64_t input_rounded = 0;     // input samples the module's 32-bit float path rounded
    std::optional<Loudness> loudness;   // of the output as rendered; none when not measured (-q)
    double seconds = 0.0;               // wall-clock time of the render
    std::vector<std::string> warnings;  // for stderr in every mode: clipping, a cut tail, a file cut short
    std::string room;                   // a room's render: the room and its taps; empty for one module
    std::string settings_text;          // what the settings line says where the job's settings do not (a room)
};

// What the module's float path keeps of a sample: its 24-bit significand.
inline constexpr int FLOAT_PATH_BITS = 24;

std::string FormatSummary(const SummaryFacts& facts);
// The same facts as one JSON object (for --json), numbers as numbers: every warning of the run, the plan's
// (shown before the render) first, and the lines of the figures made beside it.
std::string SummaryJson(const SummaryFacts& facts, const std::vector<std::string>& plan_warnings,
                        const std::vector<std::string>& figure_lines);
// "-6.0 dBFS", "-inf dBFS".
std::string Decibels(double level);

// The settings the user chose, as the module shows them: "Time Mode=Time(ms), 1 Time=25", in pin order.
std::string ChosenSettingsText(const std::vector<PinSetting>& settings);
// The tap delay the module realises: "1200 samples (25.000 ms)", and where a ramp takes it.
std::string TapDelayText(const EffectView& view);
// The routine the settings install: "InputTapFeedback, whole samples".
std::string RoutineText(const EffectView& view);

}  // namespace er_render
