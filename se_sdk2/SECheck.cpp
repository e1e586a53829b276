#include "SECheck.h"

#include <cstdio>

namespace {

// One line per failed check, e.g. "se_sdk2/SEModule_base: check failed: m_pins != 0".
void WriteToStderr(const char* expression, const char* source) {
    std::fprintf(stderr, "%s: check failed: %s\n", source, expression);
}

// The library never starts threads; the host enters one object at a time, so a plain pointer suffices.
SECheckReporter g_reporter = &WriteToStderr;

}  // namespace

SECheckReporter SESetCheckReporter(SECheckReporter reporter) {
    const SECheckReporter previous = g_reporter;
    g_reporter = reporter != nullptr ? reporter : &WriteToStderr;
    return previous;
}

void SEReportCheckFailure(const char* expression, const char* source) {
    g_reporter(expression, source);
}
