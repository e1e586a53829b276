// The CLAP and VST3 plug-ins' worker: every job accepted reaches the handler once, whole and in order, also where
// it wraps around the ring; a job refused while the ring is full is taken once the worker has made room; Drain
// waits for what was scheduled; a queue destroyed with jobs waiting neither runs them afterwards nor hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <semaphore>
#include <vector>

#include "ThreadWorkQueue.h"

namespace {

using er_plugin::ThreadWorkQueue;

// Records every job; optionally holds the worker inside the first job until released.
struct Recorder {
    std::mutex lock;
    std::vector<std::vector<unsigned char>> jobs;
    std::binary_semaphore entered{0};
    std::binary_semaphore release{0};
    bool hold_first = false;

    static void Handle(void* context, std::uint32_t size, const void* data) noexcept {
        auto* self = static_cast<Recorder*>(context);
        bool hold = false;
        {
            std::lock_guard<std::mutex> guard(self->lock);
            const auto* bytes = static_cast<const unsigned char*>(data);
            self->jobs.emplace_back(bytes, bytes + size);
            hold = self->hold_first && self->jobs.size() == 1;
        }
        if (hold) {
            self->entered.release();
            self->release.acquire();
        }
    }
};

std::vector<unsigned char> Job(std::uint32_t size, unsigned seed) {
    std::vector<unsigned char> job(size);
    for (std::uint32_t i = 0; i < size; ++i) job[i] = static_cast<unsigned char>(seed * 131u + i * 7u);
    return job;
}

TEST(ThreadWorkQueue, DeliversEveryJobWholeAndInOrderAcrossTheRingsEnd) {
    Recorder recorder;
    std::vector<std::vector<unsigned char>> sent;
    {
        ThreadWorkQueue queue(&Recorder::Handle, &recorder);
        // Sizes that leave the write position at every alignment, many times round the ring.
        const std::uint32_t sizes[] = {0, 1, 7, 8, 9, 20, 100, 333, ThreadWorkQueue::LARGEST_JOB};
        for (unsigned round = 0; round < 60; ++round) {
            for (const std::uint32_t size : sizes) {
                const auto job = Job(size, round * 16 + size);
                while (!queue.Schedule(size, job.data())) queue.Drain();  // full: wait for room, then again
                sent.push_back(job);
            }
        }
        queue.Drain();
        std::lock_guard<std::mutex> guard(recorder.lock);
        ASSERT_EQ(recorder.jobs.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(recorder.jobs[i], sent[i]) << "job " << i;
    }
}

TEST(ThreadWorkQueue, RefusesWhatCannotFitAndTakesItOnceTheWorkerHasMadeRoom) {
    Recorder recorder;
    recorder.hold_first = true;
    ThreadWorkQueue queue(&Recorder::Handle, &recorder);
    const auto first = Job(16, 1);
    ASSERT_TRUE(queue.Schedule(16, first.data()));
    recorder.entered.acquire();  // the worker holds the first job; the ring is empty again

    EXPECT_FALSE(queue.Schedule(ThreadWorkQueue::LARGEST_JOB + 1, first.data())) << "larger than any job";
    EXPECT_FALSE(queue.Schedule(4, nullptr)) << "bytes promised, none given";

    std::uint32_t accepted = 0;
    const auto job = Job(100, 2);
    while (queue.Schedule(100, job.data())) ++accepted;
    EXPECT_EQ(accepted, ThreadWorkQueue::CAPACITY / (8 + 104)) << "jobs of 100 bytes that fill the ring";
    const std::uint32_t room_left = ThreadWorkQueue::CAPACITY % (8 + 104);
    for (std::uint32_t i = 0; i < room_left / 8; ++i) EXPECT_TRUE(queue.Schedule(0, nullptr)) << "empty job " << i;
    accepted += room_left / 8;
    EXPECT_FALSE(queue.Schedule(0, nullptr)) << "not even an empty job fits a full ring";

    recorder.release.release();
    queue.Drain();
    EXPECT_TRUE(queue.Schedule(100, job.data())) << "refused while full, taken once the worker made room";
    queue.Drain();
    std::lock_guard<std::mutex> guard(recorder.lock);
    EXPECT_EQ(recorder.jobs.size(), 1u + accepted + 1u);
}

TEST(ThreadWorkQueue, StopsWithJobsWaitingWithoutRunningThemLater) {
    Recorder recorder;
    recorder.hold_first = true;
    std::size_t seen_at_stop = 0;
    {
        ThreadWorkQueue queue(&Recorder::Handle, &recorder);
        const auto job = Job(8, 3);
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(queue.Schedule(8, job.data()));
        recorder.entered.acquire();
        recorder.release.release();  // the destructor waits for the job in hand, then drops the rest
    }
    {
        std::lock_guard<std::mutex> guard(recorder.lock);
        seen_at_stop = recorder.jobs.size();
    }
    EXPECT_GE(seen_at_stop, 1u);
    EXPECT_LE(seen_at_stop, 5u);
    // The worker is gone with the queue: nothing reaches the handler afterwards.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> guard(recorder.lock);
    EXPECT_EQ(recorder.jobs.size(), seen_at_stop);
}

}  // namespace
