// The cost of every processing routine of the effect, side by side with the peers (STK, Faust) doing the same
// job and with the floors (memcpy, memset, each variant's recurrence alone), plus the control path.
//
// Names: "<who>/<job>/block:B/buffer:N/k:K", <who> one of ours, stk, faust; <job> the effect's routine whose job
// is computed. Floors: "floor/<what>/block:B". Control: "control/<what>[/buffer:N]". Every audio case reports
// ns/sample and samples/s; scripts/bench turns the JSON output into a table.
//
// Matrix, kept to a few minutes: every job at block 256 with both delay lines (2048, 524288 samples) and both
// delays (k = 10, inside the block; k = 1000, beyond it); blocks 32 and 4096 with the 2048-sample line only.
// Fractional jobs use k + 0.375; "Fraction(Full)" moves it by +-0.75 samples at every sample. That is 8 geometries
// x 15 jobs x 3 contenders = 360 audio cases, plus ProcessSilence and 4 floors per block size. Control: pin
// changes, switch-on and a poly reset (with its block) for every "Max Delay(s)" entry at 384 kHz, and for three
// line lengths a "Max Delay(s)" change, switch-off, and a pass over a fresh line beside one over a line already
// used.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "Job.h"
#include "Ours.h"
#include "Peers.h"

// Every C++ allocation of the process, the module's included (the library's operator new resolves to this
// program's), so that a case can report how many of its timed calls allocated.
namespace {
std::size_t g_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++g_allocations;
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
// GCC takes the replaced operator new for the real one and flags std::free of its result; it is malloc's.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace er_bench {
namespace {

struct Geometry {
    std::int32_t block;
    std::int32_t buffer;
    std::int32_t k;
};
constexpr Geometry GEOMETRIES[] = {
    {256, 2048, 10},
    {256, 2048, 1000},
    {256, 524288, 10},
    {256, 524288, 1000},
    {32, 2048, 10},
    {32, 2048, 1000},
    {4096, 2048, 10},
    {4096, 2048, 1000},
};
constexpr std::int32_t BLOCKS[] = {32, 256, 4096};
constexpr double FRACTION = 0.375;

// The silence countdown starts at the host's block size; a long host block keeps the timed calls before the
// module asks to sleep, as they are in the host (which stops calling once it has).
constexpr std::int32_t SILENCE_HOST_BLOCK = 65536;

constexpr float FLUSH_BETA = 9.999999747378752e-06f;  // the effect's flush constant

// Allocations per timed call, counted from `before` (g_allocations before the loop).
void SetAllocationCounter(benchmark::State& state, std::size_t before) {
    state.counters["allocations/call"] =
        benchmark::Counter(static_cast<double>(g_allocations - before), benchmark::Counter::kAvgIterations);
}

void SetSampleCounters(benchmark::State& state, std::int32_t block) {
    const double samples = static_cast<double>(state.iterations()) * block;
    // Seconds per sample: shown as "2.3ns", written to JSON in seconds.
    state.counters["ns/sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["samples/s"] = benchmark::Counter(samples, benchmark::Counter::kIsRate);
}

Job MakeJob(Kind kind, Variant variant, const Geometry& g) {
    Job job;
    job.kind = kind;
    job.variant = variant;
    job.buffer_size = g.buffer;
    job.delay = kind == Kind::Sample ? g.k : g.k + FRACTION;
    return job;
}

std::string Suffix(const Geometry& g) {
    return "/block:" + std::to_string(g.block) + "/buffer:" + std::to_string(g.buffer) + "/k:" +
           std::to_string(g.k);
}

// ---- the effect --------------------------------------------------------------------------------------------

void Ours(benchmark::State& state, Job job, std::int32_t block) {
    OurRoutine routine(job, block);
    FillSignal(routine.Input(), block);
    const SEProcessEntry entry = routine.Entry();
    void* const object = routine.Object();
    const std::size_t allocations = g_allocations;
    for (auto _ : state) {
        entry(object, 0, block);
        benchmark::ClobberMemory();
    }
    SetAllocationCounter(state, allocations);
    SetSampleCounters(state, block);
}

void Silence(benchmark::State& state, std::int32_t block) {
    const auto routine = OurRoutine::Silent(SILENCE_HOST_BLOCK);
    const SEProcessEntry entry = routine->Entry();
    void* const object = routine->Object();
    const std::int32_t calls_awake = SILENCE_HOST_BLOCK / block - 1;
    const std::int32_t active = routine->PinIndex(effect_pins::Pin::Active);
    std::int32_t calls = 0;
    for (auto _ : state) {
        entry(object, 0, block);
        benchmark::ClobberMemory();
        if (++calls == calls_awake) {  // restart the countdown: a few ns every thousands of samples
            routine->Notify(active, 0);
            calls = 0;
        }
    }
    SetSampleCounters(state, block);
}

// ---- the peers ---------------------------------------------------------------------------------------------

void RunPeer(benchmark::State& state, Job job, std::int32_t block, std::size_t which) {
    std::vector<NamedPeer> peers = MakePeers(job);
    Peer& peer = *peers.at(which).peer;
    std::vector<float> in(block), time(block), out(block);
    FillSignal(in.data(), block);
    for (std::int32_t i = 0; i < block; ++i) time[i] = peer.TimeInput(MovingDelay(job, i));
    for (auto _ : state) {
        peer.Run(in.data(), time.data(), out.data(), block);
        benchmark::ClobberMemory();
    }
    SetSampleCounters(state, block);
}

// ---- the floors --------------------------------------------------------------------------------------------

void Memcpy(benchmark::State& state, std::int32_t block) {
    std::vector<float> in(block), out(block);
    FillSignal(in.data(), block);
    for (auto _ : state) {
        benchmark::DoNotOptimize(in.data());
        std::memcpy(out.data(), in.data(), sizeof(float) * block);
        benchmark::ClobberMemory();
    }
    SetSampleCounters(state, block);
}

void Memset(benchmark::State& state, std::int32_t block) {
    std::vector<float> out(block);
    for (auto _ : state) {
        benchmark::DoNotOptimize(out.data());
        std::memset(out.data(), 0, sizeof(float) * block);
        benchmark::ClobberMemory();
    }
    SetSampleCounters(state, block);
}

// The low-pass of the Tap and Output variants alone: three dependent operations on S per sample.
void Recurrence3(benchmark::State& state, std::int32_t block) {
    std::vector<float> tap(block);
    FillSignal(tap.data(), block);
    double damping = 0.3;
    double s = 0.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(damping);
        for (std::int32_t i = 0; i < block; ++i) {
            const double d = tap[i];
            s = d - damping * (d - s);
        }
        benchmark::DoNotOptimize(s);
    }
    SetSampleCounters(state, block);
}

// The Input variants' low-pass with the flush: five dependent operations on S per sample.
void Recurrence5(benchmark::State& state, std::int32_t block) {
    std::vector<float> input(block), tap(block);
    FillSignal(input.data(), block, 1);
    FillSignal(tap.data(), block, 2);
    double damping = 0.3, feedback = 0.5;
    const double beta = FLUSH_BETA;
    double s = 0.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(damping);
        benchmark::DoNotOptimize(feedback);
        for (std::int32_t i = 0; i < block; ++i) {
            const double u = input[i] + feedback * tap[i];
            s = ((u - damping * (u - s)) - beta) + beta;
        }
        benchmark::DoNotOptimize(s);
    }
    SetSampleCounters(state, block);
}

// ---- the control path --------------------------------------------------------------------------------------

// A "Damping/Feedback Mode" notification that installs another routine (Tap1 <-> Output, feedback on), or that
// re-selects the routine already installed.
void PinChange(benchmark::State& state, bool new_routine) {
    Job job;
    job.variant = Variant::TapFeedback;
    OurRoutine routine(job, 256);
    const std::int32_t routing = routine.PinIndex(effect_pins::Pin::RoutingMode);
    std::int16_t mode = 0;
    routine.Notify(routing, mode);  // the host's record of calls has grown to its size
    const std::size_t allocations = g_allocations;
    for (auto _ : state) {
        if (new_routine) mode = static_cast<std::int16_t>(2 - mode);
        routine.Notify(routing, mode);
        routine.Host().ClearCalls();
    }
    SetAllocationCounter(state, allocations);
}

// The notifications that make or give back a delay line, and what a new line costs the processing calls. Each
// is timed alone (manual time) on a TapFeedback routine at delay 1000; what sets up the next one is not timed.

// Times `work` as the iteration's time; returns it in seconds.
template <class F>
double TimeAlone(benchmark::State& state, F work) {
    const auto begin = std::chrono::steady_clock::now();
    work();
    const auto end = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(end - begin).count();
    state.SetIterationTime(seconds);
    return seconds;
}

// The same in the thread's processor time (the kernel's work for it included), which a machine shared with other
// work leaves as it is where the wall clock also counts the time others ran.
template <class F>
double ProcessorTimeAlone(benchmark::State& state, F work) {
    const auto now = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    };
    const double begin = now();
    work();
    const double seconds = now() - begin;
    state.SetIterationTime(seconds);
    return seconds;
}

Job LineJob(std::int32_t buffer) {
    Job job;
    job.variant = Variant::TapFeedback;
    job.delay = 1000.0;
    job.buffer_size = buffer;
    return job;
}

// Processes as many samples as the line holds, in blocks of the routine's host block: every slot written once.
void PassOverLine(OurRoutine& routine, std::int32_t buffer) {
    const std::int32_t block = routine.Host().Options().block_size;
    for (std::int32_t done = 0; done < buffer; done += block) routine.Entry()(routine.Object(), 0, block);
}

// "Active" ON with a new delay line of `buffer` samples. The OFF that gives the line back is not timed.
void SwitchOn(benchmark::State& state, std::int32_t buffer) {
    Job job;
    job.buffer_size = buffer;
    OurRoutine routine(job, 256);
    const std::int32_t active = routine.PinIndex(effect_pins::Pin::Active);
    const std::size_t allocations = g_allocations;
    for (auto _ : state) {
        routine.Notify(active, 0);
        TimeAlone(state, [&] { routine.Notify(active, 1); });
        routine.Host().ClearCalls();
    }
    SetAllocationCounter(state, allocations);  // the host's record of statuses; the line is not from new
}

// "Max Delay(s)" changed while on: the line of `buffer` samples, after a pass over it, given back and one of
// half its length made; the next iteration changes back (after a pass over that one).
void MaxDelayChange(benchmark::State& state, std::int32_t buffer) {
    OurRoutine routine(LineJob(buffer), 256);
    const std::int32_t max_delay = routine.PinIndex(effect_pins::Pin::MaxDelay);
    const std::int16_t entries[2] = {routine.MaxDelayEntry(buffer), routine.MaxDelayEntry(buffer / 2)};
    std::int32_t next = 1;
    for (auto _ : state) {
        PassOverLine(routine, next == 1 ? buffer : buffer / 2);
        TimeAlone(state, [&] { routine.Notify(max_delay, entries[next]); });
        next = 1 - next;
        routine.Host().ClearCalls();
    }
}

// "Active" OFF after a pass over the whole line: gives back `buffer` samples of memory, every page of it used.
void SwitchOff(benchmark::State& state, std::int32_t buffer) {
    OurRoutine routine(LineJob(buffer), 256);
    const std::int32_t active = routine.PinIndex(effect_pins::Pin::Active);
    for (auto _ : state) {
        routine.Notify(active, 1);
        PassOverLine(routine, buffer);
        TimeAlone(state, [&] { routine.Notify(active, 0); });
        routine.Host().ClearCalls();
    }
}

// A poly reset (a positive "Midi_to_CV:Gate(Poly Reset)") after a pass over the whole line, timed together with
// the block of 256 that carries it, in processor time: the line must read empty again without the audio thread
// writing every page.
// The untimed pass before each one also gives the line set aside by the previous reset time to become clean.
void Gate(benchmark::State& state, std::int32_t buffer) {
    OurRoutine routine(LineJob(buffer), 256);
    const std::int32_t gate = routine.PinIndex(effect_pins::Pin::Gate);
    FillSignal(routine.Input(), 256);
    for (auto _ : state) {
        PassOverLine(routine, std::max(buffer, 256 * 256));
        routine.Host().PostFloat(gate, 0.0f);
        routine.Host().Process(1);
        // A sample pin's value is read from its buffer at the event: the substitute host delivers it.
        ProcessorTimeAlone(state, [&] {
            routine.Host().PostFloat(gate, 1.0f);
            routine.Host().Process(256);
        });
        routine.Host().ClearCalls();
        // The tap lies 1000 samples back: after a reset the block must be silent (where the line holds the tap).
        if (buffer > 1000 + 256 && std::any_of(routine.Output(), routine.Output() + 256, [](float y) { return y != 0.0f; })) {
            state.SkipWithError("the reset did not empty the line");
            break;
        }
    }
}

// One pass over the line in blocks of 256: right after switch-on (`fresh`: every page met for the first time)
// or over a line already passed over. The difference is what a new line adds to the processing calls.
void LinePass(benchmark::State& state, std::int32_t buffer, bool fresh) {
    OurRoutine routine(LineJob(buffer), 256);
    const std::int32_t active = routine.PinIndex(effect_pins::Pin::Active);
    FillSignal(routine.Input(), 256);
    double seconds = 0.0;
    for (auto _ : state) {
        if (fresh) {
            routine.Notify(active, 0);
            routine.Notify(active, 1);
        } else {
            PassOverLine(routine, buffer);
        }
        seconds += TimeAlone(state, [&] { PassOverLine(routine, buffer); });
        routine.Host().ClearCalls();
    }
    state.counters["ns/sample"] = seconds / (static_cast<double>(state.iterations()) * buffer);
}

void RegisterAll() {
    for (const Geometry& g : GEOMETRIES) {
        for (std::int32_t kind = 0; kind < KIND_COUNT; ++kind) {
            for (std::int32_t variant = 0; variant < VARIANT_COUNT; ++variant) {
                const Job job = MakeJob(static_cast<Kind>(kind), static_cast<Variant>(variant), g);
                const std::string name = RoutineName(job.kind, job.variant) + Suffix(g);
                benchmark::RegisterBenchmark(("ours/" + name).c_str(), Ours, job, g.block);
                const std::vector<std::string> peers = PeerNames(job);
                for (std::size_t i = 0; i < peers.size(); ++i) {
                    benchmark::RegisterBenchmark((peers[i] + "/" + name).c_str(), RunPeer, job, g.block, i);
                }
            }
        }
    }
    for (const std::int32_t block : BLOCKS) {
        const std::string suffix = "/block:" + std::to_string(block);
        benchmark::RegisterBenchmark(("ours/ProcessSilence" + suffix).c_str(), Silence, block);
        benchmark::RegisterBenchmark(("floor/memcpy" + suffix).c_str(), Memcpy, block);
        benchmark::RegisterBenchmark(("floor/memset" + suffix).c_str(), Memset, block);
        benchmark::RegisterBenchmark(("floor/recurrence3" + suffix).c_str(), Recurrence3, block);
        benchmark::RegisterBenchmark(("floor/recurrence5" + suffix).c_str(), Recurrence5, block);
    }
    benchmark::RegisterBenchmark("control/pin-change-new-routine", PinChange, true);
    benchmark::RegisterBenchmark("control/pin-change-same-routine", PinChange, false);
    // Every "Max Delay(s)" entry at 384 kHz (4194304 samples down to 2048; 256 is the shortest at 48 kHz).
    for (std::int32_t buffer = 4194304; buffer >= 256; buffer /= buffer == 2048 ? 8 : 2) {
        const std::string line = "/buffer:" + std::to_string(buffer);
        benchmark::RegisterBenchmark(("control/switch-on" + line).c_str(), SwitchOn, buffer)->UseManualTime();
        // Each reset needs a pass over the whole line first, far longer than the reset: a fixed count.
        benchmark::RegisterBenchmark(("control/gate" + line).c_str(), Gate, buffer)->UseManualTime()->Iterations(20);
    }
    for (const std::int32_t buffer : {4096, 524288, 4194304}) {
        const std::string line = "/buffer:" + std::to_string(buffer);
        benchmark::RegisterBenchmark(("control/max-delay-change" + line).c_str(), MaxDelayChange, buffer)
            ->UseManualTime();
        benchmark::RegisterBenchmark(("control/switch-off" + line).c_str(), SwitchOff, buffer)->UseManualTime();
        benchmark::RegisterBenchmark(("control/first-pass" + line).c_str(), LinePass, buffer, true)
            ->UseManualTime();
        benchmark::RegisterBenchmark(("control/later-pass" + line).c_str(), LinePass, buffer, false)
            ->UseManualTime();
    }
}

}  // namespace
}  // namespace er_bench

int main(int argc, char** argv) {
    er_bench::RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
