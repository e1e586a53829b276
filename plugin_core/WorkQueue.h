// What a plug-in format gives a core for the work that may not run on the audio thread: making or freeing a delay
// line, working out a room. LV2 has its worker extension; CLAP and VST3 hosts give nothing of the kind, so their
// wrappers run a thread of their own.
#pragma once

#include <cstdint>

namespace er_plugin {

class WorkQueue {
public:
    // Called on the audio thread: hands `size` bytes to the worker, which later passes them to the core's Work on
    // its own thread. False when the queue cannot take them now; the core tries again at its next run.
    virtual bool Schedule(std::uint32_t size, const void* data) noexcept = 0;

protected:
    ~WorkQueue() = default;
};

}  // namespace er_plugin
