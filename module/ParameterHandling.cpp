// The effect's control logic: open, the reaction to every pin notification, switching on and off, the poly
// reset, the silence routine, and the choice of the one routine that embodies routing, accuracy and activity.
// Runs only in host calls that never overlap a processing call, so it changes fields without locks.
#include <algorithm>
#include <limits>

#include "FloatControl.h"
#include "Module.h"

constexpr std::int32_t SILENCE_ROUTINE = 0;

namespace {

// A value that is not a number counts as zero.
bool NonZero(float value) {
    return value < 0.0f || value > 0.0f;
}

bool Streaming(const SEPin& pin) {
    return pin.Status() == PS_STREAMING;
}

}  // namespace

std::int32_t Module::Open() {
    SEModule_base::Open();
    RecordFloatControl();
    m_out_pin = PinCount() > effect_pins::Index(Pin::Out) ? GetPin(effect_pins::Index(Pin::Out)) : nullptr;
    m_block_size = BlockSize();
    m_damping_state = 0.0f;
    std::fill(std::begin(m_time_streaming), std::end(m_time_streaming), 0);
    std::fill(std::begin(m_volume_streaming), std::end(m_volume_streaming), 0);
    g_sample_rate = SampleRate();
    g_time_scale_ms = effect_pins::TimeScale(effect_pins::choice::TIME_MS, g_sample_rate, &ExtendedProductToFloat);
    g_time_scale_s = effect_pins::TimeScale(effect_pins::choice::TIME_SECONDS, g_sample_rate);
    mono_mode = effect_pins::choice::MONO_OFF;
    m_reset_state = ResetState::NotArmed;
    m_time_scale = 0.0f;
    max_delay = 2;
    if (m_buffer) {
        // Only a repeated open finds a buffer: no audio routine may outlive it.
        ReleaseBuffer();
        SetProcessRoutine(ROUTINE_TABLE[SILENCE_ROUTINE]);
    }
    return 0;
}

void Module::OnPinChange(SEPin* pin) {
    if (pin == nullptr) return;
    const std::int32_t index = pin->Index();
    if (index < 0 || index >= PIN_COUNT) {
        CommonTail(Marks{});
        return;
    }
    const PinTableEntry& entry = PIN_TABLE[index];
    const Marks marks = (this->*entry.react)(*pin);
    if (entry.common_tail) CommonTail(marks);
}

Module::Marks Module::NoReaction(SEPin&) {
    return {};
}

Module::Marks Module::OnActive(SEPin&) {
    if (active != effect_pins::choice::OFF) return SwitchOn();
    SwitchOff();
    return {};
}

// m_feedback and m_damping serve the routine choice only: a streaming pin counts as non-zero whatever its
// momentary value, and the routine takes the amount from the pin at each block start.
Module::Marks Module::OnFeedback(SEPin& pin) {
    m_feedback = Streaming(pin) ? 1.0f : pin.CurrentValue();
    return {};
}

Module::Marks Module::OnDamping(SEPin& pin) {
    m_damping = Streaming(pin) ? 1.0f : pin.CurrentValue();
    return {};
}

// A change of accuracy makes both readings fresh at the next block.
Module::Marks Module::OnTimeAccuracy(SEPin&) {
    return {.time = true, .volume = true};
}

// The scales are the library-wide ones of the most recent open; a mode the list does not have changes nothing.
Module::Marks Module::OnTimeMode(SEPin&) {
    const float scales[effect_pins::TIME_MODE_COUNT] = {g_time_scale_s, g_time_scale_ms,
                                                        effect_pins::TimeScale(effect_pins::choice::TIME_SAMPLES, 0.0f)};
    if (time_mode >= 0 && time_mode < effect_pins::TIME_MODE_COUNT) m_time_scale = scales[time_mode];
    return {.time = true};
}

Module::Marks Module::OnTime(SEPin& pin) {
    m_time_streaming[0] = Streaming(pin) ? 1 : 0;
    return {.time = true};
}

Module::Marks Module::OnVolume(SEPin& pin) {
    m_volume_streaming[0] = Streaming(pin) ? 1 : 0;
    return {.volume = true};
}

// While off the choice waits for the next switch-on. While on, a new index restarts the delay line at the new
// size; so does any notification while a failed allocation has left no buffer.
Module::Marks Module::OnMaxDelay(SEPin&) {
    if (active == effect_pins::choice::OFF) return {};
    const bool had_line = m_buffer != nullptr;
    if (had_line && m_allocated_max_delay == max_delay) return {};
    if (!AllocateBuffer()) {
        EnterBufferlessSilence();
        if (had_line) AnnounceOut(PS_CHANGED);  // the output was streaming; it is silent from here
    } else if (!had_line) {
        AnnounceOut(PS_STREAMING);  // back from a failed allocation
    }
    return {};
}

// A mode change reads the volume at every block until a later notification recomputes the policy.
Module::Marks Module::OnVolumeMode(SEPin&) {
    return {.volume = true, .volume_forced = true};
}

// Poly reset. In mono mode only the first positive gate after each resume clears the line.
Module::Marks Module::OnGate(SEPin& pin) {
    if (mono_mode != effect_pins::choice::MONO_OFF && m_reset_state == ResetState::NotArmed) return {};
    const float gate = pin.CurrentValue();
    if (!(gate > 0.0f)) return {};  // a value that is not a number is ignored too
    m_reset_state = ResetState::NotArmed;
    if (active == effect_pins::choice::OFF || !m_buffer) return {};
    EmptyBuffer();  // the write position, the tap readings and the routine stay
    m_damping_state = 0.0f;
    return {};
}

void Module::OnResume() {
    SEModule_base::OnResume();
    if (mono_mode != effect_pins::choice::MONO_OFF) m_reset_state = ResetState::Armed;
}

void Module::SwitchOff() {
    ReleaseBuffer();
    SetProcessRoutine(ROUTINE_TABLE[SILENCE_ROUTINE]);
    AnnounceOut(PS_CHANGED);
    m_idle_count = m_block_size;
}

// A repeated "ON" keeps the delay line as it is. A failed allocation leaves the output unannounced and the
// silence routine installed; the next "ON" tries again.
Module::Marks Module::SwitchOn() {
    if (!m_buffer && !AllocateBuffer()) {
        EnterBufferlessSilence();
        return {};
    }
    AnnounceOut(PS_STREAMING);
    return {.time = true, .volume = true};
}

// No audio routine may run without a delay line: silence, with its countdown to HOST_SLEEP.
void Module::EnterBufferlessSilence() {
    SetProcessRoutine(ROUTINE_TABLE[SILENCE_ROUTINE]);
    m_idle_count = m_block_size;
}

void Module::AnnounceOut(std::int32_t status) {
    if (m_out_pin != nullptr) m_out_pin->TransmitStatusChange(SampleClock(), status);
}

// The routines read every pin buffer and the delay line without a test; a host that built fewer pins never
// sets the buffers of the missing ones.
bool Module::CanRunAudio() const {
    return m_buffer != nullptr && PinCount() >= PIN_COUNT;
}

std::int32_t Module::SelectedRoutine() const {
    const RoutingVariant variant =
        effect_pins::SelectRoutingVariant(routing_mode, NonZero(m_feedback), NonZero(m_damping));
    const TimeGroup group = effect_pins::SelectTimeGroup(time_accuracy, m_time_update == ReadPolicy::EveryBlock);
    return effect_pins::RoutineEntry(group, variant);
}

void Module::CommonTail(const Marks& marks) {
    if (marks.time) m_time_update = m_time_streaming[0] != 0 ? ReadPolicy::EveryBlock : ReadPolicy::NextBlock;
    if (marks.volume) {
        const bool every_block = (m_volume_streaming[0] + (marks.volume_forced ? 1 : 0)) != 0;
        m_volume_update = every_block ? ReadPolicy::EveryBlock : ReadPolicy::NextBlock;
    }
    if (active == effect_pins::choice::OFF) return;
    SetProcessRoutine(ROUTINE_TABLE[CanRunAudio() ? SelectedRoutine() : SILENCE_ROUTINE]);
}

// Counts down one block's worth of silence, then asks the host to let the module sleep, at that call and every
// later one. The count saturates at 0 however long the module stays off.
void Module::ProcessSilence(std::int32_t start, std::int32_t count) {
    const std::int64_t remaining = static_cast<std::int64_t>(m_idle_count) - count;
    m_idle_count = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(remaining, 0, std::numeric_limits<std::int32_t>::max()));
    if (remaining <= 0) CallHost(HOST_SLEEP);
    if (out_audio != nullptr && count > 0) std::fill_n(out_audio + start, count, 0.0f);
}
