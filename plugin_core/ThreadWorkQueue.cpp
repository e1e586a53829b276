#include "ThreadWorkQueue.h"

#include <algorithm>
#include <cstring>

namespace er_plugin {

ThreadWorkQueue::ThreadWorkQueue(Handler handler, void* context)
    : m_handler(handler), m_context(context), m_thread([this] { Serve(); }) {}

ThreadWorkQueue::~ThreadWorkQueue() {
    m_stopping.store(true, std::memory_order_release);
    m_jobs.release();
    m_thread.join();
}

void ThreadWorkQueue::Store(std::uint64_t at, const void* from, std::uint32_t size) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(from);
    const std::uint32_t start = static_cast<std::uint32_t>(at % CAPACITY);
    const std::uint32_t first = std::min(size, CAPACITY - start);
    std::memcpy(m_ring + start, bytes, first);
    std::memcpy(m_ring, bytes + first, size - first);
}

void ThreadWorkQueue::Copy(std::uint64_t at, void* to, std::uint32_t size) const noexcept {
    auto* bytes = static_cast<unsigned char*>(to);
    const std::uint32_t start = static_cast<std::uint32_t>(at % CAPACITY);
    const std::uint32_t first = std::min(size, CAPACITY - start);
    std::memcpy(bytes, m_ring + start, first);
    std::memcpy(bytes + first, m_ring, size - first);
}

bool ThreadWorkQueue::Schedule(std::uint32_t size, const void* data) noexcept {
    if (size > LARGEST_JOB || (size > 0 && data == nullptr)) return false;
    const std::uint64_t written = m_written.load(std::memory_order_relaxed);
    const std::uint64_t free = CAPACITY - (written - m_read.load(std::memory_order_acquire));
    if (Footprint(size) > free) return false;
    Store(written, &size, sizeof size);
    if (size > 0) Store(written + HEADER, data, size);
    m_written.store(written + Footprint(size), std::memory_order_release);
    m_accepted.fetch_add(1, std::memory_order_release);
    m_jobs.release();
    return true;
}

void ThreadWorkQueue::Serve() noexcept {
    alignas(16) unsigned char job[LARGEST_JOB];
    while (!m_stopping.load(std::memory_order_acquire)) {
        // The ring is looked at after every wake-up and at least every WAKE_PERIOD: a release the waiting worker
        // misses (libstdc++'s semaphore without futexes, as on Windows, can lose one) delays a job, never loses it.
        (void)m_jobs.try_acquire_for(WAKE_PERIOD);
        for (;;) {
            if (m_stopping.load(std::memory_order_acquire)) break;
            const std::uint64_t read = m_read.load(std::memory_order_relaxed);
            if (read == m_written.load(std::memory_order_acquire)) break;
            std::uint32_t size = 0;
            Copy(read, &size, sizeof size);
            Copy(read + HEADER, job, size);
            // The ring's room goes back before the handler runs: the handler may take long (a room is worked out)
            // and the audio thread may want to queue the next job meanwhile.
            m_read.store(read + Footprint(size), std::memory_order_release);
            m_handler(m_context, size, job);
            {
                std::lock_guard<std::mutex> lock(m_lock);
                ++m_handled;
            }
            m_drained.notify_all();
        }
    }
    // Jobs still queued are dropped: their target is going away with the queue.
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_handled = m_accepted.load(std::memory_order_acquire);
    }
    m_drained.notify_all();
}

void ThreadWorkQueue::Drain() noexcept {
    const std::uint64_t target = m_accepted.load(std::memory_order_acquire);
    std::unique_lock<std::mutex> lock(m_lock);
    m_drained.wait(lock, [&] { return m_handled >= target; });
}

}  // namespace er_plugin
