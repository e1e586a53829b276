// The delay line: one power-of-two array of floats, so that every position wraps with one AND. Positions are
// byte positions (4 x slot); m_buffer_mask = (N - 1) * 4 folds any 32-bit value onto a slot.
//
// Allocates and frees: only from pin notifications ("Active", "Max Delay(s)"), never in a processing call. The
// memory comes from the system already zero (LineMemory.h), so a new line costs no clearing loop.
//
// A poly reset arrives on the audio thread. Writing zeros over a long line there stalls the block that carries
// it (16 MiB at 384 kHz take about 0.8 ms, longer than a 256-sample block lasts); so a long line has a spare of
// the same length, and the reset swaps the two. The old line becomes the spare and is made zero again a slice
// per processing call, its pages handed back to the system (which costs about as much per page as writing it,
// hence the slices). A reset that finds the spare not yet clean writes zeros in place, as a short line always
// does.
#include <algorithm>
#include <utility>

#include "Module.h"

namespace {

// Lines up to this length are emptied in place: writing 256 KiB costs some 15 microseconds, less than the swap's
// first slice of pages given back and the page faults of the block after it (some 20 to 25, measured with
// control/gate in bench/); twice that is past the swap's cost.
constexpr std::int32_t LONGEST_ZEROED_IN_PLACE = 65536;
// Samples of the spare made zero again per processing call: 32 pages, some 10 microseconds where all are used.
constexpr std::int32_t REZERO_SLICE = 32768;

}  // namespace

// Replaces any buffer by an empty one sized for the present max_delay and the library-wide sample rate, and
// starts the damping low-pass afresh with it: the state belongs to the line it filtered, and a non-finite state
// carried into the new line would keep the output non-finite for good, whatever the input.
// On failure m_buffer is none, the size fields already describe the requested length and m_write_pos is
// unchanged; the caller must then keep every audio routine out (see EnterBufferlessSilence). A spare that cannot
// be had is no failure: resets then empty the line in place.
bool Module::AllocateBuffer() {
    ReleaseBuffer();
    m_allocated_max_delay = max_delay;
    const std::int32_t n = BufferLength(max_delay, g_sample_rate);
    m_buffer_size = n;
    m_buffer_mask = (n - 1) * 4;
    const LineRelease release{static_cast<std::size_t>(n)};
    m_buffer = ZeroedLine(g_buffer_allocator(static_cast<std::size_t>(n)), release);
    if (!m_buffer) return false;
    if (n > LONGEST_ZEROED_IN_PLACE) m_spare = ZeroedLine(g_buffer_allocator(static_cast<std::size_t>(n)), release);
    m_write_pos = 0;
    m_damping_state = 0.0f;
    return true;
}

void Module::ReleaseBuffer() {
    m_buffer.reset();
    m_spare.reset();
    m_spare_dirty = 0;
}

void Module::EmptyBuffer() {
    if (m_spare && m_spare_dirty == 0) {
        std::swap(m_buffer, m_spare);
        m_spare_dirty = m_buffer_size;
        return;
    }
    std::fill_n(m_buffer.get(), m_buffer_size, 0.0f);
}

// The slice at the dirty part's end. A spare the system would not clean is given up.
void Module::RezeroSpareSlice() {
    const std::int32_t first = std::max(m_spare_dirty - REZERO_SLICE, 0);
    if (!RezeroLine(m_spare.get(), static_cast<std::size_t>(m_buffer_size), static_cast<std::size_t>(first),
                    static_cast<std::size_t>(m_spare_dirty - first))) {
        m_spare.reset();
        m_spare_dirty = 0;
        return;
    }
    m_spare_dirty = first;
}
