// Lets a test make the next nothrow allocation of the program fail, to see how the caller copes. Linking
// FailingAllocation.cpp replaces the nothrow forms of operator new and new[]; all others are untouched.
#pragma once

namespace failing_allocation {

// The next `new (std::nothrow)` (object or array) answers null; later ones succeed again.
void FailNextNothrow();

// True while a requested failure has not yet happened.
bool Pending();

}  // namespace failing_allocation
