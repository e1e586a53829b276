// How the plug-ins move a gain, a volume or a delay that changes while smoothing ("Smooth changes") is on: linearly
// from where it is to its new target, one step per sample, over the times below. The effects and the room's dry
// and wet levels ramp alike.
#pragma once

#include <algorithm>
#include <cstdint>

namespace er_plugin {

// A fade around a line change, a switch of "Active" or a gate, a ramp of a level or an amount, and a glide of the
// delay that moves it by at most GLIDE_SPEED samples per sample and lasts at least RAMP_MS.
inline constexpr double FADE_MS = 10.0;
inline constexpr double RAMP_MS = 20.0;
inline constexpr double GLIDE_SPEED = 0.5;
// While an amount ramps the modules run blocks of this many samples: they read it once per block.
inline constexpr std::int32_t RAMP_STEP = 8;

// A value moving linearly to a target, one step per sample.
struct Ramp {
    double value = 0.0;
    double target = 0.0;
    double step = 0.0;  // per sample, signed
    void Jump(double to) {
        value = target = to;
        step = 0.0;
    }
    // Reaches `to` after `samples` (at least 1).
    void Start(double to, double samples) {
        target = to;
        step = (to - value) / std::max(1.0, samples);
        if (step == 0.0) value = to;
    }
    // Toward `to`: with smoothing a ramp over `samples` from where it is (a new target starts a new ramp), else at
    // once.
    void Follow(double to, double samples, bool smooth) {
        if (!smooth) {
            Jump(to);
        } else if (target != to) {
            Start(to, samples);
        }
    }
    bool Moving() const { return value != target; }
    // The value after `samples` more samples.
    double Advance(std::uint32_t samples) {
        const double next = value + step * samples;
        value = (step > 0.0 ? next >= target : next <= target) ? target : next;
        return value;
    }
};

}  // namespace er_plugin
