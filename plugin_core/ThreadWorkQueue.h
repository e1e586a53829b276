// A WorkQueue with a thread of its own, for formats whose hosts give a plug-in no worker (CLAP's thread pool is
// optional and runs only during process; VST3 has nothing of the kind). The audio thread copies each job into a
// ring of fixed size and counts it on a semaphore; the worker thread takes the jobs in order and hands each to the
// handler. Schedule never allocates or locks (the semaphore's release is its only call): a job that does not fit now is refused, and the core asks again at
// its next run.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <semaphore>
#include <thread>

#include "WorkQueue.h"

namespace er_plugin {

class ThreadWorkQueue final : public WorkQueue {
public:
    // Called on the worker thread with each job's bytes, in the order they were scheduled.
    using Handler = void (*)(void* context, std::uint32_t size, const void* data) noexcept;

    // The ring's size: a job takes its size rounded up to 8 bytes, plus 8. The cores' jobs are a few dozen bytes.
    static constexpr std::uint32_t CAPACITY = 4096;
    static constexpr std::uint32_t LARGEST_JOB = 1024;
    static constexpr std::chrono::milliseconds WAKE_PERIOD{10};

    // Starts the worker thread. Allocates; not on the audio thread.
    ThreadWorkQueue(Handler handler, void* context);
    // Waits for the job the worker is running, drops the ones still queued and stops the thread.
    ~ThreadWorkQueue();
    ThreadWorkQueue(const ThreadWorkQueue&) = delete;
    ThreadWorkQueue& operator=(const ThreadWorkQueue&) = delete;

    // Audio thread (one producer at a time): false when the job is larger than LARGEST_JOB or the ring has no room.
    bool Schedule(std::uint32_t size, const void* data) noexcept override;

    // Not on the audio thread: returns once every job scheduled before the call has been handled (before the
    // handler's target is replaced or destroyed).
    void Drain() noexcept;

private:
    static constexpr std::uint32_t HEADER = 8;  // the job's size, padded to keep every header aligned
    static constexpr std::uint32_t Footprint(std::uint32_t size) { return HEADER + ((size + 7u) & ~7u); }
    void Copy(std::uint64_t at, void* to, std::uint32_t size) const noexcept;      // out of the ring
    void Store(std::uint64_t at, const void* from, std::uint32_t size) noexcept;  // into the ring
    void Serve() noexcept;

    const Handler m_handler;
    void* const m_context;
    alignas(8) unsigned char m_ring[CAPACITY];
    std::atomic<std::uint64_t> m_written{0};  // bytes ever written: the producer's position
    std::atomic<std::uint64_t> m_read{0};     // bytes ever released by the worker: the consumer's position
    std::atomic<std::uint64_t> m_accepted{0};  // jobs Schedule took
    std::mutex m_lock;                         // the worker's and Drain's, never the audio thread's
    std::condition_variable m_drained;
    std::uint64_t m_handled = 0;               // jobs the worker has handled (or dropped when stopping)
    std::atomic<bool> m_stopping{false};
    std::counting_semaphore<> m_jobs{0};
    std::thread m_thread;
};

}  // namespace er_plugin
