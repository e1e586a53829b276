#include "Differential.h"

namespace effect_test {

std::vector<Event> SetupFor(Group group, Variant variant, Random& random, std::int32_t offset, bool start) {
    std::vector<Event> events;
    auto add = [&](Kind kind, float value) { events.push_back({offset, kind, value}); };
    if (start) {
        add(Kind::TimeMode, TIME_MODE_SAMPLES);
        add(Kind::MaxDelay, MAX_DELAY_256);
    }
    const std::int16_t accuracy = group == Group::Sample                              ? ACCURACY_SAMPLE
                                  : group == Group::FractionEcon && random.Chance(50) ? ACCURACY_ECON
                                                                                      : ACCURACY_FULL;
    add(Kind::Accuracy, accuracy);
    // Full needs a streaming time; Econ reached through "Fraction(Full)" needs a static one.
    const bool time_streaming =
        group == Group::FractionFull || (accuracy != ACCURACY_FULL && random.Chance(50));
    add(time_streaming ? Kind::TimeStream : Kind::TimeValue, RandomTime(random));
    add(random.Chance(50) ? Kind::VolumeStream : Kind::VolumeValue, RandomVolume(random));
    add(Kind::VolumeMode, random.Chance(50) ? 1.0f : 0.0f);
    if (random.Chance(30)) add(Kind::VolumeValue, RandomVolume(random));  // policy back to "once"
    switch (variant) {
    case Variant::Plain: {
        const std::int32_t mode = random.Below(5);  // 4: not in the list, Plain whatever the amounts
        add(Kind::RoutingMode, static_cast<float>(mode));
        add(Kind::FeedbackValue, mode == 4 ? RandomFeedback(random) : 0.0f);
        add(Kind::DampingValue, (mode == 1 || mode == 3) ? 0.0f : RandomDamping(random));
        break;
    }
    default: {
        const std::int32_t mode = static_cast<std::int32_t>(variant) - 1;
        add(Kind::RoutingMode, static_cast<float>(mode));
        const bool damping_selects = mode == 1 || mode == 3;
        // With damping selecting, the feedback may be a plain 0 while a damping amount streams.
        if (damping_selects && random.Chance(25)) {
            add(Kind::FeedbackValue, 0.0f);
            add(Kind::DampingStream, 0.0f);
        } else {
            add(random.Chance(50) ? Kind::FeedbackStream : Kind::FeedbackValue, RandomFeedback(random));
            add(random.Chance(50) ? Kind::DampingStream : Kind::DampingValue, RandomDamping(random));
        }
        break;
    }
    }
    if (start) add(Kind::On, 1.0f);
    return events;
}

}  // namespace effect_test
