// Signals the tool makes itself, so that a demo and a measurement need no third-party audio.
#pragma once

#include <cstdint>

namespace er_render {

// A dry test signal: every half second, alternately a single-sample click and a short Hann-windowed tone burst
// (cycling through 440, 880 and 1760 Hz), starting 50 ms in. Sample `frame` of the signal at `rate`.
float TestSignalSample(std::int64_t frame, float rate);

// A unit impulse at the first sample.
inline float ImpulseSample(std::int64_t frame) { return frame == 0 ? 1.0f : 0.0f; }

}  // namespace er_render
