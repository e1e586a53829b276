// The effect as the host drives it: loaded through the substitute host, given the pin notifications that
// install the job's routine, primed with one block through the host (which writes the pin buffers' addresses
// into the effect's variables), then called through the record's `process` entry on the host's pin buffers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Host.h"
#include "Job.h"
#include "PinCheck.h"
#include "Peers.h"

namespace er_bench {

// The library beside the running program, loaded once; exits with a message when it cannot be loaded.
const er_host::Library& TheLibrary();

class OurRoutine final : public Peer {
public:
    // Switched on, with the job's routine installed and a silent delay line. `host_block` is the host's block
    // size (the length of every pin buffer); calls may not exceed it.
    OurRoutine(const Job& job, std::int32_t host_block);
    // Switched off: ProcessSilence installed, its countdown at `host_block` samples.
    static std::unique_ptr<OurRoutine> Silent(std::int32_t host_block);

    // The host's pin buffers, element 0 at `start` 0.
    float* Input() { return m_host->Buffer(m_pin_in); }
    float* Time() { return m_host->Buffer(m_pin_time); }
    const float* Output() { return m_host->Buffer(m_pin_out); }

    // The installed routine's entry and its object, for timed calls on the pin buffers as they stand.
    SEProcessEntry Entry() const { return m_host->Record()->process; }
    void* Object() const { return m_host->Record()->object; }

    // The host's index of a pin (all checked against the module's descriptions at construction).
    std::int32_t PinIndex(effect_pins::Pin pin) const { return m_pins[pin]; }

    // A pin notification delivered straight through the event entry, as the host delivers it: a choice pin's
    // value written into its variable, then the status event at the current sample clock. Allocates nothing.
    void Notify(std::int32_t pin, std::int16_t choice);
    // The status event alone, for a pin whose buffer the caller has filled (a sample pin reads its value there).
    void NotifyChanged(std::int32_t pin);

    er_host::Instance& Host() { return *m_host; }

    // The "Max Delay(s)" entry that gives a delay line of `samples` at this routine's sample rate.
    std::int16_t MaxDelayEntry(std::int32_t samples) const;

    // Peer face, for the comparisons: copies in, processes from element 0, copies out.
    void Run(const float* in, const float* time, float* out, std::int32_t count) override;
    float TimeInput(double delay) const override { return TimePinValue(delay); }

private:
    explicit OurRoutine(std::int32_t host_block, float sample_rate);

    std::unique_ptr<er_host::Instance> m_host;
    er_host::PinIndexes m_pins;
    std::int32_t m_pin_in;
    std::int32_t m_pin_time;
    std::int32_t m_pin_out;
    bool m_time_streams = false;  // a Full job: Run copies the time too
};

// Fills `count` samples with a fixed pseudo-random signal in -0.5 .. 0.5 (no denormals, never silent).
void FillSignal(float* samples, std::int32_t count, std::uint32_t seed = 1);

}  // namespace er_bench
