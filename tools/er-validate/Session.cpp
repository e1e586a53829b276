#include "Session.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "FloatEnvironment.h"
#include "PinFacts.h"
#include "Rng.h"
#include "StretchWatch.h"

namespace er_validate {
namespace {

using er_host::Instance;
using er_host::InstanceOptions;

// Where the running session is, for a crash report.
std::uint64_t g_current_seed = 0;
std::int64_t g_current_step = 0;

// ---- the pins the validator drives, by the names the module gives them -----------------------------------------

enum Role {
    kAudio, kActive, kFeedback, kDamping, kRouting, kOut, kAccuracy,
    kTimeMode, kTime, kVolume, kMaxDelay, kVolumeMode, kMono, kGate, kRoleCount
};

static_assert(kRoleCount == effect_pins::PIN_COUNT && kOut == static_cast<int>(effect_pins::Pin::Out) &&
                  kMaxDelay == static_cast<int>(effect_pins::Pin::MaxDelay),
              "one role per pin, in the module's pin order");

const effect_pins::PinFacts& Facts(int role) { return effect_pins::kPins[static_cast<std::size_t>(role)]; }
const char* RoleName(int role) { return Facts(role).name.data(); }  // the table's names are string literals
bool IsChoice(int role) { return Facts(role).datatype == DT_LIST; }

constexpr std::array<Role, 4> kControls{kFeedback, kDamping, kTime, kVolume};  // read at block starts
constexpr std::array<Role, 6> kFloatInputs{kAudio, kFeedback, kDamping, kTime, kVolume, kGate};
constexpr std::array<Role, 7> kChoices{kActive, kRouting, kAccuracy, kTimeMode, kMaxDelay, kVolumeMode, kMono};

bool IsFloatInput(Role role) { return std::find(kFloatInputs.begin(), kFloatInputs.end(), role) != kFloatInputs.end(); }

// Samples compare equal when their bits are equal or both are NaN.
bool Same(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) || (std::isnan(a) && std::isnan(b));
}

std::string Format(const char* format, auto... args) {
    char text[512];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// ---- values a host sends, and values it never sends ------------------------------------------------------------

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

// A streaming signal: deterministic arithmetic only (no libm), so a seed gives the same samples on every build.
struct Signal {
    enum Kind { kConstant, kNoise, kTriangle, kImpulses, kSubnormal, kSteps } kind = kConstant;
    float low = 0.0f, high = 0.0f;  // range of the values
    double phase = 0.0, step = 0.0;
    std::int32_t period = 1, hold = 0;
    float held = 0.0f;
    double hostile = 0.0;           // chance of a value a host never sends, per sample

    float Next(Rng& rng) {
        if (hostile > 0.0 && rng.Chance(hostile)) return HostileValue(rng);
        switch (kind) {
        case kConstant:
            return low;
        case kNoise:
            return static_cast<float>(rng.Real(low, high));
        case kTriangle: {
            phase += step;
            if (phase >= 2.0) phase -= 2.0;
            const double t = phase < 1.0 ? phase : 2.0 - phase;
            return static_cast<float>(low + (high - low) * t);
        }
        case kImpulses:
            return (++hold % period) == 0 ? high : 0.0f;
        case kSubnormal:
            return static_cast<float>(rng.Real(-1.0, 1.0)) * 1e-39f;
        case kSteps:
            if (hold-- <= 0) {
                hold = static_cast<std::int32_t>(rng.LogInt(4000));
                held = static_cast<float>(rng.Real(low, high));
            }
            return held;
        }
        return 0.0f;
    }
};

Signal MakeSignal(Rng& rng, float low, float high, double hostile) {
    Signal signal;
    signal.kind = static_cast<Signal::Kind>(rng.Int(0, 5));
    signal.low = low;
    signal.high = high;
    signal.step = rng.Real(1e-5, 0.05);
    signal.period = static_cast<std::int32_t>(rng.LogInt(5000));
    signal.hostile = hostile;
    if (signal.kind == Signal::kConstant) signal.low = static_cast<float>(rng.Real(low, high));
    return signal;
}

// ---- the module as the host may assume it to be ---------------------------------------------------------------

// What the host knows of one processing object from the events it sent, enough to say when an output must be
// finite, when two objects must agree bit for bit, and whether a fresh object can be set up to match this one.
struct Model {
    std::array<std::int16_t, kRoleCount> choice{};  // choice variables as the object holds them
    std::array<bool, kRoleCount> notified{};        // a status event was delivered since open
    std::array<bool, kRoleCount> streaming{};       // float pins: the last status was PS_STREAMING
    std::array<float, kRoleCount> value{};          // float pins not streaming: the constant value
    std::array<Signal, kRoleCount> signal{};        // float pins streaming: where their samples come from
    bool buffer = false;                            // a delay line exists
    std::int16_t allocated_max_delay = 0;
    double alloc_rate = 0.0;                        // library-wide rate when the delay line was sized
    double time_scale = 0.0;                        // samples per unit of "1 Time"
    bool time_mode_seen = false;                    // a valid "Time Mode" arrived since open
    double time_scale_rate = 0.0;                   // the library-wide rate then
    bool latch = false;                             // mono mode: a poly reset is armed
    bool ever_active = false;                       // an "Active" event arrived: a routine of the effect runs
    // Since the delay line and the damping state were last emptied (open, new line, poly reset):
    bool unbounded = false;  // some input or control left the region where the output must stay finite
    bool damped = false;     // a damping amount other than 0 was seen: block ends round the damping state

    Model() {
        choice[kMaxDelay] = 2;  // what the effect's open sets
    }
};

// The delay line and the damping state start empty: at each new line (switch-on, Max Delay change while on)
// and at each poly reset. Whatever came before no longer reaches the output.
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
    const double gain = m.choice[kVolumeMode] == 0 ? volume : static_cast<double>(volume) * volume;
    if (!(std::fabs(gain) <= 1e3)) return false;
    switch (m.choice[kRouting]) {
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
    if (m.choice[kAccuracy] != 0) {
        const double p = m.time_scale * time;
        if (!(p >= 0.0 && p < 2147483648.0)) return false;
    }
    return true;
}

// ---- one session ---------------------------------------------------------------------------------------------

// One event within a segment, delivered to every member of a group at the same sample.
struct Action {
    std::int32_t at = 0;
    Role role = kAudio;       // the pin; for a neutral event, none
    bool neutral = false;     // changes nothing: EV_DATA or an "Audio_In" status
    std::int32_t status = PS_CHANGED;
    std::int16_t choice = 0;  // choice pins: the value written before the event
    bool set_value = false;   // float pins: the samples hold `value` from here on
    float value = 0.0f;
    bool stream = false;      // float pins: the samples come from `signal` from here on
    Signal signal;
    std::int32_t data = 0;
};

// The samples of a stretch of the session, shared by every member of a group.
struct Segment {
    std::int32_t length = 0;
    std::vector<Action> actions;                                // sorted by `at`
    std::array<std::vector<float>, kRoleCount> content;         // float input pins
    std::vector<std::uint8_t> must_be_finite, must_match, must_write;
};

// How one member cuts the segment into host blocks, and the extra neutral events that cut stretches further.
struct BlockPlan {
    std::vector<std::int32_t> lengths;
    std::vector<std::vector<std::int32_t>> splits;  // offsets within each block
};

enum class MemberKind { kLeft, kRight, kReference };

const char* KindName(MemberKind kind) {
    switch (kind) {
    case MemberKind::kLeft: return "left";
    case MemberKind::kRight: return "right";
    case MemberKind::kReference: return "fresh";
    }
    return "?";
}

struct Member {
    MemberKind kind;
    std::unique_ptr<Instance> instance;
    std::int32_t block_size = 0;
    std::array<std::int32_t, kRoleCount> pin{};
    std::unique_ptr<StretchWatch> watch;
    std::vector<float> output;     // this segment's output
    BlockPlan plan;
    std::vector<Action> replay;    // a fresh member's set-up events, delivered with its first block
};

struct Group {
    int index = 0;
    bool comparable = false;  // controls change only at shared events: members may cut blocks differently
    bool undamped = false;    // keeps the damping amount at 0, where block cuts must not change a bit
    bool fresh = true;        // its objects have not yet been told their pins
    Model model;
    std::vector<std::unique_ptr<Member>> members;
};

class Session {
public:
    Session(const er_host::Library& library, std::uint64_t seed, const SessionOptions& options, Totals& totals)
        : m_library(library), m_seed(seed), m_options(options), m_totals(totals), m_rng(seed) {}

    std::optional<Finding> Run();

private:
    // set-up
    void ChooseSettings();
    bool NewGroup(Group& group);
    bool AddMember(Group& group, MemberKind kind, std::int32_t block_size, float rate);
    // one segment
    void BoundaryActions(Group& group);
    bool StartResetCheck(Group& group);
    bool Step(Group& group);
    Segment PlanSegment(Group& group, std::int32_t length, bool reset_first);
    Action RandomAction(Group& group, std::int32_t length);
    Action ActionFor(Group& group, Role role);
    void Apply(Model& m, const Action& action, const Segment& segment);
    BlockPlan MakePlan(std::int32_t length, std::int32_t block_size, bool split);
    bool RunMember(Group& group, Member& member, const Segment& segment);
    bool Compare(Group& group, const Segment& segment);
    bool CheckOutput(Group& group, Member& member, const Segment& segment);
    // plumbing
    float LawfulValue(const Group& group, Role role);
    float PickValue(const Group& group, Role role);
    Signal PickSignal(const Group& group, Role role);
    bool Dispatch(Group& group, Member& member, std::int32_t opcode, std::int32_t index, std::int32_t value, float opt);
    bool Fail(const Group& group, const Member* member, const std::string& message);
    void Trace(const std::string& line);
    std::string ActionText(const Action& action) const;

    const er_host::Library& m_library;
    std::uint64_t m_seed;
    const SessionOptions& m_options;
    Totals& m_totals;
    Rng m_rng;
    std::int64_t m_step = 0;
    std::optional<Finding> m_finding;

    float m_rate = 48000.0f;        // the session's rate; now and then a group opens at one no host uses
    double m_library_rate = 0.0;    // the library-wide rate: that of the most recent open
    double m_hostility = 0.0;       // chance that a value is one a host never sends
    FloatControl m_environment;     // the floating-point control state the host runs with
    std::vector<Group> m_groups;
};

// ---- set-up --------------------------------------------------------------------------------------------------

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

std::int32_t PickBlockSize(Rng& rng) {
    return rng.Chance(0.5) ? rng.Pick<std::int32_t>({1, 2, 3, 7, 16, 64, 100, 128, 256, 441, 512, 1000, 1024, 2048, 4096})
                           : static_cast<std::int32_t>(rng.LogInt(4096));
}

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
    effect_pins::PinIndexes found;
    const std::string pins_differ = effect_pins::CheckPins(member->instance->Pins(), found);
    if (!pins_differ.empty()) return Fail(group, member.get(), pins_differ);
    member->pin = found.index;
    member->watch = std::make_unique<StretchWatch>(*member->instance, member->pin[kOut], m_environment);
    member->watch->Attach();
    group.members.push_back(std::move(member));
    return true;
}

bool Session::NewGroup(Group& group) {
    group.members.clear();  // closes the old objects
    group.model = Model();
    group.fresh = true;
    group.model.streaming[kAudio] = true;
    group.model.signal[kAudio] = PickSignal(group, kAudio);
    group.comparable = m_rng.Chance(0.6);
    group.undamped = m_rng.Chance(0.5);
    // Now and then the objects are opened at a rate no host uses; it becomes the library-wide rate.
    const float rate = m_rng.Chance(m_hostility * 0.5)
                           ? m_rng.Pick<float>({std::numeric_limits<float>::quiet_NaN(), 0.0f, -48000.0f, 1.0f,
                                                std::numeric_limits<float>::infinity(), 1e9f, 47999.996f})
                           : m_rate;
    const std::int32_t left = PickBlockSize(m_rng);
    if (!AddMember(group, MemberKind::kLeft, left, rate)) return false;
    // A comparable pair cuts the same stream differently; a free pair (controls changing at any sample) cuts it
    // the same way and must simply agree.
    return AddMember(group, MemberKind::kRight, group.comparable ? PickBlockSize(m_rng) : left, rate);
}

// ---- values --------------------------------------------------------------------------------------------------

float Session::LawfulValue(const Group& group, Role role) {
    switch (role) {
    case kFeedback:
        return m_rng.Chance(0.3) ? m_rng.Pick<float>({0.0f, 0.5f, -0.5f, 0.9f, -0.9f, 0.99f, 1.0f, -1.0f})
                                 : static_cast<float>(m_rng.Real(-1.0, 1.0));
    case kDamping:
        if (group.undamped) return 0.0f;
        return m_rng.Chance(0.3) ? m_rng.Pick<float>({0.0f, 0.25f, 0.5f, 0.9f, 0.999f, 1.0f})
                                 : static_cast<float>(m_rng.Real(0.0, 1.0));
    case kTime:
        return m_rng.Chance(0.3) ? m_rng.Pick<float>({0.0f, 0.1f, 0.15f, 1.0f, 10.0f})
                                 : static_cast<float>(m_rng.Chance(0.5) ? m_rng.Real(0.0, 1.0) : m_rng.Real(0.0, 10.0));
    case kVolume:
        return m_rng.Chance(0.3) ? m_rng.Pick<float>({1.0f, 0.5f, -0.5f, 0.0f, 2.0f})
                                 : static_cast<float>(m_rng.Real(-1.0, 1.0));
    case kGate:
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
    case kAudio: {
        Signal signal = MakeSignal(m_rng, -1.0f, 1.0f, m_hostility * 0.001);
        if (m_rng.Chance(0.1)) signal.kind = Signal::kSubnormal;
        return signal;
    }
    case kFeedback: return MakeSignal(m_rng, -0.95f, 0.95f, m_hostility * 0.001);
    case kDamping: return MakeSignal(m_rng, 0.0f, group.undamped ? 0.0f : 0.99f, m_hostility * 0.001);
    case kTime: return MakeSignal(m_rng, 0.0f, m_rng.Chance(0.5) ? 1.0f : 10.0f, m_hostility * 0.001);
    case kVolume: return MakeSignal(m_rng, -1.0f, 1.0f, m_hostility * 0.001);
    default: return MakeSignal(m_rng, 0.0f, 1.0f, 0.0);
    }
}

// ---- planning ------------------------------------------------------------------------------------------------

// An event for `role` with a value a host sends or, now and then, one it never sends.
Action Session::ActionFor(Group& group, Role role) {
    Action action;
    action.role = role;
    if (IsChoice(role)) {
        const std::int16_t lawful = Facts(role).choices;
        action.choice = m_rng.Chance(m_hostility) ? HostileChoice(m_rng, lawful)
                                                  : static_cast<std::int16_t>(m_rng.Int(0, lawful - 1));
        if (role == kActive && m_rng.Chance(0.7) && !m_rng.Chance(m_hostility)) action.choice = 1;
        action.status = m_rng.Chance(0.8) ? PS_CHANGED : m_rng.Pick<std::int32_t>({PS_STATIC, PS_STREAMING});
    } else if (role != kGate && m_rng.Chance(0.3)) {
        action.status = PS_STREAMING;
        action.stream = true;
        action.signal = PickSignal(group, role);
    } else {
        action.status = m_rng.Chance(0.8) ? PS_CHANGED : PS_STATIC;
        action.set_value = role != kAudio;  // a static audio input holds its last sample
        action.value = PickValue(group, role);
    }
    return action;
}

Action Session::RandomAction(Group& group, std::int32_t length) {
    Action action;
    const double kind = m_rng.Unit();
    if (kind < 0.35) {
        action = ActionFor(group, m_rng.Pick<Role>({kActive, kActive, kActive, kRouting, kRouting, kAccuracy,
                                                    kAccuracy, kTimeMode, kMaxDelay, kVolumeMode, kMono}));
    } else if (kind < 0.75) {
        action = ActionFor(group, m_rng.Pick<Role>({kFeedback, kDamping, kTime, kVolume, kAudio}));
    } else if (kind < 0.85) {
        action = ActionFor(group, kGate);
    } else if (kind < 0.97 || m_hostility == 0.0) {
        action.neutral = true;
        action.data = static_cast<std::int32_t>(m_rng.Next());
    } else {
        // a status no host sends, on any pin; the pin's samples stay as they are from here on
        action.role = static_cast<Role>(m_rng.Int(0, kRoleCount - 1));
        action.status = HostileStatus(m_rng);
        if (IsChoice(action.role)) action.choice = group.model.choice[action.role];
    }
    action.at = static_cast<std::int32_t>(m_rng.Int(0, length - 1));
    return action;
}

// The effect of one event on the model, in the order the object receives it.
void Session::Apply(Model& m, const Action& action, const Segment& segment) {
    if (action.neutral) return;
    const Role role = action.role;
    m.notified[role] = true;
    if (IsChoice(role)) {
        m.choice[role] = action.choice;
        const std::int16_t v = action.choice;
        switch (role) {
        case kActive:
            m.ever_active = true;
            if (v != 0 && !m.buffer) {
                m.buffer = true;
                m.allocated_max_delay = m.choice[kMaxDelay];
                m.alloc_rate = m_library_rate;
                Clear(m);
            } else if (v == 0) {
                m.buffer = false;
            }
            break;
        case kMaxDelay:
            if (m.choice[kActive] != 0 && m.buffer && m.allocated_max_delay != v) {
                m.allocated_max_delay = v;
                m.alloc_rate = m_library_rate;
                Clear(m);
            }
            break;
        case kTimeMode:
            if (v >= 0 && v <= 2) {
                const double scales[3] = {m_library_rate * 10.0, m_library_rate * 0.01, 10.0};
                m.time_scale = scales[v];
                m.time_scale_rate = m_library_rate;
                m.time_mode_seen = true;
            }
            break;
        default:
            break;
        }
        return;
    }
    if (role == kGate) {
        // The poly reset, as the host may expect it: positive gate, latch open or mono mode off.
        if (m.choice[kMono] != 0 && !m.latch) return;
        const float gate = segment.content[kGate][static_cast<std::size_t>(action.at)];
        if (!(gate > 0.0f)) return;
        m.latch = false;
        if (m.choice[kActive] != 0 && m.buffer) Clear(m);
    }
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
        for (Role role : {kRouting, kAccuracy, kTimeMode, kMaxDelay, kVolumeMode, kMono, kFeedback, kDamping, kTime,
                          kVolume, kActive}) {
            if (!m_rng.Chance(0.85)) continue;
            Action action = ActionFor(group, role);
            if (role == kActive && m_rng.Chance(0.9)) action.choice = 1;
            first.push_back(action);
        }
        actions.insert(actions.begin(), first.begin(), first.end());
        group.fresh = false;
    }
    if (reset_first) {
        // The checked reset owns the gate's first sample: another gate event there would change the value
        // both notifications read.
        std::erase_if(actions, [](const Action& a) { return a.role == kGate && !a.neutral && a.at == 0; });
        Action gate;
        gate.role = kGate;
        gate.set_value = true;
        gate.value = 1.0f;
        actions.insert(actions.begin(), gate);
    }
    for (Role role : kFloatInputs) segment.content[role].resize(static_cast<std::size_t>(length));
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
        for (Role role : kFloatInputs) {
            float sample = m.value[role];
            if (m.streaming[role]) {
                if (role == kAudio || role == kGate || !group.comparable) {
                    sample = m.signal[role].Next(m_rng);
                } else if (cut && m_rng.Chance(0.5)) {
                    sample = PickValue(group, role);  // a comparable group's stream moves only at a shared cut
                }
            }
            m.value[role] = sample;
            segment.content[role][s] = sample;
        }
        for (std::size_t k = first; k < next; ++k) Apply(m, actions[k], segment);
        const auto at = [&](Role role) { return segment.content[role][s]; };
        if (!Bounded(m, at(kAudio), at(kFeedback), at(kDamping), at(kVolume), at(kTime))) m.unbounded = true;
        if (at(kDamping) != 0.0f) m.damped = true;
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

// ---- between segments ----------------------------------------------------------------------------------------

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
        if (group.model.choice[kMono] != 0) group.model.latch = true;
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
    if (m.choice[kActive] == 0 || !m.buffer) return false;
    if (m.choice[kMono] != 0 && !m.latch) return false;
    for (Role role : kChoices) {
        if (m.choice[role] < 0 || m.choice[role] >= Facts(role).choices) return false;
    }
    // The fresh object must size its line and scale its time with the same library-wide rate.
    // (Written so that a rate that is not a number never matches.)
    if (!(m.alloc_rate == m_library_rate) || (m.time_mode_seen && !(m.time_scale_rate == m_library_rate))) {
        return false;
    }
    Member& left = *group.members.front();
    std::erase_if(group.members, [](const auto& member) { return member->kind == MemberKind::kReference; });
    if (!AddMember(group, MemberKind::kReference, left.block_size, static_cast<float>(m_library_rate))) return false;
    Member& fresh = *group.members.back();
    // Replays every event the left member's settings came from; the switch last, as it sizes the line.
    for (int role = 0; role < kRoleCount; ++role) {
        if (!m.notified[role] || role == kGate || role == kActive) continue;
        Action action;
        action.role = static_cast<Role>(role);
        if (IsChoice(role)) {
            action.choice = m.choice[role];
        } else {
            action.status = m.streaming[role] ? PS_STREAMING : PS_CHANGED;
        }
        fresh.replay.push_back(action);
    }
    Action on;
    on.role = kActive;
    on.choice = m.choice[kActive];
    fresh.replay.push_back(on);
    ++m_totals.resets_checked;
    return true;
}

// ---- running -------------------------------------------------------------------------------------------------

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
                instance.PostStatus(member.pin[kAudio], PS_STREAMING, offset);
            }
        } else if (IsChoice(action.role)) {
            instance.PostChoice(member.pin[action.role], action.choice, offset, action.status);
        } else {
            instance.PostStatus(member.pin[action.role], action.status, offset);
        }
    };
    for (std::size_t b = 0; b < member.plan.lengths.size(); ++b) {
        const std::int32_t n = member.plan.lengths[b];
        for (Role role : kFloatInputs) {
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
        for (Role role : kFloatInputs) {
            if (std::memcmp(instance.Buffer(member.pin[role]), segment.content[role].data() + position,
                            sizeof(float) * static_cast<std::size_t>(n)) != 0) {
                return Fail(group, &member, std::string("the module wrote into the input pin ") + RoleName(role));
            }
        }
        std::memcpy(member.output.data() + position, instance.Buffer(member.pin[kOut]),
                    sizeof(float) * static_cast<std::size_t>(n));
        position += n;
    }
    return CheckOutput(group, member, segment);
}

bool Session::CheckOutput(Group& group, Member& member, const Segment& segment) {
    for (std::int32_t i = 0; i < segment.length; ++i) {
        float& y = member.output[static_cast<std::size_t>(i)];
        if (IsCanary(y)) {
            // Before the first "Active" event the frame's empty routine runs and writes nothing.
            if (segment.must_write[static_cast<std::size_t>(i)] || member.kind == MemberKind::kReference) {
                return Fail(group, &member, Format("Out sample %d of the segment was never written", i));
            }
            y = 0.0f;
        }
        if (std::fpclassify(y) == FP_SUBNORMAL) {
            return Fail(group, &member, Format("subnormal output %g at sample %d of the segment", y, i));
        }
        if (segment.must_be_finite[static_cast<std::size_t>(i)]) {
            ++m_totals.finite_checked;
            if (!std::isfinite(y)) {
                return Fail(group, &member, Format("output %g at sample %d of the segment, with finite inputs and "
                                                   "controls and a loop gain below 1", y, i));
            }
        }
    }
    // Every "Active" event is answered by an "Out" status: streaming when on, changed when off.
    const Model& m = group.model;
    if (m.notified[kActive]) {
        const std::int32_t expected = m.choice[kActive] != 0 ? PS_STREAMING : PS_CHANGED;
        const std::int32_t reported = member.instance->LastStatus(member.pin[kOut]);
        if (reported != expected) {
            return Fail(group, &member, Format("\"Out\" last reported status %d, expected %d after \"Active\" %d",
                                               reported, expected, m.choice[kActive]));
        }
    }
    return true;
}

bool Session::Compare(Group& group, const Segment& segment) {
    const Member& left = *group.members.front();
    for (std::size_t k = 1; k < group.members.size(); ++k) {
        const Member& other = *group.members[k];
        const bool always = other.kind == MemberKind::kReference || !group.comparable;
        for (std::int32_t i = 0; i < segment.length; ++i) {
            const auto s = static_cast<std::size_t>(i);
            if (!always && !segment.must_match[s]) continue;
            ++m_totals.compared;
            if (!Same(left.output[s], other.output[s])) {
                const char* what = other.kind == MemberKind::kReference
                                       ? "after a poly reset the output differs from a fresh object's"
                                   : group.comparable ? "the output depends on where the host cuts blocks"
                                                      : "two objects given the same calls disagree";
                return Fail(group, &other, Format("%s: sample %d of the segment: %.9g (block size %d) vs %.9g "
                                                  "(block size %d)", what, i, left.output[s], left.block_size,
                                                  other.output[s], other.block_size));
            }
        }
    }
    return true;
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
        const bool own = member->kind == MemberKind::kRight && group.comparable;
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

// ---- reporting -----------------------------------------------------------------------------------------------

bool Session::Fail(const Group& group, const Member* member, const std::string& message) {
    if (!m_finding) {
        std::string where = Format("group %d", group.index);
        if (member) where += Format(", %s object (block size %d)", KindName(member->kind), member->block_size);
        m_finding = Finding{m_seed, m_step, where + ": " + message};
    }
    return false;
}

void Session::Trace(const std::string& line) {
    if (m_options.trace) std::fprintf(m_options.trace, "%s\n", line.c_str());
}

std::string Session::ActionText(const Action& action) const {
    std::string text = Format("@%d ", action.at);
    if (action.neutral) return text + "neutral event";
    text += Format("\"%s\" status %d", RoleName(action.role), action.status);
    if (IsChoice(action.role)) return text + Format(", value %d", action.choice);
    if (action.stream) return text + Format(", streaming (signal kind %d)", static_cast<int>(action.signal.kind));
    if (action.set_value) return text + Format(", value %.9g", action.value);
    return text;
}

}  // namespace

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
