// The values a host session feeds the module: streaming signals, and the values, choices and statuses a host
// never sends. Deterministic arithmetic only (no libm), so a seed gives the same samples on every build.
#pragma once

#include <cstdint>

#include "Rng.h"

namespace er_validate {

float HostileValue(Rng& rng);
std::int16_t HostileChoice(Rng& rng, std::int16_t lawful);
std::int32_t HostileStatus(Rng& rng);

// A streaming signal.
struct Signal {
    enum class Kind { Constant,
                      Noise,
                      Triangle,
                      Impulses,
                      Subnormal,
                      Steps } kind = Kind::Constant;
    float low = 0.0f, high = 0.0f;  // range of the values
    double phase = 0.0, step = 0.0;
    std::int32_t period = 1, hold = 0;
    float held = 0.0f;
    double hostile = 0.0;  // chance of a value a host never sends, per sample

    float Next(Rng& rng);
};

// A signal of a random kind within [low, high]; `hostile` is its chance per sample of a value no host sends.
Signal MakeSignal(Rng& rng, float low, float high, double hostile);

}  // namespace er_validate
