#include "Summary.h"

#include <cmath>
#include <cstdio>

#include "Text.h"

namespace er_render {

namespace {

std::string Printf(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof(text), format, values...);
    return text;
}

std::string Decibels(double level) {
    if (!(level > 0.0)) return "-inf dBFS";
    return Printf("%.1f dBFS", 20.0 * std::log10(level));
}

std::string DelayText(const TapDelay& delay, float rate) {
    std::string text = Printf("%.9g samples (%.3f ms)", delay.effective, delay.effective * 1000.0 / rate);
    // Shown values are floats: "1 Time=7" in "Samples" mode asks for 6.9999999 samples, which whole-sample
    // reading truncates to 6.
    if (!delay.fractional && delay.requested != std::trunc(delay.requested) && !delay.beyond_buffer) {
        text += Printf(", truncated from %.9g", delay.requested);
    }
    return text;
}

std::string SettingText(const PinSetting& setting) {
    if (setting.choice) return setting.name + "=" + setting.entry;
    std::string text = setting.name + "=" + FormatShown(PinToShown(setting.from));
    if (setting.ramp) text += ".." + FormatShown(PinToShown(setting.to));
    return text;
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
    const TapDelay start = TapDelayFor(view, view.time.from);
    for (const TapDelay& end : {start, TapDelayFor(view, view.time.to)}) {
        const std::string warning = DelayWarning(end, view.rate);
        if (!warning.empty()) {
            text += "  warning: " + warning + "\n";
            if (!view.time.ramp) break;
        }
    }
    Line(text, "routine", RoutineText(view));
}

}  // namespace

std::string FormatShown(double shown) { return Printf("%.7g", shown); }

std::string ChosenSettingsText(const std::vector<PinSetting>& settings) {
    std::string chosen;
    for (const PinSetting& setting : settings) {
        if (!setting.from_user) continue;
        chosen += (chosen.empty() ? "" : ", ") + SettingText(setting);
    }
    return chosen.empty() ? "the module's defaults, Active=ON" : chosen;
}

std::string TapDelayText(const EffectView& view) {
    std::string delay = DelayText(TapDelayFor(view, view.time.from), view.rate);
    if (view.time.ramp) delay += " ramping to " + DelayText(TapDelayFor(view, view.time.to), view.rate);
    return delay;
}

std::string RoutineText(const EffectView& view) {
    return std::string(RoutingVariantName(SelectRoutingVariant(view))) + ", " +
           std::string(TimeReadingName(SelectTimeReading(view)));
}

std::string DelayWarning(const TapDelay& delay, float rate) {
    if (delay.buffer <= 0) return "";
    const std::string buffer = Printf("%lld samples (%.3f ms)", static_cast<long long>(delay.buffer),
                                      static_cast<double>(delay.buffer) * 1000.0 / rate);
    if (delay.beyond_buffer) {
        return Printf("the tap delay of %.6g samples exceeds the Max Delay buffer of ", delay.requested) + buffer +
               Printf("; the module wraps the tap to %.6g samples (choose a longer \"Max Delay(s)\")",
                      delay.effective);
    }
    if (delay.below_one) {
        return Printf("the tap delay of %.6g samples is below 1 sample; the module reads the whole buffer of ",
                      delay.requested) + buffer + " instead";
    }
    return "";
}

std::string FormatSummary(const SummaryFacts& facts) {
    std::string text = "er-render: " + facts.input + " -> " + facts.output + "\n";
    const std::int64_t total = facts.input_frames + facts.tail_frames;
    Line(text, "frames",
         Printf("%lld + %lld tail = %lld (%.3f s) at %g Hz, %d channel%s", static_cast<long long>(facts.input_frames),
                static_cast<long long>(facts.tail_frames), static_cast<long long>(total),
                static_cast<double>(total) / facts.rate, static_cast<double>(facts.rate), facts.channels,
                facts.channels == 1 ? "" : "s"));
    Line(text, "settings", ChosenSettingsText(facts.settings));
    if (facts.view) DescribeEffect(text, *facts.view);

    const double rms = facts.stats.samples > 0 ? std::sqrt(facts.stats.sum_squares / facts.stats.samples) : 0.0;
    Line(text, "output",
         facts.output_format + Printf(": peak %.4f (", facts.stats.peak) + Decibels(facts.stats.peak) +
             Printf("), RMS %.4f (", rms) + Decibels(rms) +
             Printf("), %lld sample%s clipped", static_cast<long long>(facts.clipped), facts.clipped == 1 ? "" : "s"));
    const double audio_seconds = static_cast<double>(total) / facts.rate;
    const std::string speed = facts.seconds > 0.0 ? Printf(", %.0fx real time", audio_seconds / facts.seconds) : "";
    Line(text, "time", Printf("%.3f s", facts.seconds) + speed);
    return text;
}

}  // namespace er_render
