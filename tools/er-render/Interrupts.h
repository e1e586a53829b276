// Signals that end the tool: SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE each remove every temporary output file
// still registered here, stop the worker processes of a batch and wait for them (each removes its own file), and
// end the process by the same signal (so the shell sees 128 + its number). The handler does only
// async-signal-safe work: unlink, kill, waitpid, raise.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>

namespace er_render {

void InstallInterruptCleanup();

// Holds the stop signals back from the calling thread for its lifetime. A thread started meanwhile keeps them
// held for good, so that they always reach the main thread, where registering a file and taking the signal
// cannot interleave.
class StopSignalsHeld {
public:
    StopSignalsHeld();
    ~StopSignalsHeld();
    StopSignalsHeld(const StopSignalsHeld&) = delete;
    StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

private:
    sigset_t m_previous;
};

// mkstemp on `path_template` (ending in "XXXXXX") with the signals above held back until the new file is
// registered for removal, so that no signal can leave it behind. Returns the descriptor, or -1 (errno set).
int MakeRegisteredTemporary(std::string& path_template);
// The file at `path` is no longer removed by a signal (it was renamed into place, or removed already).
void ForgetTemporary(const std::string& path);

// fork(), with the child registered as a worker that a signal stops too before any signal can be handled in
// the parent; in the child, the parent's workers are forgotten (they are not its own to stop). Returns as fork.
pid_t ForkWorker();
// The worker has been waited for.
void ForgetWorker(pid_t pid);

}  // namespace er_render
