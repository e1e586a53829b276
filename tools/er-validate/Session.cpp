#include "SessionParts.h"
#include "PinCheck.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace er_validate {

namespace {

// Where the running session is, for a crash report.
std::uint64_t g_current_seed = 0;
std::int64_t g_current_step = 0;

}  // namespace

// ---- set-up ----

void Session::ChooseSettings() {
    // The rates of the buffer-size bands, their edges and the rates just above them, and any rate between.
    m_rate = m_rng.Chance(0.7)
                 ? m_rng.Pick<float>({8000.0f, 11025.0f, 22050.0f, 44100.0f, 48000.0f, 48001.0f, 88200.0f, 96000.0f,
                                      96001.0f, 176400.0f, 192000.0f, 192001.0f, 352800.0f, 384000.0f})
                 : static_cast<float>(m_rng.Int(8000, 384000));
    m_hostility = m_rng.Pick<double>({0.0, 0.0, 0.0, 0.01, 0.05, 0.2});
    m_environment = ReadFloatControl();
    if (m_rng.Chance(0.3)) m_environment.mxcsr |= MXCSR_FTZ | MXCSR_DAZ;  // as many hosts run their audio
    Trace(Format("session 0x%016llx: rate %.1f Hz, hostility %.2f, %s", static_cast<unsigned long long>(m_seed),
                 m_rate, m_hostility, Describe(m_environment).c_str()));
}

namespace {

std::int32_t PickBlockSize(Rng& rng) {
    return rng.Chance(0.5) ? rng.Pick<std::int32_t>({1, 2, 3, 7, 16, 64, 100, 128, 256, 441, 512, 1000, 1024, 2048, 4096})
                           : static_cast<std::int32_t>(rng.LogInt(4096));
}

}  // namespace

bool Session::AddMember(Group& group, MemberKind kind, std::int32_t block_size, float rate) {
    auto member = std::make_unique<Member>();
    member->kind = kind;
    member->block_size = block_size;
    InstanceOptions options;
    options.sample_rate = rate;
    options.block_size = block_size;
    options.record_calls = false;
    options.echo_errors = false;
    // Now and then the host announces a block size it never uses; it only sets when the silent effect sleeps.
    const bool odd_block = m_rng.Chance(m_hostility);
    const std::int32_t announced = odd_block ? m_rng.Pick<std::int32_t>({0, -1, 2147483647, 1 << 30, 3}) : block_size;
    options.open = !odd_block;
    member->instance = std::make_unique<Instance>(m_library, options);
    if (odd_block && member->instance->Valid()) {
        member->instance->Dispatch(OP_SET_SAMPLE_RATE, 0, 0, nullptr, rate);
        member->instance->Dispatch(OP_SET_BLOCK_SIZE, 0, announced);
        member->instance->Dispatch(OP_OPEN);
    }
    m_library_rate = rate;
    ++m_totals.instances;
    Trace(Format("group %d: new %s object, %g Hz, block size %d (announced %d)", group.index, KindName(kind), rate,
                 block_size, announced));
    if (!member->instance->Valid()) return Fail(group, member.get(), "makeModule(0, 1) returned no usable record");
    if (ReadFloatControl() != m_environment) {
        return Fail(group, member.get(), "opening returned with " + Describe(ReadFloatControl()));
    }
    er_host::PinIndexes found;
    const std::string pins_differ = er_host::CheckPins(member->instance->Pins(), found);
    if (!pins_differ.empty()) return Fail(group, member.get(), pins_differ);
    member->pin = found.index;
    member->watch = std::make_unique<StretchWatch>(*member->instance, member->pin[Pin::Out], m_environment);
    member->watch->Attach();
    group.members.push_back(std::move(member));
    return true;
}

bool Session::NewGroup(Group& group) {
    group.members.clear();  // closes the old objects
    group.model = Model();
    group.fresh = true;
    group.model.streaming[Pin::AudioIn] = true;
    group.model.signal[Pin::AudioIn] = PickSignal(group, Pin::AudioIn);
    group.comparable = m_rng.Chance(0.6);
    group.undamped = m_rng.Chance(0.5);
    // Now and then the objects are opened at a rate no host uses; it becomes the library-wide rate.
    const float rate = m_rng.Chance(m_hostility * 0.5)
                           ? m_rng.Pick<float>({std::numeric_limits<float>::quiet_NaN(), 0.0f, -48000.0f, 1.0f,
                                                std::numeric_limits<float>::infinity(), 1e9f, 47999.996f})
                           : m_rate;
    const std::int32_t left = PickBlockSize(m_rng);
    if (!AddMember(group, MemberKind::Left, left, rate)) return false;
    // A comparable pair cuts the same stream differently; a free pair (controls changing at any sample) cuts it
    // the same way and must simply agree.
    return AddMember(group, MemberKind::Right, group.comparable ? PickBlockSize(m_rng) : left, rate);
}

// ---- between segments ----

bool Session::Dispatch(Group& group, Member& member, std::int32_t opcode, std::int32_t index, std::int32_t value,
                       float opt) {
    member.instance->Dispatch(opcode, index, value, nullptr, opt);
    if (ReadFloatControl() != m_environment) {
        return Fail(group, &member, Format("dispatch opcode %d returned with ", opcode) + Describe(ReadFloatControl()));
    }
    return true;
}

void Session::BoundaryActions(Group& group) {
    if (m_rng.Chance(0.15)) {
        const std::int32_t index = m_rng.Pick<std::int32_t>({0, 0, 1, 3, -5});
        Trace(Format("group %d: OP_RESUME index %d", group.index, index));
        for (auto& member : group.members) {
            if (!Dispatch(group, *member, OP_RESUME, index, 0, 0.0f)) return;
        }
        if (group.model.choice[Pin::MonoMode] != 0) group.model.latch = true;
    }
    if (m_hostility > 0.0 && m_rng.Chance(m_hostility)) {
        // Opcodes that change nothing now: unknown ones, and rate and block size without a new open.
        const std::int32_t opcode = m_rng.Pick<std::int32_t>({4, 5, 9, 11, 12, 13, 14, 100, -1, 2, 3});
        const std::int32_t value = static_cast<std::int32_t>(m_rng.Next());
        const float opt = m_rng.Chance(0.5) ? HostileValue(m_rng) : static_cast<float>(m_rng.Real(0.0, 1e6));
        Trace(Format("group %d: dispatch opcode %d value %d opt %g", group.index, opcode, value, opt));
        for (auto& member : group.members) {
            if (!Dispatch(group, *member, opcode, value, value, opt)) return;
        }
    }
}

// A poly reset at the segment's first sample, and beside the left member a fresh object set up with the same
// settings. The reset empties the delay line and the damping state but keeps the write position, the tap
// readings and the read policies. The write position does not matter once the line is empty (every read and
// write is relative to it), and with every control pin constant since its last event the tap readings equal the
// fresh object's first readings. So from that sample on the two must agree bit for bit, given the same cuts.
bool Session::StartResetCheck(Group& group) {
    const Model& m = group.model;
    if (m.choice[Pin::Active] == 0 || !m.buffer) return false;
    if (m.choice[Pin::MonoMode] != 0 && !m.latch) return false;
    for (Role role : CHOICE_ROLES) {
        if (m.choice[role] < 0 || m.choice[role] >= Facts(role).Choices()) return false;
    }
    // The fresh object must size its line and scale its time with the same library-wide rate.
    // (Written so that a rate that is not a number never matches.)
    if (!(m.alloc_rate == m_library_rate) || (m.time_mode_seen && !(m.time_scale_rate == m_library_rate))) {
        return false;
    }
    Member& left = *group.members.front();
    std::erase_if(group.members, [](const auto& member) { return member->kind == MemberKind::Reference; });
    if (!AddMember(group, MemberKind::Reference, left.block_size, static_cast<float>(m_library_rate))) return false;
    Member& fresh = *group.members.back();
    // Replays every event the left member's settings came from; the switch last, as it sizes the line.
    for (std::int32_t index = 0; index < ROLE_COUNT; ++index) {
        const Role role = static_cast<Role>(index);
        if (!m.notified[role] || role == Pin::Gate || role == Pin::Active) continue;
        Action action;
        action.role = role;
        if (IsChoice(role)) {
            action.choice = m.choice[role];
        } else {
            action.status = m.streaming[role] ? PS_STREAMING : PS_CHANGED;
        }
        fresh.replay.push_back(action);
    }
    Action on;
    on.role = Pin::Active;
    on.choice = m.choice[Pin::Active];
    fresh.replay.push_back(on);
    ++m_totals.resets_checked;
    return true;
}

// ---- running ----

bool Session::RunMember(Group& group, Member& member, const Segment& segment) {
    Instance& instance = *member.instance;
    member.output.assign(static_cast<std::size_t>(segment.length), 0.0f);
    std::size_t next = 0;
    std::int32_t position = 0;
    const auto post = [&](const Action& action, std::int32_t offset) {
        ++m_totals.notifications;
        if (action.neutral) {
            if (action.data & 1) {
                instance.PostEvent(EV_DATA, action.data, action.data >> 8, 0, offset);
            } else {
                instance.PostStatus(member.pin[Pin::AudioIn], PS_STREAMING, offset);
            }
        } else if (IsChoice(action.role)) {
            instance.PostChoice(member.pin[action.role], action.choice, offset, action.status);
        } else {
            instance.PostStatus(member.pin[action.role], action.status, offset);
        }
    };
    for (std::size_t b = 0; b < member.plan.lengths.size(); ++b) {
        const std::int32_t n = member.plan.lengths[b];
        for (Role role : FLOAT_INPUTS) {
            std::memcpy(instance.Buffer(member.pin[role]), segment.content[role].data() + position,
                        sizeof(float) * static_cast<std::size_t>(n));
        }
        if (b == 0) {
            for (const Action& action : member.replay) post(action, 0);
            member.replay.clear();
        }
        while (next < segment.actions.size() && segment.actions[next].at < position + n) {
            post(segment.actions[next], segment.actions[next].at - position);
            ++next;
        }
        for (std::int32_t offset : member.plan.splits[b]) {
            Action neutral;
            neutral.neutral = true;
            neutral.data = offset;
            post(neutral, offset);
        }
        member.watch->Clear();
        const std::int64_t calls = instance.ProcessCalls();
        instance.Process(n);
        m_totals.process_calls += instance.ProcessCalls() - calls;
        m_totals.samples += n;
        const std::string where = Format("block at sample %d of the segment (%d samples)", position, n);
        if (!member.watch->Fault().empty()) return Fail(group, &member, member.watch->Fault() + ", " + where);
        if (ReadFloatControl() != m_environment) {
            return Fail(group, &member, "an event handler or dispatch returned with " + Describe(ReadFloatControl()) + ", " + where);
        }
        if (!instance.Errors().empty()) return Fail(group, &member, "the host noticed: " + instance.Errors().front());
        for (Role role : FLOAT_INPUTS) {
            if (std::memcmp(instance.Buffer(member.pin[role]), segment.content[role].data() + position,
                            sizeof(float) * static_cast<std::size_t>(n)) != 0) {
                return Fail(group, &member, std::string("the module wrote into the input pin ") + RoleName(role));
            }
        }
        std::memcpy(member.output.data() + position, instance.Buffer(member.pin[Pin::Out]),
                    sizeof(float) * static_cast<std::size_t>(n));
        position += n;
    }
    return CheckOutput(group, member, segment);
}

// One segment of one group: what happens between segments, then the segment on every member, then the
// comparisons. False once a fault was found.
bool Session::Step(Group& group) {
    Trace(Format("-- segment %lld, group %d", static_cast<long long>(m_step), group.index));
    if (m_rng.Chance(0.04)) {
        Trace(Format("group %d: closed and made anew", group.index));
        if (!NewGroup(group)) return false;
    }
    BoundaryActions(group);
    if (m_finding) return false;
    std::int32_t length = static_cast<std::int32_t>(m_rng.LogInt(20000));
    const bool reset = m_rng.Chance(0.2) && StartResetCheck(group);
    if (m_finding) return false;
    if (reset) length = static_cast<std::int32_t>(m_rng.Int(2000, 40000));
    const Segment segment = PlanSegment(group, length, reset);
    Trace(Format("group %d: %d samples, %zu events%s", group.index, length, segment.actions.size(),
                 reset ? ", poly reset checked against a fresh object" : ""));
    for (const Action& action : segment.actions) Trace("  " + ActionText(action));
    const BlockPlan left_plan = MakePlan(length, group.members.front()->block_size, true);
    for (auto& member : group.members) {
        const bool own = member->kind == MemberKind::Right && group.comparable;
        member->plan = own ? MakePlan(length, member->block_size, true) : left_plan;
    }
    for (auto& member : group.members) {
        if (!RunMember(group, *member, segment)) return false;
    }
    return Compare(group, segment);
}

std::optional<Finding> Session::Run() {
    ChooseSettings();
    const FloatControl host_environment = ReadFloatControl();
    WriteFloatControl(m_environment);
    m_environment = ReadFloatControl();  // what the processor took (an emulator may ignore flush-to-zero)
    const std::int64_t steps = m_rng.Int(4, 40);
    m_groups.resize(static_cast<std::size_t>(m_rng.Int(1, 3)));
    bool ok = true;
    for (std::size_t g = 0; g < m_groups.size() && ok; ++g) {
        m_groups[g].index = static_cast<int>(g);
        ok = NewGroup(m_groups[g]);
    }
    for (m_step = 0; ok && m_step < steps; ++m_step) {
        if (m_options.max_steps >= 0 && m_step >= m_options.max_steps) break;
        g_current_step = m_step;
        for (Group& group : m_groups) {
            if (!(ok = Step(group))) break;
        }
    }
    m_groups.clear();  // closes every object
    if (!m_finding && ReadFloatControl() != m_environment) {
        m_finding = Finding{m_seed, m_step, "closing returned with " + Describe(ReadFloatControl())};
    }
    WriteFloatControl(host_environment);
    ++m_totals.sessions;
    if (m_finding) ++m_totals.findings;
    return m_finding;
}

void Totals::Add(const Totals& other) {
    sessions += other.sessions;
    instances += other.instances;
    samples += other.samples;
    process_calls += other.process_calls;
    notifications += other.notifications;
    compared += other.compared;
    finite_checked += other.finite_checked;
    resets_checked += other.resets_checked;
    findings += other.findings;
}

std::optional<Finding> RunSession(const er_host::Library& library, std::uint64_t seed, const SessionOptions& options,
                                  Totals& totals) {
    g_current_seed = seed;
    Session session(library, seed, options, totals);
    return session.Run();
}

std::string ReplayArguments(const Finding& finding) {
    return Format("--replay 0x%016llx --steps %lld --trace", static_cast<unsigned long long>(finding.seed),
                  static_cast<long long>(finding.step + 1));
}

std::uint64_t CurrentSeed() { return g_current_seed; }
std::int64_t CurrentStep() { return g_current_step; }

}  // namespace er_validate
