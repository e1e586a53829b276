// Signals that end the tool: SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE each remove every temporary output file
// still registered here, stop the worker processes of a batch and wait for them (each removes its own file), and
// end the process by the same signal (so the shell sees 128 + its number). The handler does only
// async-signal-safe work: unlink, kill, waitpid, raise.
#pragma once

#include <string>
#include <sys/types.h>

namespace er_render {

void InstallInterruptCleanup();

// mkstemp on `path_template` (ending in "XXXXXX") with the signals above held back until the new file is
// registered for removal, so that no signal can leave it behind. Returns the descriptor, or -1 (errno set).
int MakeRegisteredTemporary(std::string& path_template);
// The file at `path` is no longer removed by a signal (it was renamed into place, or removed already).
void ForgetTemporary(const std::string& path);

// A worker process that a signal stops too; forgotten when it has been waited for.
void RegisterWorker(pid_t pid);
void ForgetWorker(pid_t pid);
// In a new worker process: its parent's workers are not its own to stop.
void ForgetAllWorkers();

}  // namespace er_render
