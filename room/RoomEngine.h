// One engine for a whole room: the early reflections of a pattern, sample for sample what one module instance per
// tap plays, summed per output channel in the pattern's order, at a fraction of the cost.
//
// Why it can share work: a room's tap runs with feedback 0, so its module writes into its line nothing but its
// input, low-passed by its damping ("Input+Tap1"), or kept as it is when the damping is 0 (the Plain routine):
//
//   x --> [low-pass D] --> line --> tap at delay k (+ fraction f) --> * V --> flush --> float --> sum
//
// The line's contents depend on the input and D alone, not on the tap's delay, volume or line length. So taps that
// share an input and a damping share one filtered history ("a group"), and each tap only reads it at its own delay.
// Each tap's arithmetic is the module's own, operation for operation (RoutineKernels.h): the same flush, the same
// low-pass, the damping state rounded to a float at every block's end as the module stores it, the whole-sample
// Plain taps rounded toward zero as its Plain routine rounds.
//
// Real-time rules: the constructor allocates everything; Reset, Gate, Process and ProcessInterleaved never allocate
// and never throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Room.h"

namespace er_room {

// One tap as the module plays it: its pin values as the module reads them, and where it sounds.
struct EngineTap {
    std::int32_t input = 0;     // the input channel that feeds it
    std::int32_t output = 0;    // the output channel it sounds in
    float volume = 0.0f;        // V, the "1 Volume 10=100%" pin float ("Linear")
    float damping = 0.0f;       // D, the "Damping 0-10" pin float; 0 runs the Plain routine (the line holds x)
    std::uint32_t delay = 1;    // whole samples, 1 .. line: the value written that many samples earlier
    std::uint32_t line = 1;     // the module's line length N ("Max Delay(s)"), a power of two
    bool interpolates = false;  // a fractional "Time Accuracy": blend with the older neighbour, weight `fraction`
    float fraction = 0.0f;      // as the module stores it (rounded toward zero)
};

// What an engine renders: its taps in summing order (within each output channel, the pattern's order), and how many
// input and output channels it has.
struct EnginePlan {
    std::vector<EngineTap> taps;
    std::int32_t inputs = 1;
    std::int32_t outputs = 1;
};

// The outputs a pattern gives for `input_channels` inputs: a mono pattern runs every input through every tap into
// an output of its own; a stereo pattern takes a mono input to both sides and a stereo input side by side (left
// input to the left taps). 0 for a combination it cannot make (a stereo pattern with more than two inputs).
std::int32_t RoomOutputChannels(const Pattern& pattern, std::int32_t input_channels);

// The taps of `pattern` at `rate`, each with the pins the room's rule gives it (TapPins.h), whole samples or
// `fractional`, for `input_channels` inputs. Throws RoomError where RoomOutputChannels gives 0 or a tap cannot be
// played (PinsForTap).
EnginePlan PlanRoom(const Pattern& pattern, float rate, bool fractional, std::int32_t input_channels);

class RoomEngine {
public:
    // Allocates every line and buffer: Process takes up to `max_block` frames a call.
    RoomEngine(const EnginePlan& plan, std::int32_t max_block);
    ~RoomEngine();
    RoomEngine(const RoomEngine&) = delete;
    RoomEngine& operator=(const RoomEngine&) = delete;

    // Every line empty and every low-pass at rest: a fresh start. Gate is the same at a block's start: what a
    // positive "Midi_to_CV:Gate(Poly Reset)" does to every tap's module.
    void Reset();
    void Gate() { Reset(); }

    // One host block of `count` frames (0 .. max_block): in[c] for every input channel, wet[c] for every output
    // channel, each tap's output added into its channel in plan order (wet is overwritten, not added to). Each call
    // ends a module block: the damping states are then rounded to floats as the module stores them, so calls of
    // other lengths give other bits, exactly as the instances would. False, with nothing done, for a count outside
    // 0 .. max_block.
    bool Process(const float* const* in, double* const* wet, std::int32_t count);
    // The same for interleaved frames, as sound files and most hosts hold them: in[f * Inputs() + c] and
    // wet[f * Outputs() + c], bit for bit what Process gives for the channels apart, without copies to and from
    // rows on the way (the taps' sums gather in a cache-sized stretch, then go out once).
    bool ProcessInterleaved(const float* in, double* wet, std::int32_t count);

    // Runs the low-passes over `frames` frames of input the engine did not hear (in[c][0 .. frames), oldest first),
    // summing nothing: an engine that takes over from another starts with the lines the other's input would have
    // filled, its low-passes settled on it, instead of empty ones. Prime from silence leaves the engine as Reset does.
    void Prime(const float* const* in, std::int64_t frames);
    // The furthest back any tap reads, in samples: the input a Prime needs to fill every line.
    std::int32_t Reach() const;

    std::int32_t Outputs() const { return m_outputs; }
    std::int32_t Taps() const;
    std::int32_t Groups() const;  // the filtered lines the taps share
    std::int32_t MaxBlock() const { return m_max_block; }
    // Bytes held for lines and buffers.
    std::size_t MemoryBytes() const;

private:
    struct Group;
    struct Tap;
    // Channel c's frame i is in[c][i * in_stride] and wet[c][i * wet_stride].
    bool Run(const float* const* in, std::ptrdiff_t in_stride, double* const* wet, std::ptrdiff_t wet_stride,
             std::int32_t count);
    void FilterGroups(const float* const* in, std::ptrdiff_t stride, std::int32_t count);
    void Advance(std::int32_t count);  // the block's values become the lines' past
    void SumTaps(double* const* wet, std::ptrdiff_t stride, std::int32_t count);

    std::int32_t m_inputs = 1, m_outputs = 1, m_max_block = 0;
    std::vector<Group> m_groups;
    std::vector<Tap> m_taps;
    std::vector<float> m_scratch;         // one tap's outputs for a chunk, where they must be made apart from the sums
    std::vector<double> m_sums;           // a chunk's sums, CHUNK an output, for a wet whose channels are not rows
    std::vector<std::uint8_t> m_checked;  // by group: this block's reads may meet a small value
    bool m_any_toward_zero = false;       // a tap runs the whole-sample Plain routine, which rounds toward zero
    // ProcessInterleaved's channels of in and of wet.
    std::vector<const float*> m_in_channels;
    std::vector<double*> m_wet_channels;
};

}  // namespace er_room
