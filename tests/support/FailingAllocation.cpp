#include "FailingAllocation.h"

#include <cstddef>
#include <new>

namespace {
bool g_fail_next = false;

// Consumes the pending failure, if any.
bool TakeFailure() {
    const bool fail = g_fail_next;
    g_fail_next = false;
    return fail;
}
}  // namespace

namespace failing_allocation {
void FailNextNothrow() { g_fail_next = true; }
bool Pending() { return g_fail_next; }
}  // namespace failing_allocation

// Both delegate to the ordinary forms, so the ordinary delete releases what they hand out.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (TakeFailure()) return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (TakeFailure()) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}
