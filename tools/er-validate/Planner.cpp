#include "SessionParts.h"

#include <algorithm>
#include <limits>

namespace er_validate {

// ---- values ----

float Session::LawfulValue(const Group& group, Role role) {
    switch (role) {
    case Pin::Feedback:
        return m_rng.Chance(0.3) ? m_rng.Pick<float>({0.0f, 0.5f, -0.5f, 0.9f, -0.9f, 0.99f, 1.0f, -1.0f})
                                 : static_cast<float>(m_rng.Real(-1.0, 1.0));
    case Pin::Damping:
        if (group.undamped) return 0.0f;
        return m_rng.Chance(0.3) ? m_rng.Pick<float>({0.0f, 0.25f, 0.5f, 0.9f, 0.999f, 1.0f})
                                 : static_cast<float>(m_rng.Real(0.0, 1.0));
    case Pin::Time:
        return m_rng.Chance(0.3) ? m_rng.Pick<float>({0.0f, 0.1f, 0.15f, 1.0f, 10.0f})
                                 : static_cast<float>(m_rng.Chance(0.5) ? m_rng.Real(0.0, 1.0) : m_rng.Real(0.0, 10.0));
    case Pin::Volume:
        return m_rng.Chance(0.3) ? m_rng.Pick<float>({1.0f, 0.5f, -0.5f, 0.0f, 2.0f})
                                 : static_cast<float>(m_rng.Real(-1.0, 1.0));
    case Pin::Gate:
        return m_rng.Pick<float>({1.0f, 1.0f, 0.5f, 0.0f, -1.0f});
    default:
        return static_cast<float>(m_rng.Real(-1.0, 1.0));
    }
}

float Session::PickValue(const Group& group, Role role) {
    return m_rng.Chance(m_hostility) ? HostileValue(m_rng) : LawfulValue(group, role);
}

Signal Session::PickSignal(const Group& group, Role role) {
    switch (role) {
    case Pin::AudioIn: {
        Signal signal = MakeSignal(m_rng, -1.0f, 1.0f, m_hostility * 0.001);
        if (m_rng.Chance(0.1)) signal.kind = Signal::Kind::Subnormal;
        return signal;
    }
    case Pin::Feedback: return MakeSignal(m_rng, -0.95f, 0.95f, m_hostility * 0.001);
    case Pin::Damping: return MakeSignal(m_rng, 0.0f, group.undamped ? 0.0f : 0.99f, m_hostility * 0.001);
    case Pin::Time: return MakeSignal(m_rng, 0.0f, m_rng.Chance(0.5) ? 1.0f : 10.0f, m_hostility * 0.001);
    case Pin::Volume: return MakeSignal(m_rng, -1.0f, 1.0f, m_hostility * 0.001);
    default: return MakeSignal(m_rng, 0.0f, 1.0f, 0.0);
    }
}

// ---- planning ----

// An event for `role` with a value a host sends or, now and then, one it never sends.
Action Session::ActionFor(Group& group, Role role) {
    Action action;
    action.role = role;
    if (IsChoice(role)) {
        const std::int16_t lawful = Facts(role).Choices();
        action.choice = m_rng.Chance(m_hostility) ? HostileChoice(m_rng, lawful)
                                                  : static_cast<std::int16_t>(m_rng.Int(0, lawful - 1));
        if (role == Pin::Active && m_rng.Chance(0.7) && !m_rng.Chance(m_hostility)) action.choice = 1;
        action.status = m_rng.Chance(0.8) ? PS_CHANGED : m_rng.Pick<std::int32_t>({PS_STATIC, PS_STREAMING});
    } else if (role != Pin::Gate && m_rng.Chance(0.3)) {
        action.status = PS_STREAMING;
        action.stream = true;
        action.signal = PickSignal(group, role);
    } else {
        action.status = m_rng.Chance(0.8) ? PS_CHANGED : PS_STATIC;
        action.set_value = role != Pin::AudioIn;  // a static audio input holds its last sample
        action.value = PickValue(group, role);
    }
    return action;
}

Action Session::RandomAction(Group& group, std::int32_t length) {
    Action action;
    const double kind = m_rng.Unit();
    if (kind < 0.35) {
        action = ActionFor(group, m_rng.Pick<Role>({Pin::Active, Pin::Active, Pin::Active, Pin::RoutingMode, Pin::RoutingMode, Pin::TimeAccuracy,
                                                    Pin::TimeAccuracy, Pin::TimeMode, Pin::MaxDelay, Pin::VolumeMode, Pin::MonoMode}));
    } else if (kind < 0.75) {
        action = ActionFor(group, m_rng.Pick<Role>({Pin::Feedback, Pin::Damping, Pin::Time, Pin::Volume, Pin::AudioIn}));
    } else if (kind < 0.85) {
        action = ActionFor(group, Pin::Gate);
    } else if (kind < 0.97 || m_hostility == 0.0) {
        action.neutral = true;
        action.data = static_cast<std::int32_t>(m_rng.Next());
    } else {
        // a status no host sends, on any pin; the pin's samples stay as they are from here on
        action.role = static_cast<Role>(m_rng.Int(0, ROLE_COUNT - 1));
        action.status = HostileStatus(m_rng);
        if (IsChoice(action.role)) action.choice = group.model.choice[action.role];
    }
    action.at = static_cast<std::int32_t>(m_rng.Int(0, length - 1));
    return action;
}

Segment Session::PlanSegment(Group& group, std::int32_t length, bool reset_first) {
    Segment segment;
    segment.length = length;
    std::vector<Action>& actions = segment.actions;
    const std::int32_t events = static_cast<std::int32_t>(m_rng.Chance(0.2) ? 0 : m_rng.LogInt(24));
    for (std::int32_t i = 0; i < events; ++i) actions.push_back(RandomAction(group, length));
    std::stable_sort(actions.begin(), actions.end(), [](const Action& a, const Action& b) { return a.at < b.at; });
    if (group.fresh) {
        // A new object: the host announces its pins first, most of them, and the switch last.
        std::vector<Action> first;
        for (Role role : {Pin::RoutingMode, Pin::TimeAccuracy, Pin::TimeMode, Pin::MaxDelay, Pin::VolumeMode, Pin::MonoMode, Pin::Feedback, Pin::Damping, Pin::Time,
                          Pin::Volume, Pin::Active}) {
            if (!m_rng.Chance(0.85)) continue;
            Action action = ActionFor(group, role);
            if (role == Pin::Active && m_rng.Chance(0.9)) action.choice = 1;
            first.push_back(action);
        }
        actions.insert(actions.begin(), first.begin(), first.end());
        group.fresh = false;
    }
    if (reset_first) {
        // The checked reset owns the gate's first sample: another gate event there would change the value
        // both notifications read.
        std::erase_if(actions, [](const Action& a) { return a.role == Pin::Gate && !a.neutral && a.at == 0; });
        Action gate;
        gate.role = Pin::Gate;
        gate.set_value = true;
        gate.value = 1.0f;
        actions.insert(actions.begin(), gate);
    }
    for (Role role : FLOAT_INPUTS) segment.content[role].resize(static_cast<std::size_t>(length));
    segment.must_be_finite.resize(static_cast<std::size_t>(length));
    segment.must_match.resize(static_cast<std::size_t>(length));
    segment.must_write.resize(static_cast<std::size_t>(length));

    Model& m = group.model;
    std::size_t next = 0;
    for (std::int32_t i = 0; i < length; ++i) {
        const auto s = static_cast<std::size_t>(i);
        const std::size_t first = next;
        while (next < actions.size() && actions[next].at == i) {
            const Action& action = actions[next++];
            if (action.neutral || !IsFloatInput(action.role)) continue;
            // The pin's samples from here on; without a new value or a stream they stay at the last sample.
            m.streaming[action.role] = action.stream;
            if (action.stream) m.signal[action.role] = action.signal;
            if (action.set_value) m.value[action.role] = action.value;
        }
        const bool cut = next > first;  // every member starts a stretch here
        for (Role role : FLOAT_INPUTS) {
            float sample = m.value[role];
            if (m.streaming[role]) {
                if (role == Pin::AudioIn || role == Pin::Gate || !group.comparable) {
                    sample = m.signal[role].Next(m_rng);
                } else if (cut && m_rng.Chance(0.5)) {
                    sample = PickValue(group, role);  // a comparable group's stream moves only at a shared cut
                }
            }
            m.value[role] = sample;
            segment.content[role][s] = sample;
        }
        for (std::size_t k = first; k < next; ++k) Apply(m, actions[k], segment.content[Pin::Gate][s], m_library_rate);
        const auto at = [&](Role role) { return segment.content[role][s]; };
        if (!Bounded(m, at(Pin::AudioIn), at(Pin::Feedback), at(Pin::Damping), at(Pin::Volume), at(Pin::Time))) m.unbounded = true;
        if (at(Pin::Damping) != 0.0f) m.damped = true;
        segment.must_be_finite[s] = !m.unbounded;
        segment.must_match[s] = !group.comparable || (!m.unbounded && !m.damped);
        segment.must_write[s] = m.ever_active;
    }
    return segment;
}

BlockPlan Session::MakePlan(std::int32_t length, std::int32_t block_size, bool split) {
    BlockPlan plan;
    for (std::int32_t position = 0; position < length;) {
        std::int32_t n = m_rng.Chance(0.6) ? block_size : static_cast<std::int32_t>(m_rng.Int(1, block_size));
        n = std::min(n, length - position);
        plan.lengths.push_back(n);
        std::vector<std::int32_t> splits;
        if (split && n > 1 && m_rng.Chance(0.3)) {
            const auto count = m_rng.Int(1, 4);
            for (std::int64_t k = 0; k < count; ++k) splits.push_back(static_cast<std::int32_t>(m_rng.Int(1, n - 1)));
        }
        plan.splits.push_back(std::move(splits));
        position += n;
    }
    return plan;
}

}  // namespace er_validate
