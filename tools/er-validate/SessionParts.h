// The parts of a validator session, shared by the files that hold its concerns: set-up and running
// (Session.cpp), planning the events and samples (Planner.cpp), checking and comparing outputs
// (Comparator.cpp), and failure reports and the trace (Trace.cpp). The host model and the signals have their
// own headers.
#pragma once

#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FloatEnvironment.h"
#include "HostModel.h"
#include "Rng.h"
#include "Session.h"
#include "StretchWatch.h"

namespace er_validate {

using er_host::Instance;
using er_host::InstanceOptions;

std::string Format(const char* format, auto... args) {
    char text[512];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// The samples of a stretch of the session, shared by every member of a group.
struct Segment {
    std::int32_t length = 0;
    std::vector<Action> actions;          // sorted by `at`
    PerRole<std::vector<float>> content;  // float input pins
    std::vector<std::uint8_t> must_be_finite, must_match, must_write;
};

// How one member cuts the segment into host blocks, and the extra neutral events that cut stretches further.
struct BlockPlan {
    std::vector<std::int32_t> lengths;
    std::vector<std::vector<std::int32_t>> splits;  // offsets within each block
};

enum class MemberKind { Left,
                        Right,
                        Reference };

const char* KindName(MemberKind kind);

struct Member {
    MemberKind kind;
    std::unique_ptr<Instance> instance;
    std::int32_t block_size = 0;
    PerRole<std::int32_t> pin{};
    std::unique_ptr<StretchWatch> watch;
    std::vector<float> output;  // this segment's output
    BlockPlan plan;
    std::vector<Action> replay;  // a fresh member's set-up events, delivered with its first block
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

    float m_rate = 48000.0f;      // the session's rate; now and then a group opens at one no host uses
    double m_library_rate = 0.0;  // the library-wide rate: that of the most recent open
    double m_hostility = 0.0;     // chance that a value is one a host never sends
    FloatControl m_environment;   // the floating-point control state the host runs with
    std::vector<Group> m_groups;
};

}  // namespace er_validate
