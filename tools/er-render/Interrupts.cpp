#include "Interrupts.h"

#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstring>

#include <pthread.h>
#include <sys/wait.h>

#include <stdlib.h>
#include <unistd.h>

namespace er_render {

namespace {

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// Fixed tables, so that the handler reads them without allocating or locking. A slot's path is complete before
// its flag is set, and the flag is cleared before the slot is reused.
constexpr int TEMPORARY_SLOTS = 16;
constexpr std::size_t PATH_CAPACITY = 4096;
struct TemporarySlot {
    std::atomic<bool> used{false};
    char path[PATH_CAPACITY];
};
TemporarySlot g_temporaries[TEMPORARY_SLOTS];

constexpr int WORKER_SLOTS = 256;
std::atomic<pid_t> g_workers[WORKER_SLOTS];

extern "C" void OnStopSignal(int signal_number) {
    for (TemporarySlot& slot : g_temporaries) {
        if (slot.used.load()) unlink(slot.path);
    }
    for (std::atomic<pid_t>& worker : g_workers) {
        const pid_t pid = worker.load();
        if (pid > 0) kill(pid, signal_number);
    }
    // Each worker removes its own temporary file as it stops: wait, so that none is left once the tool has gone.
    for (std::atomic<pid_t>& worker : g_workers) {
        const pid_t pid = worker.load();
        while (pid > 0 && waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

}  // namespace

StopSignalsHeld::StopSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal_number : STOP_SIGNALS) sigaddset(&held, signal_number);
    pthread_sigmask(SIG_BLOCK, &held, &m_previous);
}

StopSignalsHeld::~StopSignalsHeld() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }

void InstallInterruptCleanup() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : STOP_SIGNALS) sigaddset(&action.sa_mask, signal_number);
    for (const int signal_number : STOP_SIGNALS) sigaction(signal_number, &action, nullptr);
}

int MakeRegisteredTemporary(std::string& path_template) {
    if (path_template.size() >= PATH_CAPACITY) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const StopSignalsHeld held;
    for (TemporarySlot& slot : g_temporaries) {
        if (slot.used.load()) continue;
        const int fd = mkstemp(path_template.data());
        if (fd < 0) return -1;
        std::memcpy(slot.path, path_template.c_str(), path_template.size() + 1);
        slot.used.store(true);
        return fd;
    }
    errno = EMFILE;
    return -1;
}

void ForgetTemporary(const std::string& path) {
    const StopSignalsHeld held;
    for (TemporarySlot& slot : g_temporaries) {
        if (slot.used.load() && path == slot.path) slot.used.store(false);
    }
}

pid_t ForkWorker() {
    const StopSignalsHeld held;
    const pid_t pid = fork();
    if (pid == 0) {
        for (std::atomic<pid_t>& worker : g_workers) worker.store(0);
    } else if (pid > 0) {
        for (std::atomic<pid_t>& worker : g_workers) {
            pid_t expected = 0;
            if (worker.compare_exchange_strong(expected, pid)) break;
        }
    }
    return pid;
}

void ForgetWorker(pid_t pid) {
    for (std::atomic<pid_t>& worker : g_workers) {
        pid_t expected = pid;
        worker.compare_exchange_strong(expected, 0);
    }
}

}  // namespace er_render
