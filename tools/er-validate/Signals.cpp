#include "Signals.h"

#include <limits>

namespace er_validate {

float HostileValue(Rng& rng) {
    return rng.Pick<float>({std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), 1e30f, -1e30f, 1e-40f, -1e-42f,
                            std::numeric_limits<float>::denorm_min(), -3.0f, 1e12f,
                            std::numeric_limits<float>::max(), -0.0f, 7.5f, -1e-3f});
}

std::int16_t HostileChoice(Rng& rng, std::int16_t lawful) {
    return rng.Pick<std::int16_t>({-1, lawful, static_cast<std::int16_t>(lawful + 1), 255, 32767, -32768});
}

std::int32_t HostileStatus(Rng& rng) { return rng.Pick<std::int32_t>({3, -1, 7, 255, -2147483647 - 1}); }

float Signal::Next(Rng& rng) {
    if (hostile > 0.0 && rng.Chance(hostile)) return HostileValue(rng);
    switch (kind) {
    case Signal::Kind::Constant:
        return low;
    case Signal::Kind::Noise:
        return static_cast<float>(rng.Real(low, high));
    case Signal::Kind::Triangle: {
        phase += step;
        if (phase >= 2.0) phase -= 2.0;
        const double t = phase < 1.0 ? phase : 2.0 - phase;
        return static_cast<float>(low + (high - low) * t);
    }
    case Signal::Kind::Impulses:
        return (++hold % period) == 0 ? high : 0.0f;
    case Signal::Kind::Subnormal:
        return static_cast<float>(rng.Real(-1.0, 1.0)) * 1e-39f;
    case Signal::Kind::Steps:
        if (hold-- <= 0) {
            hold = static_cast<std::int32_t>(rng.LogInt(4000));
            held = static_cast<float>(rng.Real(low, high));
        }
        return held;
    }
    return 0.0f;
}

Signal MakeSignal(Rng& rng, float low, float high, double hostile) {
    Signal signal;
    signal.kind = static_cast<Signal::Kind>(rng.Int(0, 5));
    signal.low = low;
    signal.high = high;
    signal.step = rng.Real(1e-5, 0.05);
    signal.period = static_cast<std::int32_t>(rng.LogInt(5000));
    signal.hostile = hostile;
    if (signal.kind == Signal::Kind::Constant) signal.low = static_cast<float>(rng.Real(low, high));
    return signal;
}

}  // namespace er_validate
