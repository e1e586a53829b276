#include "Analysis.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "EffectPins.h"
#include "Failure.h"
#include "SampleCodec.h"
#include "Text.h"

namespace er_render {

using namespace er_text;

namespace {

// The decay that counts as gone: 60 dB.
constexpr double DECAY_FLOOR = 1.0e-3;

// Samples for a geometric decay by `ratio` per step to fall below DECAY_FLOOR; infinity for ratio >= 1.
double StepsToDecay(double ratio) {
    if (ratio <= 0.0) return 0.0;
    if (ratio >= 1.0) return std::numeric_limits<double>::infinity();
    return std::ceil(std::log(DECAY_FLOOR) / std::log(ratio));
}

double LargestMagnitude(const PinSetting& setting) {
    return std::max(std::fabs(static_cast<double>(setting.from)), std::fabs(static_cast<double>(setting.to)));
}

bool NonZero(double amount) { return amount != 0.0 && !std::isnan(amount); }

// The amount the module's routine choice sees: 1.0 while the pin streams, else its value.
double BlockRateAmount(const PinSetting& setting) { return setting.ramp ? 1.0 : static_cast<double>(setting.from); }

}  // namespace

std::optional<EffectView> ViewEffect(const std::vector<PinSetting>& settings, float rate) {
    const PinSetting* active = FindSetting(settings, pins::ACTIVE);
    const PinSetting* time_mode = FindSetting(settings, pins::TIME_MODE);
    const PinSetting* accuracy = FindSetting(settings, pins::TIME_ACCURACY);
    const PinSetting* routing = FindSetting(settings, pins::ROUTING_MODE);
    const PinSetting* max_delay = FindSetting(settings, pins::MAX_DELAY);
    const PinSetting* volume_mode = FindSetting(settings, pins::VOLUME_MODE);
    const PinSetting* time = FindSetting(settings, pins::TIME);
    const PinSetting* volume = FindSetting(settings, pins::VOLUME);
    const PinSetting* feedback = FindSetting(settings, pins::FEEDBACK);
    const PinSetting* damping = FindSetting(settings, pins::DAMPING);
    for (const PinSetting* setting : {active, time_mode, accuracy, routing, max_delay, volume_mode}) {
        if (setting == nullptr || !setting->choice) return std::nullopt;
    }
    for (const PinSetting* setting : {time, volume, feedback, damping}) {
        if (setting == nullptr || setting->choice) return std::nullopt;
    }
    EffectView view;
    view.rate = rate;
    view.active = active->value != effect_pins::choice::OFF;
    view.time_mode = time_mode->value;
    view.time_accuracy = accuracy->value;
    view.routing_mode = routing->value;
    view.max_delay = max_delay->value;
    view.volume_mode = volume_mode->value;
    view.time = *time;
    view.volume = *volume;
    view.feedback = *feedback;
    view.damping = *damping;
    return view;
}

TapDelay TapDelayFor(const EffectView& view, float time_value) {
    const double requested = static_cast<double>(TimeScale(view.time_mode, view.rate)) * time_value;
    return RealisedDelay(requested, BufferLength(view.max_delay, view.rate),
                         SelectTimeReading(view) != TimeReading::WholeSample);
}

void ApplyDelayUnits(std::vector<PinSetting>& settings, float rate, bool accept_any_value) {
    for (PinSetting& setting : settings) {
        if (!setting.from_delay && !setting.to_delay) continue;
        const PinSetting* mode = FindSetting(settings, pins::TIME_MODE);
        if (mode == nullptr || !mode->choice) {
            throw Failure(EXIT_USAGE, setting.origin + ": the module has no \"" + std::string(pins::TIME_MODE) +
                                          "\" to convert a delay with a unit for");
        }
        const float scale = TimeScale(mode->value, rate);
        const PinSetting* accuracy = FindSetting(settings, pins::TIME_ACCURACY);
        const bool whole_samples = accuracy != nullptr && accuracy->choice && accuracy->value == effect_pins::choice::SAMPLE;
        for (auto [delay, value] : {std::pair{&setting.from_delay, &setting.from}, {&setting.to_delay, &setting.to}}) {
            if (!*delay) continue;
            const double samples = (*delay)->Samples(rate);
            if (samples < 1.0 && !accept_any_value) {
                throw Failure(EXIT_USAGE, setting.origin + ": " + Quoted((*delay)->text) + " is " +
                                              FormatNumber(samples) + " samples at " + FormatNumber(rate) +
                                              " Hz; the module's shortest delay is 1 sample");
            }
            // Whole-sample reading lands on the whole sample nearest the delay, halves rounding up.
            (*delay)->used = whole_samples ? std::round(samples) : samples;
            *value = PinValueForDelay((*delay)->used, scale);
        }
    }
}

std::optional<std::int32_t> ShortestHoldingMaxDelay(const EffectView& view) {
    const double scale = TimeScale(view.time_mode, view.rate);
    const bool fractional = SelectTimeReading(view) != TimeReading::WholeSample;
    const auto from = delay_law::ShortestLineHolding(scale * view.time.from, view.rate, fractional);
    const auto to = delay_law::ShortestLineHolding(scale * view.time.to, view.rate, fractional);
    // A larger entry is a shorter line: the ramp needs the line that holds both ends.
    if (!from || !to) return std::nullopt;
    return std::min(*from, *to);
}

std::vector<std::string> DelayWarnings(const EffectView& view) {
    std::vector<std::string> warnings;
    if (!view.active) return warnings;
    for (const float time : {view.time.from, view.time.to}) {
        const std::string warning = DelayWarning(TapDelayFor(view, time), view.rate);
        if (!warning.empty() && (warnings.empty() || warnings.back() != warning)) warnings.push_back(warning);
    }
    return warnings;
}

std::string DelayWarning(const TapDelay& delay, float rate) {
    if (delay.buffer <= 0) return "";
    const std::string buffer = Printf("%lld samples (%.3f ms)", static_cast<long long>(delay.buffer),
                                      static_cast<double>(delay.buffer) * 1000.0 / rate);
    const std::string realised = Printf("; the module's tap is at %.9g samples", delay.effective);
    if (delay.beyond_buffer) {
        const bool longer_line = delay.requested <= static_cast<double>(BufferLength(0, rate));
        return Printf("the tap delay of %.9g samples exceeds the \"Max Delay(s)\" line of ", delay.requested) +
               buffer + realised +
               (longer_line ? " (choose a longer \"Max Delay(s)\")" : " (no \"Max Delay(s)\" holds it at this rate)");
    }
    if (delay.below_one) {
        return Printf("the tap delay of %.9g samples is shorter than 1 sample", delay.requested) + realised +
               ", in a line of " + buffer;
    }
    return "";
}

std::string_view RoutingVariantName(RoutingVariant variant) {
    return effect_pins::ROUTING_VARIANT_NAMES[static_cast<std::size_t>(variant)];
}

RoutingVariant SelectRoutingVariant(const EffectView& view) {
    return effect_pins::SelectRoutingVariant(view.routing_mode, NonZero(BlockRateAmount(view.feedback)),
                                             NonZero(BlockRateAmount(view.damping)));
}

std::string_view TimeReadingName(TimeReading reading) {
    switch (reading) {
    case TimeReading::WholeSample: return "whole samples";
    case TimeReading::FractionPerBlock: return "interpolated, delay read once per block";
    case TimeReading::FractionPerSample: return "interpolated, delay read at every sample";
    }
    return "";
}

TimeReading SelectTimeReading(const EffectView& view) {
    switch (effect_pins::SelectTimeGroup(view.time_accuracy, view.time.ramp)) {
    case effect_pins::TimeGroup::Sample: return TimeReading::WholeSample;
    case effect_pins::TimeGroup::FractionFull: return TimeReading::FractionPerSample;
    case effect_pins::TimeGroup::FractionEcon: return TimeReading::FractionPerBlock;
    }
    return TimeReading::FractionPerBlock;
}

double LongestTapDelay(const EffectView& view) {
    return std::max(TapDelayFor(view, view.time.from).effective, TapDelayFor(view, view.time.to).effective);
}

DefaultTail DefaultTailFor(const EffectView& view) {
    if (!view.active) return {};
    // The echo of the last input sample arrives one delay after it, and an interpolated one spreads over the
    // sample after that too.
    const double delay = LongestTapDelay(view) + 1.0;
    const RoutingVariant variant = SelectRoutingVariant(view);
    double samples = delay;
    if (variant != RoutingVariant::Plain) {
        // Each trip round the loop scales by the feedback amount (and the tap gain when the output is fed
        // back); the low-pass passes DC at unit gain but takes time to settle.
        double gain = LargestMagnitude(view.feedback);
        if (variant == RoutingVariant::OutputFeedback || variant == RoutingVariant::InputOutputFeedback) {
            const double volume = LargestMagnitude(view.volume);
            gain *= view.volume_mode == effect_pins::choice::LINEAR ? volume : volume * volume;
        }
        const double settle = StepsToDecay(LargestMagnitude(view.damping));
        samples = (delay + settle) * (StepsToDecay(gain) + 1.0);
    }
    const double rate = static_cast<double>(view.rate);
    const double cap = std::max(MAX_DEFAULT_TAIL_SECONDS, delay / rate);
    return {std::min(samples / rate, cap), samples / rate > cap};
}

double PictureTailSeconds(const EffectView& view) { return DefaultTailSeconds(view) * 1.25; }

}  // namespace er_render
