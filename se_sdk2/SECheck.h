// Contract checks of the frame. A failed check is reported with its expression text and the source name, and
// the caller goes on with the documented answer: nothing ever aborts or throws into the host.
#pragma once

// Receives every failed check. The default writes one line to stderr.
using SECheckReporter = void (*)(const char* expression, const char* source);

// Installs `reporter` (null restores the default) and returns the one it replaces. Tests use it to observe.
SECheckReporter SESetCheckReporter(SECheckReporter reporter);

// Reports a failed check through the installed reporter.
void SEReportCheckFailure(const char* expression, const char* source);

// Evaluates to `condition`; reports its text under `source` when it is false.
#define SE_CHECK(condition, source) \
    ((condition) ? true : (SEReportCheckFailure(#condition, source), false))
