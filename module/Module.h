// The early-reflection effect: one delay tap with its own time and volume over a power-of-two delay line, plus
// a feedback path through a one-pole damping low-pass, routed in four ways.
//
// The effect never sees an opcode: the frame (SEModule_base) turns the host's calls into Open, OnPinChange,
// OnResume and the installed processing routine. Every decision about routing, time accuracy and activity is
// taken when a pin changes, by installing one of sixteen routines from ROUTINE_TABLE; the routines themselves
// branch on nothing but their read policies and their count.
//
// Where to look: state and construction (Module.cpp), the pin table with each pin's variable and reaction
// (ModulePins.cpp; the pins' texts and the Max Delay table are PinFacts.h's), parameter handling and the routine
// choice (ParameterHandling.cpp), the delay buffer (DelayBuffer.cpp), and the fifteen audio routines with their
// block-start readers and the routine table (Routines.cpp, built from the building blocks in RoutineKernels.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "LineMemory.h"
#include "PinFacts.h"
#include "SEModule_base.h"
#include "SEPin.h"

// The pins, their texts, the Max Delay table, the time scales, the routing choice and the routine table's layout
// are stated once in PinFacts.h, which the tools and the plug-in include too.
using effect_pins::Pin;
using effect_pins::PIN_COUNT;
using effect_pins::RoutingVariant;
using effect_pins::ROUTING_VARIANT_COUNT;
using effect_pins::ROUTINE_COUNT;
using effect_pins::TimeGroup;

// When a block-start reader takes "1 Time" or "1 Volume 10=100%" from its pin.
enum class ReadPolicy : std::int32_t {
    None = 0,        // keep the last reading
    NextBlock = 1,   // read at the next block start, then None
    EveryBlock = 2,  // read at every block start (the per-sample fractional routines: every sample)
};

// The poly reset in mono mode: only the first positive gate after a resume clears the line.
enum class ResetState : std::int32_t {
    NotArmed = 0,
    Armed = -1,
};

// The per-tap arrays of the state keep room for twenty taps, as the effect's state has always had them (open
// clears all twenty streaming flags). One tap exists: element 0 is bound to its pin and read; the other nineteen
// are never bound, set or read, so they change nothing the host or the routines see.
constexpr std::int32_t TAP_COUNT = 20;

// Library-wide values, shared by every instance and overwritten by each open (the floating-point control
// values live in FloatControl.h).
extern float g_sample_rate;    // the sample rate at the most recent open
extern float g_time_scale_s;   // g_sample_rate * 10: samples per unit of Time in seconds mode
extern float g_time_scale_ms;  // g_sample_rate * 0.01 (extended product): samples per unit in milliseconds mode

// Test seam: how the delay line gets its memory. Must return a line from AllocateZeroedLine(samples) (which
// ReleaseZeroedLine gives back) or null. Not reachable through the library's exports; tests that link the
// static library set it to force an allocation failure.
using BufferAllocator = float* (*)(std::size_t samples);
extern BufferAllocator g_buffer_allocator;

class Module : public SEModule_base {
public:
    Module(SEHostCallback host_callback, void* host_data);  // the base part, then no buffer
    ~Module() override;                                     // releases the buffer, then the base part

    // ---- overridden virtual operations ----
    void OnPinChange(SEPin* pin) override;                                            // the pin's reaction, then the common tail (ParameterHandling.cpp)
    std::int32_t Open() override;                                                     // prepares the state; selects no routine, allocates nothing
    bool GetPinProperties(std::int32_t index, SEPinProperties* properties) override;  // the 14 pins
    void OnResume() override;                                                         // arms the poly reset in mono mode

    // Installed while the effect is off (or has no delay line): counts down to HOST_SLEEP and writes zeros.
    virtual void ProcessSilence(std::int32_t start, std::int32_t count);

    // The fifteen audio routines: one template over routing variant and time group (Routines.cpp), installed only
    // while on with a buffer. ROUTINE_TABLE lists every instantiation.
    template <RoutingVariant V, TimeGroup G>
    void Process(std::int32_t start, std::int32_t count);

    // Entry 0 ProcessSilence; entry g + v is Process<v, g> for TimeGroup g and RoutingVariant v.
    static const std::array<SERoutineRef, ROUTINE_COUNT> ROUTINE_TABLE;
    // A routine's name for messages, e.g. "ProcessSampleTapFeedback" for entry 2; empty outside the table.
    static std::string RoutineName(std::int32_t entry) { return effect_pins::RoutineName(entry); }

    // Buffer length in samples for a Max Delay index at a sample rate (index folded into 0..11).
    static std::int32_t BufferLength(std::int32_t max_delay_index, float sample_rate) {
        return effect_pins::BufferLength(max_delay_index, sample_rate);
    }

private:
    friend class ModuleInspector;  // white-box tests

    // A pin's reaction: what it does to the state, and which read policies the common tail recomputes.
    struct Marks {
        bool time = false;           // recompute m_time_update
        bool volume = false;         // recompute m_volume_update
        bool volume_forced = false;  // ... and read the volume at every block regardless of streaming
    };
    // One pin: where its value lives and what its notification does (its texts are in effect_pins::PINS).
    struct PinTableEntry {
        Pin pin;
        void* (*variable)(Module& module);
        Marks (Module::*react)(SEPin& pin);
        bool common_tail;  // false only for the gate: a poly reset re-selects nothing
    };
    static const PinTableEntry PIN_TABLE[PIN_COUNT];
    template <auto Field>
    static void* VariableOf(Module& module) {
        return &(module.*Field);
    }

    // ---- pin reactions (ParameterHandling.cpp) ----
    Marks NoReaction(SEPin& pin);
    Marks OnActive(SEPin& pin);
    Marks OnFeedback(SEPin& pin);
    Marks OnDamping(SEPin& pin);
    Marks OnTimeAccuracy(SEPin& pin);
    Marks OnTimeMode(SEPin& pin);
    Marks OnTime(SEPin& pin);
    Marks OnVolume(SEPin& pin);
    Marks OnMaxDelay(SEPin& pin);
    Marks OnVolumeMode(SEPin& pin);
    Marks OnGate(SEPin& pin);
    void CommonTail(const Marks& marks);
    void SwitchOff();
    Marks SwitchOn();
    void EnterBufferlessSilence();  // after a failed allocation while on
    void AnnounceOut(std::int32_t status);
    bool CanRunAudio() const;  // on, with a buffer and every pin the routines read
    std::int32_t SelectedRoutine() const;

    // ---- delay buffer (DelayBuffer.cpp); allocates: only from a pin notification ----
    bool AllocateBuffer();  // false: out of memory, m_buffer none
    void ReleaseBuffer();
    void EmptyBuffer();       // an empty line: the clean spare swapped in, else zeros in place; size, write position stay
    void RezeroSpareSlice();  // one slice of the spare given back to the system; from the audio routines

    // ---- block-start readers (Routines.cpp), under the read policies ----
    // The time readers switch to round-toward-zero and back, keeping the host's MXCSR status flags `entry_flags`.
    void UpdateTapTime(std::int32_t start, std::uint32_t entry_flags);
    void UpdateTapTimeFraction(std::int32_t start, std::uint32_t entry_flags);
    void UpdateTapVolume(std::int32_t start);

    // ---- state, in declaration order ----
    std::int32_t m_tap_offset = 0;                    // 4 * k, the tap's whole-sample delay as a byte offset; time readers
    float m_tap_volume = 0.0f;                        // V, the tap gain; UpdateTapVolume
    float m_tap_fraction = 0.0f;                      // f, rounded toward zero; UpdateTapTimeFraction (block-rate group only)
    float m_damping_state = 0.0f;                     // S between blocks; routines; 0 at open, new line, poly reset
    std::int32_t m_write_pos = 0;                     // byte position of the next write, unfolded; routines; 0 at allocation
    std::int32_t m_buffer_size = 0;                   // N, a power of two; allocation
    std::int32_t m_buffer_mask = 0;                   // (N - 1) * 4; allocation. Valid for m_buffer whenever it holds one
    ZeroedLine m_buffer;                              // the delay line, N floats, or none; exists only while on
    ZeroedLine m_spare;                               // N floats for the next poly reset, or none (short lines, no memory)
    std::int32_t m_spare_dirty = 0;                   // samples [0, this) of m_spare not yet zero again; 0 without a spare
    float* in_audio = nullptr;                        // pin 0 "Audio_In"; host writes the buffer address before each block
    float* in_gate = nullptr;                         // pin 13 "Midi_to_CV:Gate(Poly Reset)"; read only at its notification
    float* out_audio = nullptr;                       // pin 5 "Out"; host supplies, routines fill
    float* in_time[TAP_COUNT] = {};                   // pin 8 "1 Time" is element 0; the others are never bound
    float* in_volume[TAP_COUNT] = {};                 // pin 9 "1 Volume 10=100%" is element 0
    float* in_damping = nullptr;                      // pin 3 "Damping 0-10"; D at each block's first sample
    float* in_feedback = nullptr;                     // pin 2 "Feedback +/-10"; F at each block's first sample
    float m_time_scale = 0.0f;                        // samples per unit of Time; "Time Mode" notifications; 0 at open
    float m_feedback = 0.0f;                          // feedback amount for the routine choice only (1.0 while streaming)
    float m_damping = 0.0f;                           // damping amount for the routine choice only (1.0 while streaming)
    ReadPolicy m_time_update = ReadPolicy::None;      // when the routines read "1 Time"; CommonTail, the readers
    ReadPolicy m_volume_update = ReadPolicy::None;    // when they read "1 Volume 10=100%"; the same
    std::int32_t m_time_streaming[TAP_COUNT] = {};    // element 0: 1 while "1 Time" streams
    std::int32_t m_volume_streaming[TAP_COUNT] = {};  // element 0: 1 while "1 Volume 10=100%" streams
    std::int32_t m_block_size = 0;                    // the host's block size at open; the silence countdown's start
    std::int32_t m_idle_count = 0;                    // silence still owed before HOST_SLEEP; saturates, never wraps
    ResetState m_reset_state = ResetState::NotArmed;  // OnResume arms it in mono mode; a gate disarms it
    SEPin* m_out_pin = nullptr;                       // pin 5's object, not owned; null if the host built fewer pins
    std::int16_t max_delay = 0;                       // pin 10 "Max Delay(s)": index 0..11; 2 at open
    std::int16_t active = 0;                          // pin 1 "Active": 0 "OFF", 1 "ON"
    std::int16_t m_allocated_max_delay = 0;           // the max_delay the present buffer was sized for (raw value)
    std::int16_t time_mode = 0;                       // pin 7 "Time Mode": 0 seconds, 1 milliseconds, 2 samples
    std::int16_t routing_mode = 0;                    // pin 4 "Damping/Feedback Mode": 0..3
    std::int16_t time_accuracy = 0;                   // pin 6 "Time Accuracy": 0 sample, 1 fraction (econ), 2 fraction (full)
    std::int16_t volume_mode = 0;                     // pin 11 "Volume Mode": 0 linear, otherwise analogue
    std::int16_t mono_mode = 0;                       // pin 12 "Midi_to_CV:Mono Mode(Poly Reset)": 1 "On", 0 "Off"
};
