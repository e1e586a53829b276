#include "HostModel.h"

#include <cmath>

namespace er_validate {

void Clear(Model& m) {
    m.unbounded = false;
    m.damped = false;
}

// Everything in the region where the loop cannot grow and every product stays finite: finite inputs and
// controls, 0 <= D < 1, |F| < 1 around a tap loop and |F x V| < 1 around an output loop, modest gains, and a
// fractional delay whose fraction stays within [0, 1).
bool Bounded(const Model& m, float x, float feedback, float damping, float volume, float time) {
    if (!(std::fabs(x) <= 1e6f)) return false;
    if (!(damping >= 0.0f && damping < 1.0f)) return false;
    if (!std::isfinite(feedback)) return false;
    const double gain = m.choice[Pin::VolumeMode] == 0 ? volume : static_cast<double>(volume) * volume;
    if (!(std::fabs(gain) <= 1e3)) return false;
    switch (m.choice[Pin::RoutingMode]) {
    case 0:
    case 1:
        if (!(std::fabs(feedback) < 1.0f)) return false;
        break;
    case 2:
    case 3:
        if (!(std::fabs(feedback * gain) < 1.0)) return false;
        break;
    default:
        break;  // no feedback path
    }
    if (m.choice[Pin::TimeAccuracy] != 0) {
        const double p = m.time_scale * time;
        if (!(p >= 0.0 && p < 2147483648.0)) return false;
    }
    return true;
}

// The effect of one event on the model, in the order the object receives it.
void Apply(Model& m, const Action& action, float gate_sample, double library_rate) {
    if (action.neutral) return;
    const Role role = action.role;
    m.notified[role] = true;
    if (IsChoice(role)) {
        m.choice[role] = action.choice;
        const std::int16_t v = action.choice;
        switch (role) {
        case Pin::Active:
            m.ever_active = true;
            if (v != 0 && !m.buffer) {
                m.buffer = true;
                m.allocated_max_delay = m.choice[Pin::MaxDelay];
                m.alloc_rate = library_rate;
                Clear(m);
            } else if (v == 0) {
                m.buffer = false;
            }
            break;
        case Pin::MaxDelay:
            if (m.choice[Pin::Active] != 0 && m.buffer && m.allocated_max_delay != v) {
                m.allocated_max_delay = v;
                m.alloc_rate = library_rate;
                Clear(m);
            }
            break;
        case Pin::TimeMode:
            if (v >= 0 && v <= 2) {
                const double scales[3] = {library_rate * 10.0, library_rate * 0.01, 10.0};
                m.time_scale = scales[v];
                m.time_scale_rate = library_rate;
                m.time_mode_seen = true;
            }
            break;
        default:
            break;
        }
        return;
    }
    if (role == Pin::Gate) {
        // The poly reset, as the host may expect it: positive gate, latch open or mono mode off.
        if (m.choice[Pin::MonoMode] != 0 && !m.latch) return;
        if (!(gate_sample > 0.0f)) return;
        m.latch = false;
        if (m.choice[Pin::Active] != 0 && m.buffer) Clear(m);
    }
}

}  // namespace er_validate
