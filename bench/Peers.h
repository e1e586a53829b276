// The peers: what a user would otherwise pick to compute the effect's job (Job.h). Each one processes blocks of
// float samples through its own library's building blocks, compiled with the project's flags.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Job.h"

class dsp;  // Faust's processor base

namespace er_bench {

class Peer {
public:
    virtual ~Peer() = default;
    // Processes `count` samples. `time` is the per-sample delay of a Full job in the peer's own unit
    // (TimeInput); other jobs ignore it.
    virtual void Run(const float* in, const float* time, float* out, std::int32_t count) = 0;
    // The peer's time input for a delay in samples.
    virtual float TimeInput(double delay) const { return static_cast<float>(delay); }
};

struct NamedPeer {
    std::string name;  // "stk", "faust"
    std::unique_ptr<Peer> peer;
};

// Every peer that computes `job`, set up for it and cleared. A Faust peer exists only for the delay-line
// lengths the build generated (2048 and 524288).
std::vector<NamedPeer> MakePeers(const Job& job);
// Their names, in the same order, without making them.
std::vector<std::string> PeerNames(const Job& job);

// Called by each generated Faust program at start-up.
using FaustFactory = std::function<std::unique_ptr<dsp>()>;
bool RegisterFaustPeer(Kind kind, Variant variant, std::int32_t max_delay, FaustFactory factory);

}  // namespace er_bench
