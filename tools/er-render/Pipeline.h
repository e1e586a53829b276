// Work that overlaps the render: decoding the input ahead, encoding and writing the output, measuring loudness.
// Each runs one job at a time on a thread of its own, with a fixed number of buffers, so a long render takes no
// more memory than a short one. A job's failure (a Failure or any other exception) reaches the render's thread
// at the next hand-over and ends the run there, as it would have on one thread. The stop signals reach the main
// thread alone (Interrupts.h).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace er_render {

// One job in flight on a thread of its own.
class Worker {
public:
    Worker();
    ~Worker();  // waits for the job in hand; its failure, if any, is dropped (the run is ending anyway)
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Waits for the job before (rethrowing its failure), then starts `job`.
    void Start(std::function<void()> job);
    // Waits for the job in hand, if any, and rethrows its failure once.
    void Wait();

private:
    void Loop();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_job;  // set by Start, cleared by the thread when done
    bool m_busy = false;
    bool m_stopping = false;
    std::exception_ptr m_failure;
    std::thread m_thread;  // started once the rest is ready
};

// Interleaved samples gathered into chunks and handed, a chunk at a time, to `consume` on a worker while the next
// chunk fills: two chunks of `chunk_samples` at most. `consume` sees every sample once, in order.
class SampleStream {
public:
    using Consumer = std::function<void(const float* interleaved, std::size_t samples)>;
    SampleStream(std::size_t chunk_samples, Consumer consume);

    // Copies `samples` samples in; hands the chunk over when it is full. Rethrows a failure of `consume`.
    void Add(const float* interleaved, std::size_t samples);
    // Hands over what waits and waits until `consume` has seen everything. Rethrows a failure of `consume`.
    void Finish();
    // Waits for `consume` to finish the chunk in hand, dropping its failure; nothing more is handed over.
    void Stop();

private:
    void HandOver();

    Consumer m_consume;
    std::vector<float> m_filling;
    std::vector<float> m_consumed;  // the chunk the worker has
    std::size_t m_waiting = 0;      // samples in m_filling
    Worker m_worker;                // last: joined before the chunks go
};

}  // namespace er_render
