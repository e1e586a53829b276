// The floating-point control the plug-ins' sound is worked out under, whatever the host's thread has, and the scope
// that switches to it for a call and back.
#pragma once

#include <cstdint>

#include <emmintrin.h>

#include "FloatControl.h"

namespace er_plugin {

// Round to nearest, every exception masked, no flush-to-zero: the state er-render and a fresh thread have. The
// module records it at open, so every instance records the same; the room engine runs under it too, so that a
// host that flushes denormals to zero (Ardour does) hears what er-render writes.
inline constexpr std::uint32_t MODULE_MXCSR = MXCSR_EXCEPTION_MASKS;

// MODULE_MXCSR for the scope's life; the host's thread gets its own settings back. Status flags raised meanwhile
// are kept: they are the host's business, as they are after any function call. A host that runs under the settings
// already costs nothing here: reading and loading MXCSR cost a noticeable part of a short block of the cheapest
// routine.
class FloatScope {
public:
    FloatScope() : m_host(_mm_getcsr()) {
        if ((m_host & ~MXCSR_STATUS_FLAGS) != MODULE_MXCSR) _mm_setcsr(MODULE_MXCSR | (m_host & MXCSR_STATUS_FLAGS));
    }
    ~FloatScope() {
        if ((m_host & ~MXCSR_STATUS_FLAGS) != MODULE_MXCSR) {
            _mm_setcsr((m_host & ~MXCSR_STATUS_FLAGS) | (_mm_getcsr() & MXCSR_STATUS_FLAGS));
        }
    }
    bool HostHasModuleControl() const { return (m_host & ~MXCSR_STATUS_FLAGS) == MODULE_MXCSR; }
    FloatScope(const FloatScope&) = delete;
    FloatScope& operator=(const FloatScope&) = delete;

private:
    const std::uint32_t m_host;
};

}  // namespace er_plugin
