// An LV2 instance: a core and the host's worker, as the core's work queue.
#pragma once

#include <memory>

#include <lv2/core/lv2.h>
#include <lv2/worker/worker.h>

#include "Features.h"
#include "WorkQueue.h"

namespace er_lv2 {

// The host's worker (LV2_Worker_Schedule) as a core's work queue.
class HostWorker final : public er_plugin::WorkQueue {
public:
    explicit HostWorker(const LV2_Worker_Schedule* schedule) : m_schedule(schedule) {}
    bool Schedule(std::uint32_t size, const void* data) noexcept override {
        return m_schedule->schedule_work(m_schedule->handle, size, data) == LV2_WORKER_SUCCESS;
    }
    bool Present() const { return m_schedule != nullptr; }

private:
    const LV2_Worker_Schedule* m_schedule;
};

template <class Core>
struct Instance {
    explicit Instance(const LV2_Feature* const* features)
        : worker(static_cast<const LV2_Worker_Schedule*>(Feature(features, LV2_WORKER__schedule))) {}
    er_plugin::WorkQueue* Queue() { return worker.Present() ? &worker : nullptr; }
    HostWorker worker;
    std::unique_ptr<Core> core;
};

}  // namespace er_lv2
