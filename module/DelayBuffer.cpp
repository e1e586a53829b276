// The delay line: one power-of-two array of floats, so that every position wraps with one AND. Positions are
// byte positions (4 x slot); m_buffer_mask = (N - 1) * 4 folds any 32-bit value onto a slot.
//
// Allocates and frees: only from pin notifications ("Active", "Max Delay(s)"), never in a processing call. The
// memory comes from the system already zero (LineMemory.h), so a new line costs no clearing loop.
#include <algorithm>

#include "Module.h"

// Replaces any buffer by an empty one sized for the present max_delay and the library-wide sample rate, and
// starts the damping low-pass afresh with it: the state belongs to the line it filtered, and a non-finite state
// carried into the new line would keep the output non-finite for good, whatever the input.
// On failure m_buffer is none, the size fields already describe the requested length and m_write_pos is
// unchanged; the caller must then keep every audio routine out (see EnterBufferlessSilence).
bool Module::AllocateBuffer() {
    ReleaseBuffer();
    m_allocated_max_delay = max_delay;
    const std::int32_t n = BufferLength(max_delay, g_sample_rate);
    m_buffer_size = n;
    m_buffer_mask = (n - 1) * 4;
    m_buffer = ZeroedLine(g_buffer_allocator(static_cast<std::size_t>(n)), LineRelease{static_cast<std::size_t>(n)});
    if (!m_buffer) return false;
    m_write_pos = 0;
    m_damping_state = 0.0f;
    return true;
}

void Module::ReleaseBuffer() {
    m_buffer.reset();
}

void Module::EmptyBuffer() {
    std::fill_n(m_buffer.get(), m_buffer_size, 0.0f);
}
