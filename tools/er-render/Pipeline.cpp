#include "Pipeline.h"

#include <algorithm>
#include <utility>

#include "Interrupts.h"

namespace er_render {

Worker::Worker() {
    const StopSignalsHeld held;  // the thread keeps them held: a stop signal reaches the main thread
    m_thread = std::thread([this] { Loop(); });
}

Worker::~Worker() {
    {
        std::unique_lock lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void Worker::Loop() {
    std::unique_lock lock(m_mutex);
    while (true) {
        m_changed.wait(lock, [this] { return m_busy || m_stopping; });
        if (!m_busy) return;
        lock.unlock();
        std::exception_ptr failure;
        try {
            m_job();
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        m_job = nullptr;
        m_failure = failure;
        m_busy = false;
        m_changed.notify_all();
    }
}

void Worker::Wait() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_busy; });
    if (m_failure) std::rethrow_exception(std::exchange(m_failure, nullptr));
}

void Worker::Start(std::function<void()> job) {
    Wait();
    {
        std::unique_lock lock(m_mutex);
        m_job = std::move(job);
        m_busy = true;
    }
    m_changed.notify_all();
}

SampleStream::SampleStream(std::size_t chunk_samples, Consumer consume)
    : m_consume(std::move(consume)), m_filling(chunk_samples), m_consumed(chunk_samples) {}

void SampleStream::Add(const float* interleaved, std::size_t samples) {
    while (samples > 0) {
        const std::size_t count = std::min(samples, m_filling.size() - m_waiting);
        std::copy_n(interleaved, count, m_filling.data() + m_waiting);
        m_waiting += count;
        interleaved += count;
        samples -= count;
        if (m_waiting == m_filling.size()) HandOver();
    }
}

void SampleStream::HandOver() {
    m_worker.Wait();
    std::swap(m_filling, m_consumed);
    const std::size_t count = std::exchange(m_waiting, 0);
    m_worker.Start([this, count] { m_consume(m_consumed.data(), count); });
}

void SampleStream::Finish() {
    if (m_waiting > 0) HandOver();
    m_worker.Wait();
}

void SampleStream::Stop() {
    try {
        m_worker.Wait();
    } catch (...) {
        // The run is ending for another reason; this failure would only hide it.
    }
    m_waiting = 0;
}

}  // namespace er_render
