#include "Summary.h"

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "Text.h"

namespace er_render {

using namespace er_text;

namespace {

// How far a delay with a unit may lie from the whole sample it lands on and pass without a word: "22.675736ms"
// at 44100 Hz is 999.99996 samples, 1000 as written to the microsecond.
constexpr double NEAREST_NOTED = 1.0e-3;

std::string DelayText(const TapDelay& delay, float rate) {
    std::string text = Printf("%.9g samples (%.3f ms)", delay.effective, delay.effective * 1000.0 / rate);
    // Shown values are floats: "1 Time=7" in "Samples" mode asks for 6.9999999 samples, which whole-sample
    // reading truncates to 6.
    if (!delay.fractional && std::trunc(delay.requested) != std::nearbyint(delay.requested) && !delay.beyond_buffer) {
        text += Printf(", truncated from %.9g", delay.requested);
    }
    return text;
}

// A float end as the user wrote it; a delay with a unit also shows the value the module receives.
std::string EndText(float value, const std::optional<DelayAsked>& delay) {
    if (!delay) return FormatNumber(PinToShown(value));
    return delay->text + Printf(" (shown %.9g)", PinToShown(value));
}

std::string SettingText(const PinSetting& setting) {
    if (setting.choice) {
        return setting.name + "=" + setting.entry + (setting.chosen_by_tool.empty() ? "" : " (" + setting.chosen_by_tool + ")");
    }
    std::string text = setting.name + "=" + EndText(setting.from, setting.from_delay);
    if (setting.ramp) text += ".." + EndText(setting.to, setting.to_delay);
    return text;
}

// A delay with a unit that falls between whole samples, where whole-sample reading takes the nearest.
std::string NearestText(const std::optional<DelayAsked>& delay, float rate) {
    if (!delay) return "";
    const double asked = delay->Samples(rate);
    const double away = std::fabs(delay->used - asked);
    if (away <= NEAREST_NOTED) return "";
    return Printf(", the whole sample nearest %s (%.9g samples; %.3g samples, %.4f ms away)", delay->text.c_str(), asked,
                  away, away * 1000.0 / rate);
}

// What happened to samples past full scale, in the words of the output line.
std::string ClippedText(const SummaryFacts& facts) {
    const std::int64_t past = facts.stats.past_full_scale;
    auto samples = [](std::int64_t count) { return Printf("%lld sample%s", static_cast<long long>(count), count == 1 ? "" : "s"); };
    if (!facts.written) return samples(past) + " past full scale";
    std::string text = samples(facts.clipped) + " clipped";
    if (past > facts.clipped) text += ", " + samples(past - facts.clipped) + " past full scale kept as floats";
    return text;
}

std::string PrecisionText(const SummaryFacts& facts) {
    return Printf("the input's %d-bit samples pass through the module's %d-bit float path: %lld rounded",
                  facts.input_bits, FLOAT_PATH_BITS, static_cast<long long>(facts.input_rounded));
}

// "-23.0 LUFS integrated, true peak -1.2 dBTP".
std::string LoudnessText(const Loudness& loudness) {
    const std::string integrated = loudness.integrated ? Printf("%.1f LUFS", *loudness.integrated) : "below -70 LUFS";
    const std::string peak = loudness.true_peak > 0.0 ? Printf("%.1f dBTP", 20.0 * std::log10(loudness.true_peak)) : "-inf dBTP";
    return integrated + " integrated (EBU R128), true peak " + peak;
}

std::string GainText(double gain) { return gain > 0.0 ? Printf("%+.2f dB", 20.0 * std::log10(gain)) : "off"; }

std::string MixText(const Mix& mix) {
    std::string text = "the module's output " + GainText(mix.wet_gain);
    if (mix.dry) text += " + the input " + GainText(mix.dry_gain);
    return text + ", then " + GainText(mix.gain);
}

void Line(std::string& text, const char* label, const std::string& value) {
    text += Printf("  %-11s ", label) + value + "\n";
}

void DescribeEffect(std::string& text, const EffectView& view) {
    if (!view.active) {
        Line(text, "routine", "none: \"Active\" is OFF, the output is silent");
        return;
    }
    Line(text, "tap delay", TapDelayText(view));
    Line(text, "routine", RoutineText(view));
}

}  // namespace

std::string ChosenSettingsText(const std::vector<PinSetting>& settings) {
    std::string chosen;
    for (const PinSetting& setting : settings) {
        if (!setting.from_user && setting.chosen_by_tool.empty()) continue;
        chosen += (chosen.empty() ? "" : ", ") + SettingText(setting);
    }
    return chosen.empty() ? "the module's defaults, Active=ON" : chosen;
}

std::string TapDelayText(const EffectView& view) {
    std::string delay = DelayText(TapDelayFor(view, view.time.from), view.rate) + NearestText(view.time.from_delay, view.rate);
    if (view.time.ramp) {
        delay += " ramping to " + DelayText(TapDelayFor(view, view.time.to), view.rate) +
                 NearestText(view.time.to_delay, view.rate);
    }
    return delay;
}

std::string RoutineText(const EffectView& view) {
    return std::string(RoutingVariantName(SelectRoutingVariant(view))) + ", " +
           std::string(TimeReadingName(SelectTimeReading(view)));
}

std::string Decibels(double level) {
    if (!(level > 0.0)) return "-inf dBFS";
    return Printf("%.1f dBFS", 20.0 * std::log10(level));
}

std::string SummaryJson(const SummaryFacts& facts, const std::vector<std::string>& plan_warnings,
                        const std::vector<std::string>& figure_lines) {
    const double rms = facts.stats.Rms();
    nlohmann::ordered_json json;
    json["input"] = facts.input;
    json["output"] = facts.output;
    json["format"] = facts.output_format;
    json["rate"] = facts.rate;
    json["channels"] = facts.channels;
    json["input_frames"] = facts.input_frames;
    json["tail_frames"] = facts.tail_frames;
    json["settings"] = facts.settings_text.empty() ? ChosenSettingsText(facts.settings) : facts.settings_text;
    if (!facts.room.empty()) json["room"] = facts.room;
    if (facts.view && facts.view->active) {
        const TapDelay delay = TapDelayFor(*facts.view, facts.view->time.from);
        json["tap_delay_samples"] = delay.effective;
        json["tap_delay_ms"] = delay.effective * 1000.0 / facts.rate;
        json["routine"] = RoutineText(*facts.view);
    }
    nlohmann::ordered_json mix;
    auto decibels = [](double gain) -> nlohmann::ordered_json {
        if (!(gain > 0.0)) return "off";
        return 20.0 * std::log10(gain);
    };
    mix["dry_db"] = facts.mix.dry ? decibels(facts.mix.dry_gain) : nlohmann::ordered_json("off");
    mix["wet_db"] = decibels(facts.mix.wet_gain);
    mix["gain_db"] = decibels(facts.mix.gain);
    json["mix"] = mix;
    json["peak"] = facts.stats.peak;
    json["rms"] = rms;
    json["clipped"] = facts.clipped;
    json["past_full_scale"] = facts.stats.past_full_scale;
    if (facts.loudness) {
        // JSON has no infinity: silence and output under the gate give null.
        json["loudness_lufs"] = facts.loudness->integrated ? nlohmann::ordered_json(*facts.loudness->integrated) : nullptr;
        json["true_peak_dbtp"] = facts.loudness->true_peak > 0.0
                                     ? nlohmann::ordered_json(20.0 * std::log10(facts.loudness->true_peak))
                                     : nullptr;
    }
    if (facts.input_bits > FLOAT_PATH_BITS) {
        json["input_bits"] = facts.input_bits;
        json["input_rounded"] = facts.input_rounded;
    }
    json["dither"] = facts.dither;
    json["seconds"] = facts.seconds;
    std::vector<std::string> warnings = plan_warnings;
    warnings.insert(warnings.end(), facts.warnings.begin(), facts.warnings.end());
    json["warnings"] = warnings;
    for (const std::string& line : figure_lines) json["figures"].push_back(std::string(Trim(line)));
    return JsonText(json);
}

std::string FormatSummary(const SummaryFacts& facts) {
    std::string text = "er-render: " + facts.input + " -> " + facts.output + "\n";
    const std::int64_t total = facts.input_frames + facts.tail_frames;
    Line(text, "frames",
         Printf("%lld + %lld tail = %lld (%.3f s) at %g Hz, %d channel%s", static_cast<long long>(facts.input_frames),
                static_cast<long long>(facts.tail_frames), static_cast<long long>(total),
                static_cast<double>(total) / facts.rate, static_cast<double>(facts.rate), facts.channels,
                facts.channels == 1 ? "" : "s"));
    Line(text, "settings", facts.settings_text.empty() ? ChosenSettingsText(facts.settings) : facts.settings_text);
    if (!facts.room.empty()) Line(text, "room", facts.room);
    if (facts.view) DescribeEffect(text, *facts.view);

    const double rms = facts.stats.Rms();
    Line(text, "output",
         facts.output_format + Printf(": peak %.4f (", facts.stats.peak) + Decibels(facts.stats.peak) +
             Printf("), RMS %.4f (", rms) + Decibels(rms) + "), " + ClippedText(facts));
    if (facts.loudness) Line(text, "loudness", LoudnessText(*facts.loudness));
    if (facts.input_bits > FLOAT_PATH_BITS) Line(text, "precision", PrecisionText(facts));
    if (!facts.mix.Identity()) Line(text, "mix", MixText(facts.mix));
    if (!facts.dither.empty()) Line(text, "dither", facts.dither);
    for (const std::string& warning : facts.warnings) text += "  warning: " + warning + "\n";
    const double audio_seconds = static_cast<double>(total) / facts.rate;
    const std::string speed = facts.seconds > 0.0 ? Printf(", %.0fx real time", audio_seconds / facts.seconds) : "";
    Line(text, "time", Printf("%.3f s", facts.seconds) + speed);
    return text;
}

}  // namespace er_render
