// Randomized, seeded host sessions against a module library, driven through the substitute host exactly as the
// modular host drives a module, with every call checked. One session is a pure function of its seed, so a
// failure is replayed by its seed (and cut short by its step count) on the same build.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "Host.h"

namespace er_validate {

// What a run went through, summed over its sessions.
struct Totals {
    std::int64_t sessions = 0;
    std::int64_t instances = 0;       // processing objects made
    std::int64_t samples = 0;         // samples processed, summed over instances
    std::int64_t process_calls = 0;   // calls of a `process` entry
    std::int64_t notifications = 0;   // events delivered
    std::int64_t compared = 0;        // output samples compared bit for bit with another instance's
    std::int64_t finite_checked = 0;  // output samples that had to be finite, and were checked
    std::int64_t resets_checked = 0;  // poly resets compared with a fresh instance
    std::int64_t findings = 0;

    void Add(const Totals& other);
};

struct Finding {
    std::uint64_t seed = 0;
    std::int64_t step = 0;  // the segment (0-based) in which the fault showed
    std::string message;
};

struct SessionOptions {
    std::int64_t max_steps = -1;  // stop after this many segments; -1: the session's own length
    std::FILE* trace = nullptr;   // every action of the session, when given
};

// Runs the session `seed` against `library`. Returns the first fault it saw; adds what it ran to `totals`.
std::optional<Finding> RunSession(const er_host::Library& library, std::uint64_t seed, const SessionOptions& options,
                                  Totals& totals);

// The command line that replays a finding's session up to the segment where it showed, with a trace.
std::string ReplayArguments(const Finding& finding);

// Where the running session is, for a crash report: its seed and segment. Plain globals, readable from a signal
// handler.
std::uint64_t CurrentSeed();
std::int64_t CurrentStep();

}  // namespace er_validate
