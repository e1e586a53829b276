// The LV2 plug-in through its descriptor, as an LV2 host drives it, against the shipped module library driven by
// the substitute host the way er-render drives it: every pin announced at the first sample ("Active" last), a
// port change as a pin change at the first sample of the run, runs cut as the plug-in cuts them. The library is
// loaded from its file, so the two sides share no module state.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <emmintrin.h>

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "EffectCore.h"
#include "Instance.h"
#include "RoomCore.h"
#include "Host.h"
#include "Module.h"  // the linked-in module's allocator seam, for counting

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

// Every C++ allocation of the program, the module's and the adapter's included, counted while g_counting is set.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
std::atomic<bool> g_out_of_memory{false};  // every allocation fails while set
void* Counted(std::size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) ++g_allocations;
    if (g_out_of_memory.load(std::memory_order_relaxed)) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* p = Counted(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Counted(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Counted(size); }
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    if (p != nullptr && g_counting.load(std::memory_order_relaxed)) ++g_allocations;
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

// The delay line comes from the system's pages, not from operator new: the module's allocator seam counts it.
namespace {
BufferAllocator g_line_allocator = nullptr;
float* CountedLine(std::size_t samples) {
    if (g_counting.load(std::memory_order_relaxed)) ++g_allocations;
    return g_line_allocator(samples);
}
const bool g_lines_counted = [] {
    g_line_allocator = g_buffer_allocator;
    g_buffer_allocator = &CountedLine;
    return true;
}();
}  // namespace

namespace {

using er_plugin::PORT_COUNT;

enum Port : std::uint32_t {
    AUDIO_IN = 0,
    ACTIVE = 1,
    FEEDBACK = 2,
    DAMPING = 3,
    ROUTING = 4,
    OUT = 5,
    ACCURACY = 6,
    TIME_MODE = 7,
    TIME = 8,
    VOLUME = 9,
    MAX_DELAY = 10,
    VOLUME_MODE = 11,
    MONO = 12,
    GATE = 13,
    DELAY_SAMPLES = 14,
    DELAY_MS = 15,
    SMOOTH = 16,
    DELAY = 17,
    MIX = 18,
    AUDIO_IN_R = 19,
    OUT_R = 20
};
// The settings the comparisons start from, written out here: "Active" on, every other pin the module's own
// default in shown units, smoothing off (every change at once, as the module alone plays it).
constexpr float DEFAULTS[PORT_COUNT] = {0, 1, 0, 0, 1, 0, 0, 1, 100, 10, 8, 0, 0, 0, 0, 0, 0, 0, 100, 0, 0};
constexpr bool IS_CHOICE[PORT_COUNT] = {false, true, false, false, true, false, true, true,
                                        false, false, true, true, true, false};
// er-render's announcement order: every pin, "Active" last.
constexpr std::uint32_t ANNOUNCED[] = {2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 13, ACTIVE};

struct Change {
    int run;  // the step (of fourteen) at whose first run the port has the value
    Port port;
    float value;
    bool reaches_module = true;  // false: a value the plug-in ignores (no such entry, not finite)
    float module_value = NAN;    // what the module gets when it is not `value` (clamped to the port's range)
};

// The input: a deterministic noise burst followed by sparse clicks, so that taps and feedback are visible.
std::vector<float> Signal(std::size_t frames) {
    std::vector<float> signal(frames, 0.0f);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < frames; ++i) {
        state = state * 1664525u + 1013904223u;
        if (i < 300 || i % 997 == 0) signal[i] = static_cast<float>(static_cast<std::int32_t>(state)) / 2.2e9f;
    }
    return signal;
}

// ---- the LV2 side ----------------------------------------------------------------------------------------------

struct UridMap {
    std::vector<std::string> uris;
    LV2_URID_Map map{this, &Map};
    static LV2_URID Map(LV2_URID_Map_Handle handle, const char* uri) {
        auto* self = static_cast<UridMap*>(handle);
        for (std::size_t i = 0; i < self->uris.size(); ++i) {
            if (self->uris[i] == uri) return static_cast<LV2_URID>(i + 1);
        }
        self->uris.emplace_back(uri);
        return static_cast<LV2_URID>(self->uris.size());
    }
};

// A worker that runs the job at once (an offline host), later when told (a real-time host), or refuses.
enum class WorkerMode { Immediate,
                        Deferred,
                        Full };
constexpr const char* WORKER_MODES[] = {"Immediate", "Deferred", "Full"};

struct Worker {
    WorkerMode mode = WorkerMode::Deferred;
    LV2_Handle instance = nullptr;
    std::uint32_t descriptor = 0;  // the plug-in whose worker interface runs the jobs
    // Fixed room, so that scheduling allocates nothing in the run it is called from.
    struct Job {
        std::uint32_t size;
        char bytes[64];
    };
    Job queue[8] = {};
    int queued = 0;
    LV2_Worker_Schedule schedule{this, &Schedule};

    static LV2_Worker_Status Schedule(LV2_Worker_Schedule_Handle handle, uint32_t size, const void* data) {
        auto* self = static_cast<Worker*>(handle);
        if (self->mode == WorkerMode::Full || self->queued == 8 || size > sizeof(Job::bytes)) {
            return LV2_WORKER_ERR_NO_SPACE;
        }
        Job& job = self->queue[self->queued++];
        job.size = size;
        std::memcpy(job.bytes, data, size);
        if (self->mode == WorkerMode::Immediate) self->Drain();
        return LV2_WORKER_SUCCESS;
    }
    // Runs every queued job, as the host's worker thread would; what the worker allocates is not run()'s.
    void Drain() {
        const bool counting = g_counting.exchange(false);
        const auto* face = static_cast<const LV2_Worker_Interface*>(
            lv2_descriptor(descriptor)->extension_data(LV2_WORKER__interface));
        for (int i = 0; i < queued; ++i) {
            EXPECT_EQ(face->work(instance, nullptr, nullptr, queue[i].size, queue[i].bytes), LV2_WORKER_SUCCESS);
        }
        queued = 0;
        g_counting = counting;
    }
};

struct PluginOptions {
    double rate = 44100.0;
    int max_block = 0;  // 0: no options feature
    bool worker = true;
    // lv2file ends its features with an entry whose URI is null or stack garbage, before the terminating null.
    const char* odd_entry_uri = nullptr;
    bool odd_entry = false;
    std::uint32_t variant = 0;  // 0 mono, 1 stereo
};

class Plugin {
public:
    explicit Plugin(const PluginOptions& options = {}) : m_descriptor(lv2_descriptor(options.variant)) {
        std::memcpy(controls, DEFAULTS, sizeof controls);
        m_max_block = options.max_block;
        m_options[0] = {LV2_OPTIONS_INSTANCE, 0, m_urids.map.map(m_urids.map.handle, LV2_BUF_SIZE__maxBlockLength),
                        sizeof(std::int32_t), m_urids.map.map(m_urids.map.handle, LV2_ATOM__Int), &m_max_block};
        m_options[1] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
        m_features.push_back(&m_map_feature);
        if (options.max_block > 0) m_features.push_back(&m_options_feature);
        if (options.worker) m_features.push_back(&m_worker_feature);
        m_odd_feature.URI = options.odd_entry_uri;
        if (options.odd_entry) m_features.push_back(&m_odd_feature);
        m_features.push_back(nullptr);
        handle = m_descriptor->instantiate(m_descriptor, options.rate, "", m_features.data());
        worker.instance = handle;
        if (handle == nullptr) return;
        for (std::uint32_t port = 0; port < PORT_COUNT; ++port) Connect(port, &controls[port]);
    }
    ~Plugin() {
        if (handle != nullptr) m_descriptor->cleanup(handle);
    }
    void Connect(std::uint32_t port, void* data) { m_descriptor->connect_port(handle, port, data); }
    void Activate() { m_descriptor->activate(handle); }
    void Deactivate() { m_descriptor->deactivate(handle); }
    // Runs `frames` frames of `in` into `out`; both connected for this run only.
    void Run(const float* in, float* out, std::uint32_t frames) {
        Connect(AUDIO_IN, const_cast<float*>(in));
        Connect(OUT, out);
        m_descriptor->run(handle, frames);
    }
    std::uint32_t Clock() const { return static_cast<const er_lv2::Instance<er_plugin::EffectCore>*>(handle)->core->SampleClock(); }

    float controls[PORT_COUNT];
    LV2_Handle handle = nullptr;
    Worker worker;

private:
    const LV2_Descriptor* m_descriptor;
    UridMap m_urids;
    std::int32_t m_max_block = 0;
    LV2_Options_Option m_options[2];
    LV2_Feature m_map_feature{LV2_URID__map, &m_urids.map};
    LV2_Feature m_options_feature{LV2_OPTIONS__options, m_options};
    LV2_Feature m_worker_feature{LV2_WORKER__schedule, &worker.schedule};
    LV2_Feature m_odd_feature{nullptr, nullptr};
    std::vector<const LV2_Feature*> m_features;
};

// ---- the reference: the shipped library under the substitute host -----------------------------------------------

er_host::Library& ShippedLibrary() {
    static std::string error;
    static std::unique_ptr<er_host::Library> library = er_host::Library::Load(er_host::Library::DefaultModulePath(),
                                                                              error);
    if (!library) ADD_FAILURE() << error;
    return *library;
}

class Reference {
public:
    Reference(float rate, std::int32_t block, const float (&controls)[PORT_COUNT]) {
        er_host::InstanceOptions options;
        options.sample_rate = rate;
        options.block_size = block;
        options.record_calls = false;
        m_host = std::make_unique<er_host::Instance>(ShippedLibrary(), options);
        m_host->PostStatus(AUDIO_IN, PS_STREAMING);
        for (const std::uint32_t port : ANNOUNCED) Post(static_cast<Port>(port), controls[port]);
    }
    // A pin change at the first sample of the next block.
    void Post(Port port, float value) {
        if (IS_CHOICE[port]) {
            m_host->PostChoice(port, static_cast<std::int16_t>(port == ACTIVE ? (value > 0.0f) : std::lround(value)));
            return;
        }
        const float pin = static_cast<float>(static_cast<double>(value) / 10.0);
        if (port == GATE && pin > 0.0f) m_host->Dispatch(OP_RESUME);
        m_host->PostFloat(port, pin);
    }
    // Blocks of at most `chunk` samples, as the plug-in cuts a run.
    void Run(const float* in, float* out, std::int32_t frames, std::int32_t chunk) {
        for (std::int32_t done = 0; done < frames;) {
            const std::int32_t count = std::min(chunk, frames - done);
            std::copy(in + done, in + done + count, m_host->Buffer(AUDIO_IN));
            m_host->Process(count);
            std::copy(m_host->Buffer(OUT), m_host->Buffer(OUT) + count, out + done);
            done += count;
        }
        EXPECT_TRUE(m_host->Errors().empty());
    }

private:
    std::unique_ptr<er_host::Instance> m_host;
};

// The first sample where two renders differ, for a readable failure.
::testing::AssertionResult SameSamples(const std::vector<float>& ours, const std::vector<float>& theirs) {
    if (ours.size() != theirs.size()) return ::testing::AssertionFailure() << "lengths differ";
    for (std::size_t i = 0; i < ours.size(); ++i) {
        if (std::memcmp(&ours[i], &theirs[i], sizeof(float)) != 0) {
            return ::testing::AssertionFailure() << "first difference at sample " << i << ": plug-in " << ours[i]
                                                 << ", module " << theirs[i];
        }
    }
    return ::testing::AssertionSuccess();
}

bool Silent(const float* samples, std::size_t count) {
    return std::all_of(samples, samples + count, [](float x) { return x == 0.0f; });
}

// ---- renders through the plug-in against the module: settings, changes, run lengths ------------------------------

struct Render {
    const char* name;
    std::vector<Change> settings;  // run 0: the values at activation
    std::vector<Change> changes;   // later runs
};

const Render RENDERS[] = {
    {"damped_input_tap", {{0, TIME, 25}, {0, FEEDBACK, 4}, {0, DAMPING, 3}}, {{3, TIME, 12.5f}, {5, FEEDBACK, -6}, {7, VOLUME, 7.5f}, {9, ROUTING, 0}}},
    {"plain_then_output_loop", {{0, TIME, 25}, {0, ROUTING, 0}}, {{2, FEEDBACK, 5}, {4, ROUTING, 2}, {6, VOLUME_MODE, 1}, {8, ROUTING, 3}, {8, DAMPING, 6}}},
    {"fractions", {{0, TIME, 12.375f}, {0, ACCURACY, 1}, {0, FEEDBACK, 3}}, {{3, TIME, 7.25f}, {5, ACCURACY, 2}, {6, TIME, 3.125f}, {8, TIME_MODE, 2}, {8, TIME, 99.5f}}},
    // Values that select no entry never reach the module; the gate clears the line once however long it is held.
    {"odd_values_and_gates", {{0, TIME, 25}, {0, FEEDBACK, 6}}, {{2, TIME_MODE, 2.6f, false}, {3, ROUTING, NAN, false}, {4, MAX_DELAY, 12, false}, {5, ACCURACY, 1.2f}, {6, GATE, 10}, {9, GATE, 0}, {10, MONO, 1}, {11, GATE, 10}, {12, VOLUME, NAN, false}}},
    // A value that is not finite is ignored (the module keeps the last finite one); a float beyond its port's
    // range is clamped to it. Damping NaN in "Input+Tap1", feedback infinite, volume NaN in "Output".
    {"non_finite_and_out_of_range", {{0, TIME, 25}, {0, FEEDBACK, 4}, {0, DAMPING, 3}, {0, MAX_DELAY, 6}}, {{2, DAMPING, NAN, false}, {3, FEEDBACK, INFINITY, false}, {4, ROUTING, 2}, {5, VOLUME, NAN, false}, {6, FEEDBACK, 50, true, 10}, {7, VOLUME, -3, true, 0}, {8, VOLUME, 12, true, 10}, {9, TIME, 150, true}, {10, DAMPING, -INFINITY, false}, {11, GATE, INFINITY, false}, {11, FEEDBACK, -20, true, -10}, {12, DAMPING, 11, true, 10}, {13, VOLUME, -INFINITY, false}}},
};

// An address no process maps: not canonical on x86-64; the top page on i386, which the kernel keeps.
const char* const UNMAPPED = reinterpret_cast<const char*>(sizeof(void*) == 8 ? 0x5f00455441564952u : 0xFFFFF000u);

struct Split {
    const char* name;
    std::uint32_t run;       // frames per run
    int max_block;           // announced through options; 0: none (the adapter's default)
    std::int32_t chunk;      // the blocks the module gets
    bool odd_entry = false;  // the features hold an entry with this URI, as lv2file's do
    const char* odd_entry_uri = nullptr;
    bool host_buffers = false;        // every run in the same two buffers, as a host's own cycle gives them
    bool scattered_controls = false;  // each control port in a cell of its own (a host's struct per port), not one array
};
const Split SPLITS[] = {
    {"runs_of_1", 1, 0, 1},
    {"runs_of_7", 7, 256, 7},
    {"runs_of_256", 256, 256, 256},
    {"runs_of_600_cut_at_256", 600, 256, 256},
    {"runs_of_5000_default_block", 5000, 0, er_lv2::DEFAULT_MAX_BLOCK},
    {"runs_of_300_features_with_a_null_uri", 300, 256, 256, true, nullptr},
    {"runs_of_300_features_with_an_unmapped_uri", 300, 128, 128, true, UNMAPPED},
    {"runs_of_1_in_the_hosts_buffers", 1, 0, 1, false, nullptr, true},
    {"runs_of_64_in_the_hosts_buffers", 64, 256, 64, false, nullptr, true},
    {"runs_of_256_in_the_hosts_buffers", 256, 256, 256, false, nullptr, true},
    {"runs_of_64_in_the_hosts_buffers_controls_scattered", 64, 256, 64, false, nullptr, true, true},
};

class PluginRender : public ::testing::TestWithParam<std::tuple<Render, Split>> {};

TEST_P(PluginRender, EverySampleIsTheModules) {
    const auto& [render, split] = GetParam();
    // Fourteen steps over at least 6000 frames, so that even runs of one frame hear the echoes change.
    constexpr int STEPS = 14;
    const int runs = std::max<int>(STEPS, static_cast<int>((6000 + split.run - 1) / split.run) / STEPS * STEPS);
    // As lv2file: no worker, so the search for one meets the odd entry.
    Plugin plugin({44100.0, split.max_block, !split.odd_entry, split.odd_entry_uri, split.odd_entry});
    ASSERT_NE(plugin.handle, nullptr);
    for (const Change& c : render.settings) plugin.controls[c.port] = c.value;
    plugin.Activate();
    Reference reference(44100.0f, split.chunk, plugin.controls);

    const std::size_t frames = static_cast<std::size_t>(split.run) * runs;
    const std::vector<float> in = Signal(frames);
    std::vector<float> ours(frames), theirs(frames), host_in(split.run), host_out(split.run);
    constexpr std::size_t CELL = 3;
    std::vector<float> cells(PORT_COUNT * CELL);
    for (int run = 0; run < runs; ++run) {
        for (const Change& c : render.changes) {
            if (c.run * (runs / STEPS) != run) continue;
            plugin.controls[c.port] = c.value;
            if (c.reaches_module) reference.Post(c.port, std::isnan(c.module_value) ? c.value : c.module_value);
        }
        const std::size_t at = static_cast<std::size_t>(run) * split.run;
        for (std::uint32_t port = ACTIVE; split.scattered_controls && port <= SMOOTH; ++port) {
            if (port == OUT) continue;
            cells[port * CELL] = plugin.controls[port];
            plugin.Connect(port, &cells[port * CELL]);
        }
        if (split.host_buffers) {
            std::copy_n(in.data() + at, split.run, host_in.data());
            plugin.Run(host_in.data(), host_out.data(), split.run);
            std::copy_n(host_out.data(), split.run, ours.data() + at);
        } else {
            plugin.Run(in.data() + at, ours.data() + at, split.run);
        }
        reference.Run(in.data() + at, theirs.data() + at, static_cast<std::int32_t>(split.run), split.chunk);
    }
    EXPECT_TRUE(SameSamples(ours, theirs));
    EXPECT_FALSE(Silent(ours.data(), ours.size()));
}

INSTANTIATE_TEST_SUITE_P(, PluginRender, ::testing::Combine(::testing::ValuesIn(RENDERS), ::testing::ValuesIn(SPLITS)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

// At each rate the module sizes its line and scales its time for that rate.
class PluginRate : public ::testing::TestWithParam<double> {};

TEST_P(PluginRate, EverySampleIsTheModules) {
    const double rate = GetParam();
    Plugin plugin({rate, 64, true});
    ASSERT_NE(plugin.handle, nullptr);
    plugin.controls[TIME] = 3.5f;  // beyond the smallest line at 384 kHz with the Max Delay below
    plugin.controls[FEEDBACK] = 5;
    plugin.controls[DAMPING] = 2;
    plugin.controls[MAX_DELAY] = 11;
    plugin.Activate();
    Reference reference(static_cast<float>(rate), 64, plugin.controls);
    const std::vector<float> in = Signal(4000);
    std::vector<float> ours(in.size()), theirs(in.size());
    plugin.Run(in.data(), ours.data(), 4000);
    reference.Run(in.data(), theirs.data(), 4000, 64);
    EXPECT_TRUE(SameSamples(ours, theirs));
    EXPECT_FALSE(Silent(ours.data(), ours.size()));
}

INSTANTIATE_TEST_SUITE_P(, PluginRate, ::testing::Values(8000.0, 44100.0, 48000.0, 48001.0, 96000.0, 96001.0, 192000.0, 192001.0, 384000.0));

// ---- the host's part: unconnected ports, in-place buffers, empty runs, activation ------------------------------

TEST(PluginHost, UnconnectedEmptyInPlaceAndMovedBuffersGiveTheModulesSamples) {
    Plugin plugin;
    ASSERT_NE(plugin.handle, nullptr);
    plugin.controls[TIME] = 2;
    plugin.controls[FEEDBACK] = 5;
    for (const Port port : {DAMPING, ROUTING, ACCURACY, VOLUME, VOLUME_MODE, GATE}) plugin.Connect(port, nullptr);
    plugin.Activate();
    Reference reference(44100.0f, er_lv2::DEFAULT_MAX_BLOCK, plugin.controls);  // unconnected: the defaults

    const std::vector<float> in = Signal(1100);
    std::vector<float> ours(in.size()), theirs(in.size()), zeros(in.size(), 0.0f);
    plugin.Run(nullptr, ours.data(), 100);  // no input: silence goes in
    reference.Run(zeros.data(), theirs.data(), 100, 100);
    plugin.Run(in.data() + 100, nullptr, 100);  // no output: the module still runs
    reference.Run(in.data() + 100, theirs.data() + 100, 100, 100);
    std::copy(theirs.begin() + 100, theirs.begin() + 200, ours.begin() + 100);
    plugin.Run(in.data() + 200, ours.data() + 200, 0);  // an empty run changes nothing, not even a pin
    std::copy(in.begin() + 200, in.begin() + 300, ours.begin() + 200);
    plugin.Run(ours.data() + 200, ours.data() + 200, 100);  // in place
    reference.Run(in.data() + 200, theirs.data() + 200, 100, 100);
    std::vector<float> moved_in(in.begin() + 300, in.end()), moved_out(500);
    plugin.Run(moved_in.data(), moved_out.data(), 500);  // other buffers, connected between runs
    reference.Run(in.data() + 300, theirs.data() + 300, 500, 500);
    std::copy(moved_out.begin(), moved_out.end(), ours.begin() + 300);
    // Buffers a host lays out close together: apart for a run of 100, overlapping in the run of 200 after it.
    std::vector<float> near(300);
    for (const auto& [from, frames] : {std::pair{800, 100}, {900, 200}}) {
        std::copy_n(in.begin() + from, frames, near.begin());
        plugin.Run(near.data(), near.data() + 100, frames);
        reference.Run(in.data() + from, theirs.data() + from, frames, frames);
        std::copy_n(near.begin() + 100, frames, ours.begin() + from);
    }
    EXPECT_TRUE(SameSamples(ours, theirs));
    EXPECT_FALSE(Silent(ours.data() + 300, 800));
    EXPECT_EQ(plugin.Clock(), 1100u);
}

TEST(PluginHost, ActivateAfterDeactivateStartsAFreshModule) {
    Plugin plugin({44100.0, 128, true});
    ASSERT_NE(plugin.handle, nullptr);
    plugin.controls[TIME] = 5;
    plugin.controls[FEEDBACK] = 7;
    const std::vector<float> in = Signal(1000);
    std::vector<float> ours(in.size()), theirs(in.size()), host_in(100), host_out(100);
    for (int cycle = 0; cycle < 3; ++cycle) {
        plugin.Activate();
        // Runs of 100 in the host's same two buffers, across the activations too.
        for (std::size_t at = 0; at < in.size(); at += 100) {
            std::copy_n(in.data() + at, 100, host_in.data());
            plugin.Run(host_in.data(), host_out.data(), 100);
            std::copy_n(host_out.data(), 100, ours.data() + at);
        }
        plugin.Deactivate();
        Reference fresh(44100.0f, 128, plugin.controls);
        fresh.Run(in.data(), theirs.data(), 1000, 100);
        EXPECT_TRUE(SameSamples(ours, theirs)) << "cycle " << cycle;
        if (cycle == 1) plugin.controls[TIME] += 1.0f;  // cycles 0 and 1 alike
    }
    plugin.Run(host_in.data(), host_out.data(), 100);  // a host that runs an inactive plug-in gets silence
    EXPECT_TRUE(Silent(host_out.data(), 100));
}

TEST(PluginHost, RefusesRatesItCannotRunAt) {
    for (const double rate : {0.0, -48000.0, std::nan(""), double{INFINITY}, 1.0e9}) {
        Plugin plugin({rate, 0, true});
        EXPECT_EQ(plugin.handle, nullptr) << rate;
    }
}

// Settings whose every sample depends on how the arithmetic rounds: an interpolated tap, fed back through damping.
void SetInterpolatedDampedLoop(float* controls) {
    controls[TIME] = 12.375f;
    controls[ACCURACY] = 1;
    controls[FEEDBACK] = 4;
    controls[DAMPING] = 3;
}

// The module runs under its own floating-point settings and hands the host's back, whatever they were.
TEST(PluginHost, HostFloatingPointSettingsAreKept) {
    Plugin plugin;
    ASSERT_NE(plugin.handle, nullptr);
    SetInterpolatedDampedLoop(plugin.controls);
    Reference reference(44100.0f, er_lv2::DEFAULT_MAX_BLOCK, plugin.controls);
    reference.Post(TIME, 7.3f);  // its pin value depends on the rounding of shown / 10
    const std::vector<float> in = Signal(2048);
    std::vector<float> ours(in.size()), theirs(in.size());
    const unsigned saved = _mm_getcsr();
    const unsigned host = (saved & ~0x6000u) | 0x4000u | 0x8040u;  // round up, flush-to-zero, denormals-are-zero
    _mm_setcsr(host);
    plugin.Activate();
    const unsigned after_activate = _mm_getcsr();
    plugin.controls[TIME] = 7.3f;
    plugin.Run(in.data(), ours.data(), 2048);
    const unsigned after_run = _mm_getcsr();
    _mm_setcsr(saved);
    reference.Run(in.data(), theirs.data(), 2048, 2048);
    constexpr unsigned SETTINGS = ~0x3Fu;  // the sticky exception flags are the host's to clear
    EXPECT_EQ(after_activate & SETTINGS, host & SETTINGS);
    EXPECT_EQ(after_run & SETTINGS, host & SETTINGS);
    EXPECT_TRUE(SameSamples(ours, theirs));
}

// A run that repeats the one before it (the same buffers, no control changed) skips the look at the thread's
// settings only on the thread that was looked at: the host moves the plug-in to a thread of its own settings.
TEST(PluginHost, AnotherThreadsFloatingPointSettingsAreLookedAt) {
    Plugin plugin;
    ASSERT_NE(plugin.handle, nullptr);
    SetInterpolatedDampedLoop(plugin.controls);
    plugin.Activate();
    Reference reference(44100.0f, 256, plugin.controls);
    const std::vector<float> in = Signal(256 * 8);
    std::vector<float> ours(in.size()), theirs(in.size()), host_in(256), host_out(256);
    reference.Run(in.data(), theirs.data(), static_cast<std::int32_t>(in.size()), 256);
    const auto run = [&](std::size_t block) {
        std::copy_n(in.data() + block * 256, 256, host_in.data());
        plugin.Run(host_in.data(), host_out.data(), 256);
        std::copy_n(host_out.data(), 256, ours.data() + block * 256);
    };
    for (std::size_t block = 0; block < 4; ++block) run(block);           // under the module's own settings
    const unsigned host = (_mm_getcsr() & ~0x6000u) | 0x4000u | 0x8040u;  // round up, FTZ, DAZ
    unsigned after = 0;
    std::thread other([&] {
        _mm_setcsr(host);
        for (std::size_t block = 4; block < 8; ++block) run(block);
        after = _mm_getcsr();
    });
    other.join();
    EXPECT_EQ(after & ~0x3Fu, host & ~0x3Fu);
    EXPECT_TRUE(SameSamples(ours, theirs));
}

// ---- allocation: "Active" and "Max Delay(s)" through the worker ---------------------------------------------------

// A change that replaces the line: with a worker that runs at once the module goes on at the same sample with the
// new line; with one that runs later the output is silent and the module still until it is done; with none the
// change waits for the next activation. Afterwards the plug-in sounds as a fresh module with the new setting.
class LineChange : public ::testing::TestWithParam<WorkerMode> {};

TEST_P(LineChange, MaxDelayAndActiveChangesGoThroughTheWorker) {
    const WorkerMode mode = GetParam();
    Plugin plugin({44100.0, 256, true});
    ASSERT_NE(plugin.handle, nullptr);
    plugin.worker.mode = mode;
    plugin.controls[TIME] = 5;
    plugin.controls[FEEDBACK] = 6;
    plugin.Activate();
    const std::vector<float> in = Signal(256 * 8);
    std::vector<float> ours(in.size()), theirs(in.size());
    plugin.Run(in.data(), ours.data(), 256);

    plugin.controls[MAX_DELAY] = 11;
    g_allocations = 0;
    g_counting = true;
    plugin.Run(in.data() + 256, ours.data() + 256, 256);
    plugin.Run(in.data() + 512, ours.data() + 512, 256);
    g_counting = false;
    EXPECT_EQ(g_allocations, 0);
    if (mode == WorkerMode::Immediate) {
        Reference fresh(44100.0f, 256, plugin.controls);
        fresh.Run(in.data() + 256, theirs.data() + 256, 512, 256);
        EXPECT_TRUE(SameSamples({ours.begin() + 256, ours.begin() + 768}, {theirs.begin() + 256, theirs.begin() + 768}));
        return;
    }
    if (mode == WorkerMode::Deferred) {
        EXPECT_TRUE(Silent(ours.data() + 256, 512));
        EXPECT_EQ(plugin.Clock(), 256u);  // the module was not called
        plugin.controls[MAX_DELAY] = 9;   // while the worker has the module, a run sends nothing, not even work
        plugin.Run(in.data() + 512, ours.data() + 512, 256);
        EXPECT_EQ(plugin.worker.queued, 1);
        plugin.controls[MAX_DELAY] = 11;
        std::thread([&] {
            g_allocations = 0;
            plugin.worker.Drain();
        }).join();
        Reference fresh(44100.0f, 256, plugin.controls);
        plugin.Run(in.data() + 768, ours.data() + 768, 512);
        fresh.Run(in.data() + 768, theirs.data() + 768, 512, 256);
        EXPECT_TRUE(SameSamples({ours.begin() + 768, ours.begin() + 1280}, {theirs.begin() + 768, theirs.begin() + 1280}));
        // "Active" off and on again: silence, then a fresh module once more.
        // Switched off the plug-in passes its input unchanged (LV2's bypass), before and after the worker; the
        // switch comes after a run in the same buffers, as a host's cycle gives them, and the port has a cell of
        // its own, as in a host that keeps a struct per port.
        float active = 1;
        plugin.Connect(ACTIVE, &active);
        plugin.Run(in.data(), ours.data(), 256);
        active = plugin.controls[ACTIVE] = 0;
        plugin.Run(in.data(), ours.data(), 256);
        plugin.worker.Drain();
        plugin.Run(in.data() + 256, ours.data() + 256, 256);
        EXPECT_TRUE(SameSamples({ours.begin(), ours.begin() + 512}, {in.begin(), in.begin() + 512}));
        active = plugin.controls[ACTIVE] = 1;
        plugin.Run(in.data(), ours.data(), 256);
        plugin.worker.Drain();
        Reference again(44100.0f, 256, plugin.controls);
        plugin.Run(in.data(), ours.data(), 512);
        again.Run(in.data(), theirs.data(), 512, 256);
        EXPECT_TRUE(SameSamples({ours.begin(), ours.begin() + 512}, {theirs.begin(), theirs.begin() + 512}));
        return;
    }
    // No room in the worker's queue: the module goes on with the line it has, and the next run tries again.
    float before[PORT_COUNT];
    std::memcpy(before, plugin.controls, sizeof before);
    before[MAX_DELAY] = 8;
    Reference unchanged(44100.0f, 256, before);
    unchanged.Run(in.data(), theirs.data(), 768, 256);
    EXPECT_TRUE(SameSamples({ours.begin(), ours.begin() + 768}, {theirs.begin(), theirs.begin() + 768}));
    plugin.worker.mode = WorkerMode::Immediate;
    plugin.Run(in.data() + 768, ours.data() + 768, 256);
    Reference fresh(44100.0f, 256, plugin.controls);
    fresh.Run(in.data() + 768, theirs.data() + 768, 256, 256);
    EXPECT_TRUE(SameSamples({ours.begin() + 768, ours.begin() + 1024}, {theirs.begin() + 768, theirs.begin() + 1024}));
}

INSTANTIATE_TEST_SUITE_P(, LineChange, ::testing::Values(WorkerMode::Immediate, WorkerMode::Deferred, WorkerMode::Full),
                         [](const auto& info) { return std::string(WORKER_MODES[static_cast<int>(info.param)]); });

TEST(LineChangeWithoutWorker, TheChangeWaitsForTheNextActivation) {
    Plugin plugin({44100.0, 256, false});
    ASSERT_NE(plugin.handle, nullptr);
    plugin.controls[TIME] = 5;
    plugin.controls[FEEDBACK] = 6;
    plugin.Activate();
    Reference unchanged(44100.0f, 256, plugin.controls);
    const std::vector<float> in = Signal(1024);
    std::vector<float> ours(in.size()), theirs(in.size());
    plugin.Run(in.data(), ours.data(), 1);  // after the first run
    plugin.controls[MAX_DELAY] = 11;
    plugin.controls[VOLUME] = 6;  // a change beside it goes through at once
    unchanged.Run(in.data(), theirs.data(), 1, 256);
    unchanged.Post(VOLUME, 6);
    g_allocations = 0;
    g_counting = true;
    plugin.Run(in.data() + 1, ours.data() + 1, 1023);
    g_counting = false;
    EXPECT_EQ(g_allocations, 0);
    unchanged.Run(in.data() + 1, theirs.data() + 1, 1023, 256);
    EXPECT_TRUE(SameSamples(ours, theirs));

    plugin.Deactivate();
    plugin.Activate();
    Reference fresh(44100.0f, 256, plugin.controls);
    plugin.Run(in.data(), ours.data(), 1024);
    fresh.Run(in.data(), theirs.data(), 1024, 256);
    EXPECT_TRUE(SameSamples(ours, theirs));
}

// What a host sets between activate() and its first run() (lv2file's -p values) is where it starts: every sample
// is a fresh module's with those values from the first, smoothing on or off, whatever worker the host has or
// lacks; a value the plug-in ignores leaves the one at activation, one beyond its range is clamped. Only a host
// without a worker that changes the line there makes the first run allocate.
struct Starting {
    const char* name;
    std::vector<Change> changes;  // after activate(), before the first run (`run` unused)
    bool new_line = false;        // the change replaces the delay line
};
void PrintTo(const Starting& row, std::ostream* out) { *out << row.name; }
const Starting STARTING[] = {
    {"time", {{0, TIME, 12.5f}}},
    {"time_feedback_damping", {{0, TIME, 25}, {0, FEEDBACK, 4}, {0, DAMPING, 3}}},
    {"fraction_to_full", {{0, ACCURACY, 2}, {0, TIME, 7.3f}}},
    {"volume", {{0, VOLUME, 2.5f}}},
    {"time_mode", {{0, TIME_MODE, 2}, {0, TIME, 37}}},
    {"smoothing_switched_on_there", {{0, SMOOTH, 1}, {0, TIME, 12.5f}, {0, VOLUME, 5}}},
    {"not_finite_and_clamped", {{0, TIME, NAN, false}, {0, FEEDBACK, 50, true, 10}, {0, VOLUME, -INFINITY, false}}},
    {"max_delay", {{0, MAX_DELAY, 10}, {0, TIME, 10}, {0, FEEDBACK, 3}}, true},
    {"switched_off", {{0, ACTIVE, 0}}, true},
};
enum class StartingWorker { None,
                            Immediate,
                            Deferred };
constexpr const char* STARTING_WORKERS[] = {"NoWorker", "ImmediateWorker", "DeferredWorker"};
class StartingValues : public ::testing::TestWithParam<std::tuple<Starting, StartingWorker>> {};

TEST_P(StartingValues, AreHeardFromTheFirstSample) {
    const auto& [row, worker] = GetParam();
    Plugin plugin({44100.0, 256, worker != StartingWorker::None});
    ASSERT_NE(plugin.handle, nullptr);
    plugin.worker.mode = worker == StartingWorker::Immediate ? WorkerMode::Immediate : WorkerMode::Deferred;
    plugin.controls[SMOOTH] = 1;
    plugin.controls[TIME] = 5;
    plugin.controls[FEEDBACK] = 6;
    plugin.Activate();
    float expected[PORT_COUNT];
    std::memcpy(expected, plugin.controls, sizeof expected);
    for (const Change& c : row.changes) {
        plugin.controls[c.port] = c.value;
        if (c.reaches_module) expected[c.port] = std::isnan(c.module_value) ? c.value : c.module_value;
    }
    const std::vector<float> in = Signal(4096);
    std::vector<float> ours(in.size()), theirs(in.size());
    g_allocations = 0;
    g_counting = true;
    plugin.Run(in.data(), ours.data(), 1024);
    g_counting = false;
    EXPECT_EQ(g_allocations > 0, row.new_line && worker == StartingWorker::None);
    plugin.Run(in.data() + 1024, ours.data() + 1024, 3072);
    if (expected[ACTIVE] == 0.0f) {
        EXPECT_TRUE(SameSamples(ours, in)) << "switched off, the input passes";
        return;
    }
    Reference fresh(44100.0f, 256, expected);
    fresh.Run(in.data(), theirs.data(), 4096, 256);
    EXPECT_TRUE(SameSamples(ours, theirs));
    EXPECT_FALSE(Silent(ours.data(), ours.size()));
}

// Every row with every worker, except a new line with a worker that runs later: the modules are silent until
// it is done (LineChange covers that).
std::vector<std::tuple<Starting, StartingWorker>> StartingCases() {
    std::vector<std::tuple<Starting, StartingWorker>> cases;
    for (const Starting& row : STARTING) {
        for (const StartingWorker worker : {StartingWorker::None, StartingWorker::Immediate, StartingWorker::Deferred}) {
            if (!(row.new_line && worker == StartingWorker::Deferred)) cases.emplace_back(row, worker);
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(, StartingValues, ::testing::ValuesIn(StartingCases()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    STARTING_WORKERS[static_cast<int>(std::get<1>(info.param))];
                         });

// The fresh modules of a first run (a host without a worker asking for another line) cannot be had: that run and
// the next are silent, and the next activation sounds again.
TEST(StartingValuesOutOfMemory, LeaveThePlugInSilentUntilTheNextActivation) {
    Plugin plugin({44100.0, 256, false});
    ASSERT_NE(plugin.handle, nullptr);
    plugin.controls[TIME] = 5;
    plugin.Activate();
    plugin.controls[MAX_DELAY] = 10;
    const std::vector<float> in = Signal(512);
    std::vector<float> out(in.size(), 1.0f);
    g_out_of_memory = true;
    plugin.Run(in.data(), out.data(), 256);
    g_out_of_memory = false;
    plugin.Run(in.data() + 256, out.data() + 256, 256);
    EXPECT_TRUE(Silent(out.data(), out.size()));
    plugin.Deactivate();
    plugin.Activate();
    plugin.Run(in.data(), out.data(), 512);
    EXPECT_FALSE(Silent(out.data(), out.size()));
}

TEST(PluginHost, RunNeverAllocates) {
    Plugin plugin({44100.0, 64, true});
    ASSERT_NE(plugin.handle, nullptr);
    plugin.worker.mode = WorkerMode::Deferred;
    plugin.Activate();
    const std::vector<float> in = Signal(1000);
    std::vector<float> out(in.size());
    g_allocations = 0;
    for (int run = 0; run < 40; ++run) {
        // Every port changes now and then, the line-replacing ones included; the worker runs between runs.
        plugin.controls[TIME] = static_cast<float>(1 + run % 7);
        plugin.controls[ACCURACY] = static_cast<float>(run % 3);
        plugin.controls[ROUTING] = static_cast<float>(run % 4);
        plugin.controls[FEEDBACK] = static_cast<float>(run % 5) - 2.0f;
        plugin.controls[GATE] = run % 6 == 0 ? 10.0f : 0.0f;
        plugin.controls[MAX_DELAY] = static_cast<float>(run % 12);
        plugin.controls[ACTIVE] = run % 9 == 8 ? 0.0f : 1.0f;
        g_counting = true;
        plugin.Run(in.data(), out.data(), 1000);
        g_counting = false;
        plugin.worker.Drain();
    }
    EXPECT_EQ(g_allocations.load(), 0);
}

// ---- instances at different rates in one process ------------------------------------------------------------------

// The module keeps its rate for the whole process (each open sets it). Every activation opens the instance's module
// at its own rate, so an instance is right from its activation on; a "Time Mode" change in a run reads the rate of
// the most recent open, another instance's if that one opened since.
TEST(MixedRates, EachActivationTakesItsOwnRateATimeModeChangeInARunTakesTheLatest) {
    Plugin a({48000.0, 256, true}), b({96000.0, 256, true});
    ASSERT_NE(a.handle, nullptr);
    ASSERT_NE(b.handle, nullptr);
    for (Plugin* plugin : {&a, &b}) {
        plugin->controls[TIME] = 2;
        plugin->controls[ROUTING] = 0;
    }
    a.Activate();
    b.Activate();
    const std::vector<float> impulse = [] {
        std::vector<float> x(1024, 0.0f);
        x[0] = 1.0f;
        return x;
    }();
    std::vector<float> out(1024);
    auto first_echo = [&](Plugin& plugin) {
        plugin.Run(impulse.data(), out.data(), 1024);
        return std::find_if(out.begin(), out.end(), [](float y) { return y != 0.0f; }) - out.begin();
    };
    EXPECT_EQ(first_echo(a), 96);   // 2 ms at 48 kHz
    EXPECT_EQ(first_echo(b), 192);  // 2 ms at 96 kHz
    a.controls[TIME_MODE] = 2;
    first_echo(a);
    a.controls[TIME_MODE] = 1;
    EXPECT_EQ(first_echo(a), 192);  // b opened last: 2 ms at its rate
    a.Deactivate();
    a.Activate();
    EXPECT_EQ(first_echo(a), 96);
}

// ---- what the plug-in adds: defaults, the delay played, stereo, smoothing ----------------------------------------

std::vector<float> Impulse(std::size_t frames) {
    std::vector<float> x(frames, 0.0f);
    x[0] = 1.0f;
    return x;
}

// Left unconnected, every control port reads the plug-in's default: the echo comes after the 100 ms the
// controls show, at every rate, and the reading ports say so.
struct DefaultDelay {
    double rate;
    std::size_t samples;  // 100 ms
};
class PluginDefaults : public ::testing::TestWithParam<DefaultDelay> {};

TEST_P(PluginDefaults, PlayTheDelayTheControlsShow) {
    const DefaultDelay expected = GetParam();
    Plugin plugin({expected.rate, 0, true});
    ASSERT_NE(plugin.handle, nullptr);
    float delay_samples = -1.0f, delay_ms = -1.0f;
    for (std::uint32_t port = 0; port < PORT_COUNT; ++port) plugin.Connect(port, nullptr);
    plugin.Connect(DELAY_SAMPLES, &delay_samples);
    plugin.Connect(DELAY_MS, &delay_ms);
    plugin.Activate();
    const std::vector<float> in = Impulse(expected.samples + 10);
    std::vector<float> out(in.size());
    plugin.Run(in.data(), out.data(), static_cast<std::uint32_t>(in.size()));
    const auto first = std::find_if(out.begin(), out.end(), [](float y) { return y != 0.0f; }) - out.begin();
    EXPECT_EQ(static_cast<std::size_t>(first), expected.samples);
    EXPECT_EQ(out[expected.samples], 1.0f);
    EXPECT_EQ(delay_samples, static_cast<float>(expected.samples));
    EXPECT_FLOAT_EQ(delay_ms, 100.0f);
}

INSTANTIATE_TEST_SUITE_P(, PluginDefaults,
                         ::testing::Values(DefaultDelay{8000, 800}, DefaultDelay{44100, 4410}, DefaultDelay{48000, 4800},
                                           DefaultDelay{96000, 9600}, DefaultDelay{192000, 19200},
                                           DefaultDelay{384000, 38400}, DefaultDelay{705600, 70560},
                                           DefaultDelay{768000, 76800}));

// The delay played for a "1 Time": kept between 1 sample and the line (at 44.1 kHz; "Max Delay(s)" 11 is 256
// samples), the module's own delay law between.
struct Mapping {
    const char* name;
    float time_mode, accuracy, max_delay, time;
    double delay;         // samples
    float delay_ms = 0;   // the Delay control (0: Time decides)
};
const Mapping MAPPINGS[] = {
    {"ms_zero", 1, 0, 11, 0.0f, 1},
    {"ms_below_a_sample", 1, 0, 11, 0.02f, 1},
    {"ms_just_below_a_sample", 1, 0, 11, 0.0226f, 1},  // 0.99666 samples
    {"ms_just_above_a_sample", 1, 0, 11, 0.0227f, 1},  // 1.00107 samples: truncated
    {"ms_two_samples", 1, 0, 11, 0.05f, 2},
    {"ms_inside_the_line", 1, 0, 11, 5.8f, 255},
    {"ms_the_whole_line", 1, 0, 11, 5.81f, 256},  // 256.22 samples: truncated to the line's length
    {"ms_beyond_the_line", 1, 0, 11, 5.83f, 256},
    {"ms_far_beyond_the_line", 1, 0, 11, 100.0f, 256},
    {"samples_half_a_sample_fractional", 2, 1, 11, 0.5f, 1},
    {"samples_one_and_a_half_fractional", 2, 1, 11, 1.5f, 1.5},
    {"samples_whole_full_accuracy", 2, 2, 11, 37.0f, 37},
    {"seconds_beyond_the_longest_line", 0, 0, 0, 100.0f, 524288},
    {"ms_above_a_hundred", 1, 0, 6, 110.0f, 4851},  // the slapback's 110 ms
    {"delay_in_ms_mode", 1, 0, 6, 100.0f, 4851, 110.0f},
    {"delay_whatever_the_unit_samples", 2, 0, 6, 37.0f, 4851, 110.0f},
    {"delay_whatever_the_unit_seconds", 0, 0, 6, 1.0f, 4851, 110.0f},
    {"delay_fractional_accuracy", 1, 1, 6, 100.0f, 4851, 110.0f},
    {"delay_to_the_nearest_whole_sample_below", 1, 0, 6, 100.0f, 441, 10.0113f},  // 441.498 samples
    {"delay_to_the_nearest_whole_sample_above", 1, 0, 6, 100.0f, 442, 10.0114f},  // 441.503 samples
    {"delay_below_a_sample", 1, 0, 6, 100.0f, 1, 0.001f},
    {"delay_beyond_the_line", 1, 0, 11, 1.0f, 256, 1000.0f},
    {"delay_the_longest", 0, 0, 0, 1.0f, 481572, 10920.0f},  // inside the longest line, 524288 samples at 44.1 kHz
};
class TimeMapping : public ::testing::TestWithParam<Mapping> {};

TEST_P(TimeMapping, TheDelayPlayedAndShown) {
    const Mapping m = GetParam();
    Plugin plugin({44100.0, 0, true});
    ASSERT_NE(plugin.handle, nullptr);
    float delay_samples = -1.0f;
    plugin.Connect(DELAY_SAMPLES, &delay_samples);
    plugin.controls[TIME_MODE] = m.time_mode;
    plugin.controls[ACCURACY] = m.accuracy;
    plugin.controls[MAX_DELAY] = m.max_delay;
    plugin.controls[TIME] = m.time;
    plugin.controls[DELAY] = m.delay_ms;
    plugin.controls[ROUTING] = 0;
    plugin.Activate();
    const std::size_t whole = static_cast<std::size_t>(m.delay);
    const std::vector<float> in = Impulse(whole + 4);
    std::vector<float> out(in.size());
    plugin.Run(in.data(), out.data(), static_cast<std::uint32_t>(in.size()));
    EXPECT_NEAR(delay_samples, m.delay, 1.0e-5);
    // The impulse comes out where the delay says: split between two samples by the fraction.
    const double fraction = m.delay - static_cast<double>(whole);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double expected = i == whole ? 1.0 - fraction : i == whole + 1 ? fraction
                                                                             : 0.0;
        EXPECT_NEAR(out[i], expected, 1.0e-6) << "sample " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(, TimeMapping, ::testing::ValuesIn(MAPPINGS),
                         [](const auto& info) { return std::string(info.param.name); });

// A longer time never gives a shorter delay, from 0 to beyond the line, in every accuracy.
TEST(TimeMappingSweep, IsMonotonic) {
    for (const float accuracy : {0.0f, 1.0f}) {
        Plugin plugin({44100.0, 0, true});
        ASSERT_NE(plugin.handle, nullptr);
        float delay_samples = 0.0f;
        plugin.Connect(DELAY_SAMPLES, &delay_samples);
        plugin.controls[MAX_DELAY] = 11;
        plugin.controls[ACCURACY] = accuracy;
        plugin.Activate();
        float in = 0.0f, out = 0.0f, before = 0.0f;
        for (int step = 0; step <= 8000; ++step) {
            plugin.controls[TIME] = static_cast<float>(step) * 0.001f;  // 0 .. 8 ms
            plugin.Run(&in, &out, 1);
            ASSERT_GE(delay_samples, before) << "time " << plugin.controls[TIME] << ", accuracy " << accuracy;
            ASSERT_GE(delay_samples, 1.0f);
            ASSERT_LE(delay_samples, 256.0f);
            before = delay_samples;
        }
        EXPECT_EQ(before, 256.0f);
    }
}

// Each channel of the stereo plug-in is the mono module on that channel, with the controls shared: in runs cut
// at the maximum block and in runs of one block, moving along the signal or in the same buffers every run.
class Stereo : public ::testing::TestWithParam<std::pair<std::uint32_t, bool>> {};

TEST_P(Stereo, EachChannelIsTheModuleOnItsOwnInput) {
    const auto [run, host_buffers] = GetParam();
    Plugin plugin({44100.0, 256, true, nullptr, false, 1});
    ASSERT_NE(plugin.handle, nullptr);
    plugin.controls[TIME] = 7;
    plugin.controls[FEEDBACK] = 5;
    plugin.controls[DAMPING] = 2;
    plugin.Activate();
    Reference left(44100.0f, 256, plugin.controls), right(44100.0f, 256, plugin.controls);
    const std::vector<float> a = Signal(3000);
    std::vector<float> b(a.rbegin(), a.rend());
    std::vector<float> ours_a(a.size()), ours_b(a.size()), theirs_a(a.size()), theirs_b(a.size());
    std::vector<float> host[4] = {std::vector<float>(run), std::vector<float>(run), std::vector<float>(run),
                                  std::vector<float>(run)};  // in and out, left and right
    for (std::size_t at = 0; at < a.size(); at += run) {
        if (at == 1500) {
            plugin.controls[TIME] = 3;
            plugin.controls[ROUTING] = 3;
            for (Reference* r : {&left, &right}) {
                r->Post(TIME, 3);
                r->Post(ROUTING, 3);
            }
        }
        if (host_buffers) {
            std::copy_n(a.data() + at, run, host[0].data());
            std::copy_n(b.data() + at, run, host[2].data());
            plugin.Connect(AUDIO_IN_R, host[2].data());
            plugin.Connect(OUT_R, host[3].data());
            plugin.Run(host[0].data(), host[1].data(), run);
            std::copy_n(host[1].data(), run, ours_a.data() + at);
            std::copy_n(host[3].data(), run, ours_b.data() + at);
        } else {
            plugin.Connect(AUDIO_IN_R, b.data() + at);
            plugin.Connect(OUT_R, ours_b.data() + at);
            plugin.Run(a.data() + at, ours_a.data() + at, run);
        }
        left.Run(a.data() + at, theirs_a.data() + at, static_cast<std::int32_t>(run), 256);
        right.Run(b.data() + at, theirs_b.data() + at, static_cast<std::int32_t>(run), 256);
    }
    EXPECT_TRUE(SameSamples(ours_a, theirs_a));
    EXPECT_TRUE(SameSamples(ours_b, theirs_b));
    EXPECT_FALSE(SameSamples(ours_a, ours_b));
}

INSTANTIATE_TEST_SUITE_P(, Stereo, ::testing::Values(std::pair{500u, false}, std::pair{250u, false}, std::pair{250u, true}));

// Smoothing: the largest step of the output around a change, against the largest step of the steady echo of a
// sine before it. Off, the change jumps; on, it glides or fades.
struct Smoothed {
    const char* name;
    Port port;
    float from, to;
    std::vector<std::pair<Port, float>> settings;
    double largest_off;  // the step without smoothing is at least this many times the normal one
    double largest_on;   // with smoothing at most this many
};
// Named by its row: GoogleTest would otherwise print the record's bytes, padding included.
void PrintTo(const Smoothed& row, std::ostream* out) { *out << row.name; }
const Smoothed SMOOTHED[] = {
    {"time_whole_samples", TIME, 25, 12.5, {}, 8, 1.6},
    {"time_fractional", TIME, 25, 12.5, {{ACCURACY, 1}}, 8, 1.6},
    {"time_with_feedback", TIME, 25, 12.5, {{FEEDBACK, 4}, {DAMPING, 3}, {ROUTING, 1}}, 8, 2.5},
    {"time_mode", TIME_MODE, 1, 2, {{TIME, 25}}, 8, 1.6},
    {"volume", VOLUME, 10, 2, {}, 8, 1.1},
    {"max_delay", MAX_DELAY, 6, 7, {}, 8, 1.1},
    {"switch_off", ACTIVE, 1, 0, {}, 8, 1.1},
    {"switch_on", ACTIVE, 0, 1, {}, 8, 1.1},
    {"feedback_on", FEEDBACK, 0, 8, {}, 8, 2.0},
    {"feedback_through_zero", FEEDBACK, 4, -4, {}, 8, 1.3},
    {"level_law", VOLUME_MODE, 1, 0, {{VOLUME, 9}}, 3, 1.3},
    {"clear", GATE, 0, 5, {{FEEDBACK, 6}}, 8, 1.6},
    {"mix", MIX, 100, 20, {}, 8, 1.3},
};
class Smoothing : public ::testing::TestWithParam<std::tuple<Smoothed, WorkerMode>> {};

TEST_P(Smoothing, ChangesGlideOrFadeInsteadOfJumping) {
    const auto& [row, mode] = GetParam();
    double ratio[2] = {};
    for (const int smooth : {0, 1}) {
        Plugin plugin({44100.0, 256, true});
        ASSERT_NE(plugin.handle, nullptr);
        plugin.worker.mode = mode;
        plugin.controls[SMOOTH] = static_cast<float>(smooth);
        plugin.controls[ROUTING] = 0;
        plugin.controls[TIME] = 25;
        plugin.controls[MAX_DELAY] = 6;
        for (const auto& [port, value] : row.settings) plugin.controls[port] = value;
        plugin.controls[row.port] = row.from;
        plugin.Activate();
        constexpr std::size_t BEFORE = 8192, AFTER = 16384;
        std::vector<float> in(BEFORE + AFTER), out(in.size());
        for (std::size_t i = 0; i < in.size(); ++i) in[i] = 0.5f * static_cast<float>(std::sin(0.0157 * static_cast<double>(i)));
        for (std::size_t at = 0; at < in.size(); at += 256) {
            if (at == BEFORE + 256 * 3) plugin.controls[row.port] = row.to;
            plugin.Run(in.data() + at, out.data() + at, 256);
            if (mode == WorkerMode::Deferred) plugin.worker.Drain();
        }
        auto largest_step = [&](std::size_t from, std::size_t to) {
            double largest = 0.0;
            for (std::size_t i = from; i < to; ++i) largest = std::max(largest, std::fabs(double{out[i]} - out[i - 1]));
            return largest;
        };
        // The steady echo (or the input, while switched off) before the change.
        const double normal = largest_step(BEFORE / 2, BEFORE);
        ASSERT_GT(normal, 0.005);
        ratio[smooth] = largest_step(BEFORE, in.size()) / normal;
    }
    std::printf("%-20s step at the change: %.2f x normal without smoothing, %.2f x with\n", row.name, ratio[0],
                ratio[1]);
    EXPECT_GE(ratio[0], row.largest_off);
    EXPECT_LE(ratio[1], row.largest_on);
}

INSTANTIATE_TEST_SUITE_P(, Smoothing,
                         ::testing::Combine(::testing::ValuesIn(SMOOTHED),
                                            ::testing::Values(WorkerMode::Immediate, WorkerMode::Deferred)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    WORKER_MODES[static_cast<int>(std::get<1>(info.param))];
                         });

// A sample that is not finite (from a host or the plug-in before) is taken as silence wherever feedback or damping
// keeps a state: the output is, bit for bit, the render of the same input with that sample 0, in runs straight on
// the host's buffers and cut at the block, with the smoothing path too. (Without feedback or damping the module
// plays it as it is: it leaves the line after the delay.)
struct BadInput {
    const char* name;
    std::vector<std::pair<Port, float>> settings;
    std::uint32_t run;
};
void PrintTo(const BadInput& row, std::ostream* out) { *out << row.name; }
const BadInput BAD_INPUTS[] = {
    {"feedback_tap", {{FEEDBACK, 5}, {ROUTING, 0}}, 256},
    {"damping_alone_input_tap", {{DAMPING, 4}, {ROUTING, 1}}, 256},
    {"feedback_and_damping_output", {{FEEDBACK, -6}, {DAMPING, 3}, {ROUTING, 2}}, 64},
    {"input_output_fractional", {{FEEDBACK, 7}, {DAMPING, 2}, {ROUTING, 3}, {ACCURACY, 1}}, 300},
    {"runs_longer_than_the_block", {{FEEDBACK, 5}, {ROUTING, 0}}, 600},
    {"runs_of_7", {{FEEDBACK, 5}, {ROUTING, 0}}, 7},  // the samples after the last four of a run
    {"mixed_with_the_input", {{FEEDBACK, 5}, {ROUTING, 0}, {MIX, 60}}, 256},
};
class NonFiniteInput : public ::testing::TestWithParam<std::tuple<BadInput, float>> {};

TEST_P(NonFiniteInput, IsTakenAsSilence) {
    const auto& [row, bad] = GetParam();
    auto render = [&](float at_1000) {
        Plugin plugin({44100.0, 256, true});
        plugin.controls[TIME] = 3;
        for (const auto& [port, value] : row.settings) plugin.controls[port] = value;
        plugin.Activate();
        std::vector<float> in = Signal(20000), out(in.size());
        in[1000] = at_1000;
        in[1001 + row.run] = at_1000;  // and once more at another place in a run
        std::vector<float> host_in(row.run), host_out(row.run);
        for (std::size_t at = 0; at < in.size(); at += row.run) {
            const std::size_t n = std::min<std::size_t>(row.run, in.size() - at);
            std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(at), n, host_in.begin());
            plugin.Run(host_in.data(), host_out.data(), static_cast<std::uint32_t>(n));
            std::copy_n(host_out.begin(), n, out.begin() + static_cast<std::ptrdiff_t>(at));
        }
        return out;
    };
    const std::vector<float> ours = render(bad), silent = render(0.0f);
    EXPECT_TRUE(std::all_of(ours.begin(), ours.end(), [](float y) { return std::isfinite(y); }));
    EXPECT_TRUE(SameSamples(ours, silent));
}

INSTANTIATE_TEST_SUITE_P(, NonFiniteInput, ::testing::Combine(::testing::ValuesIn(BAD_INPUTS), ::testing::Values(NAN, INFINITY, -INFINITY)),
                         [](const auto& info) {
                             const float bad = std::get<1>(info.param);
                             return std::string(std::get<0>(info.param).name) + (std::isnan(bad) ? "_nan" : bad > 0 ? "_inf" : "_minus_inf");
                         });

// Mix: the echo against the input, m y + (1 - m) x in working precision and rounded once; 100 % is the echo alone
// and 0 % the input alone, both exactly, and switched off the plug-in passes its input whatever the mix.
TEST(Mix, IsTheEchoAgainstTheInput) {
    const std::vector<float> in = Signal(6000);
    auto render = [&](float mix, float active = 1) {
        Plugin plugin({44100.0, 256, true});
        plugin.controls[ACTIVE] = active;
        plugin.controls[SMOOTH] = 0;
        plugin.controls[FEEDBACK] = 4;
        plugin.controls[TIME] = 5;
        plugin.controls[MIX] = mix;
        plugin.Activate();
        std::vector<float> out(in.size());
        for (std::size_t at = 0; at < in.size(); at += 256) {
            const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(256, in.size() - at));
            plugin.Run(in.data() + at, out.data() + at, n);
        }
        return out;
    };
    const std::vector<float> echo = render(100.0f);
    EXPECT_TRUE(SameSamples(render(0.0f), in));
    EXPECT_TRUE(SameSamples(render(50.0f, 0), in));  // switched off: the input, whatever the mix
    for (const float mix : {25.0f, 50.0f, 99.0f}) {
        const std::vector<float> ours = render(mix);
        const double m = mix / 100.0;
        for (std::size_t i = 0; i < in.size(); ++i) {
            ASSERT_EQ(ours[i], static_cast<float>(echo[i] * m + in[i] * (1.0 - m))) << "mix " << mix << " sample " << i;
        }
    }
}

// ---- the room plug-in -------------------------------------------------------------------------------------------

TEST(RoomControls, NonFiniteValuesAreIgnoredOthersKeptToTheirRange) {
    using er_plugin::RoomControlFor;
    const struct {
        std::int32_t port;
        float value;
        std::optional<float> taken;
    } rows[] = {
        {er_plugin::ROOM_PRESET, 2.4f, 2.0f},
        {er_plugin::ROOM_PRESET, 2.6f, 3.0f},  // to the nearest
        {er_plugin::ROOM_PRESET, 2.5f, 2.0f},  // half to even
        {er_plugin::ROOM_PRESET, 7.0f, 5.0f},
        {er_plugin::ROOM_PRESET, -1.0f, 0.0f},
        {er_plugin::ROOM_PRESET, NAN, std::nullopt},
        {er_plugin::ROOM_SIZE, 0.25f, 0.25f},
        {er_plugin::ROOM_SIZE, 0.1f, 0.25f},
        {er_plugin::ROOM_SIZE, 4.5f, 4.0f},
        {er_plugin::ROOM_SIZE, INFINITY, std::nullopt},
        {er_plugin::ROOM_WIDTH, 0.0f, 0.0f},
        {er_plugin::ROOM_WIDTH, -0.5f, 0.0f},
        {er_plugin::ROOM_DISTANCE, 0.2f, 0.25f},
        {er_plugin::ROOM_BRIGHTNESS, 1e9f, 4.0f},
        {er_plugin::ROOM_DRY, -INFINITY, std::nullopt},
        {er_plugin::ROOM_DRY, -90.0f, er_plugin::ROOM_LEVEL_OFF},
        {er_plugin::ROOM_WET, 6.5f, 6.0f},
        {er_plugin::ROOM_SMOOTH, 0.3f, 1.0f},
        {er_plugin::ROOM_SMOOTH, 0.0f, 0.0f},
        {er_plugin::ROOM_SMOOTH, -2.0f, 0.0f},
        {er_plugin::ROOM_WINDOW, -1.0f, 0.0f},
        {er_plugin::ROOM_WINDOW, 501.0f, 500.0f},
        {er_plugin::ROOM_WINDOW, NAN, std::nullopt},
        {er_plugin::ROOM_IN, 1.0f, std::nullopt},  // audio: no control
        {er_plugin::ROOM_PORT_COUNT, 1.0f, std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(RoomControlFor(row.port, row.value), row.taken) << row.port << " " << row.value;
    }
}

// The room plug-in as a host drives it: mono in, two outputs, every control connected.
class RoomPlugin {
public:
    explicit RoomPlugin(WorkerMode mode, bool with_worker = true) : m_descriptor(lv2_descriptor(2)) {
        for (std::int32_t port = 0; port < er_plugin::ROOM_PORT_COUNT; ++port) {
            controls[port] = er_plugin::ROOM_PORT_ROWS[port].plugin_default;
        }
        m_options[0] = {LV2_OPTIONS_INSTANCE, 0, m_urids.map.map(m_urids.map.handle, LV2_BUF_SIZE__maxBlockLength),
                        sizeof(std::int32_t), m_urids.map.map(m_urids.map.handle, LV2_ATOM__Int), &m_max_block};
        m_options[1] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
        worker.mode = mode;
        worker.descriptor = 2;
        if (!with_worker) m_features[2] = nullptr;
        handle = m_descriptor->instantiate(m_descriptor, 44100.0, "", m_features);
        worker.instance = handle;
        if (handle == nullptr) return;
        for (std::uint32_t port = er_plugin::ROOM_PRESET; port < er_plugin::ROOM_PORT_COUNT; ++port) {
            m_descriptor->connect_port(handle, port, &controls[port]);
        }
    }
    ~RoomPlugin() {
        if (handle != nullptr) m_descriptor->cleanup(handle);
    }
    void Activate() { m_descriptor->activate(handle); }
    void Run(const float* in, float* left, float* right, std::uint32_t frames) {
        m_descriptor->connect_port(handle, er_plugin::ROOM_IN, const_cast<float*>(in));
        m_descriptor->connect_port(handle, er_plugin::ROOM_OUT_L, left);
        m_descriptor->connect_port(handle, er_plugin::ROOM_OUT_R, right);
        m_descriptor->run(handle, frames);
        if (worker.mode == WorkerMode::Deferred) worker.Drain();
    }
    const er_plugin::RoomCore& Adapter() const { return *static_cast<const er_lv2::Instance<er_plugin::RoomCore>*>(handle)->core; }

    float controls[er_plugin::ROOM_PORT_COUNT] = {};
    LV2_Handle handle = nullptr;
    Worker worker;

private:
    const LV2_Descriptor* m_descriptor;
    UridMap m_urids;
    std::int32_t m_max_block = 256;
    LV2_Options_Option m_options[2];
    LV2_Feature m_map_feature{LV2_URID__map, &m_urids.map};
    LV2_Feature m_options_feature{LV2_OPTIONS__options, m_options};
    LV2_Feature m_worker_feature{LV2_WORKER__schedule, &worker.schedule};
    const LV2_Feature* m_features[4] = {&m_map_feature, &m_options_feature, &m_worker_feature, nullptr};
};

std::vector<float> Sine(std::size_t frames) {
    std::vector<float> in(frames);
    for (std::size_t i = 0; i < frames; ++i) in[i] = 0.5f * static_cast<float>(std::sin(0.0157 * static_cast<double>(i)));
    return in;
}

// Values that are not finite are ignored and the rest kept to their ranges: the plug-in fed them plays what one
// fed the values it takes plays, sample for sample, and every sample is finite.
TEST(RoomPlugin, SurvivesNonFiniteAndOutOfRangeControls) {
    RoomPlugin odd(WorkerMode::Deferred), taken(WorkerMode::Deferred);
    ASSERT_NE(odd.handle, nullptr);
    ASSERT_NE(taken.handle, nullptr);
    EXPECT_EQ(odd.Adapter().Taps(), 124);  // every named room has 62 images of orders 1 to 3, at two ears
    odd.Activate();
    taken.Activate();
    constexpr std::size_t BLOCK = 256, BLOCKS = 60;
    const std::vector<float> in = Signal(BLOCK * BLOCKS);
    std::vector<float> out[4];
    for (auto& channel : out) channel.assign(in.size(), 0.0f);
    for (std::size_t block = 0; block < BLOCKS; ++block) {
        if (block == 4) {
            const float odd_values[] = {NAN, 7.6f, INFINITY, -3.0f, 1e9f, NAN, INFINITY, NAN};
            const float taken_values[] = {1.0f, 5.0f, 1.0f, 0.25f, 4.0f, 0.0f, -12.0f, 1.0f};
            for (std::int32_t i = 0; i < 8; ++i) {
                const std::int32_t port = i == 0 ? er_plugin::ROOM_SIZE : i == 1 ? er_plugin::ROOM_PRESET
                                                                              : er_plugin::ROOM_PRESET + i;
                odd.controls[port] = odd_values[i];
                taken.controls[port] = taken_values[i];
            }
        }
        const std::size_t at = block * BLOCK;
        odd.Run(in.data() + at, out[0].data() + at, out[1].data() + at, BLOCK);
        taken.Run(in.data() + at, out[2].data() + at, out[3].data() + at, BLOCK);
    }
    EXPECT_TRUE(SameSamples(out[0], out[2]));
    EXPECT_TRUE(SameSamples(out[1], out[3]));
    for (const auto& channel : out) EXPECT_TRUE(std::all_of(channel.begin(), channel.end(), [](float x) { return std::isfinite(x); }));
    EXPECT_FALSE(Silent(out[0].data() + BLOCK * 40, BLOCK * 20));
}

// What a host sets between activate() and its first run() (lv2file's -p values) is where the room starts, with or
// without a worker, smoothing on: every sample of both ears is that of a plug-in activated with those values and
// smoothing off (nothing glides, fades or ramps into the values a plug-in starts with).
struct RoomStart {
    const char* name;
    std::vector<std::pair<std::int32_t, float>> controls;
};
void PrintTo(const RoomStart& row, std::ostream* out) { *out << row.name; }
const RoomStart ROOM_STARTS[] = {
    {"booth", {{er_plugin::ROOM_PRESET, 0.0f}}},
    {"hall_half_size_wide", {{er_plugin::ROOM_PRESET, 3.0f}, {er_plugin::ROOM_SIZE, 0.5f}, {er_plugin::ROOM_WIDTH, 2.5f}}},
    {"one_ear", {{er_plugin::ROOM_WIDTH, 0.0f}}},
    {"nearer_and_duller", {{er_plugin::ROOM_DISTANCE, 0.5f}, {er_plugin::ROOM_BRIGHTNESS, 0.25f}}},
    {"levels", {{er_plugin::ROOM_DRY, -6.0f}, {er_plugin::ROOM_WET, 3.0f}}},
    {"tiled_window_narrowed", {{er_plugin::ROOM_PRESET, 5.0f}, {er_plugin::ROOM_WINDOW, 500.0f}}},
};
class RoomStarts : public ::testing::TestWithParam<std::tuple<RoomStart, bool>> {};

TEST_P(RoomStarts, WhereTheHostSetsItBeforeTheFirstRun) {
    const auto& [row, with_worker] = GetParam();
    const std::vector<float> in = Signal(8192);
    std::vector<float> out[3][2];  // set before activate() and smoothing off; before, on; after, on
    for (int variant = 0; variant < 3; ++variant) {
        RoomPlugin plugin(WorkerMode::Immediate, with_worker);
        ASSERT_NE(plugin.handle, nullptr);
        plugin.controls[er_plugin::ROOM_SMOOTH] = variant == 0 ? 0.0f : 1.0f;
        if (variant == 2) plugin.Activate();
        for (const auto& [port, value] : row.controls) plugin.controls[port] = value;
        if (variant != 2) plugin.Activate();
        for (auto& ear : out[variant]) ear.assign(in.size(), 0.0f);
        for (std::size_t at = 0; at < in.size(); at += 256) {
            plugin.Run(in.data() + at, out[variant][0].data() + at, out[variant][1].data() + at, 256);
        }
    }
    for (int variant = 1; variant < 3; ++variant) {
        EXPECT_TRUE(SameSamples(out[variant][0], out[0][0])) << variant;
        EXPECT_TRUE(SameSamples(out[variant][1], out[0][1])) << variant;
    }
    EXPECT_FALSE(Silent(out[0][1].data(), out[0][1].size()));
}

INSTANTIATE_TEST_SUITE_P(, RoomStarts, ::testing::Combine(::testing::ValuesIn(ROOM_STARTS), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_ImmediateWorker" : "_NoWorker");
                         });

// A run never allocates, whatever changes: the room's new shape is worked out by the worker (here between runs),
// and so are the taps' new lines.
// The room's low-passes keep their state: a sample that is not finite is taken as silence, so the room plays, bit
// for bit, what it plays with that sample 0 (at its defaults, and with smoothing off and the levels moved).
TEST(RoomPlugin, InputThatIsNotFiniteIsTakenAsSilence) {
    for (const float bad : {NAN, INFINITY, -INFINITY}) {
        for (const bool moved : {false, true}) {
            auto render = [&](float at) {
                RoomPlugin room(WorkerMode::Immediate);
                if (moved) {
                    room.controls[er_plugin::ROOM_SMOOTH] = 0;
                    room.controls[er_plugin::ROOM_DRY] = -6;
                }
                room.Activate();
                std::vector<float> in = Sine(8192), left(in.size()), right(in.size());
                in[1000] = at;
                in[3001] = at;
                for (std::size_t done = 0; done < in.size(); done += 256) {
                    room.Run(in.data() + done, left.data() + done, right.data() + done, 256);
                }
                left.insert(left.end(), right.begin(), right.end());
                return left;
            };
            const std::vector<float> ours = render(bad);
            EXPECT_TRUE(std::all_of(ours.begin(), ours.end(), [](float y) { return std::isfinite(y); })) << bad;
            EXPECT_TRUE(SameSamples(ours, render(0.0f))) << bad << (moved ? " moved" : "");
        }
    }
}

// The room plays the same under any floating-point settings of its host's thread (Ardour runs its plug-ins with
// denormals flushed to zero), and hands them back: an input whose echoes fall below the normal floats, and
// filtered taps that meet them.
TEST(RoomPlugin, HostFloatingPointSettingsAreKept) {
    const auto render = [](unsigned host, unsigned* after) {
        std::vector<float> in = Sine(4096), left(in.size()), right(in.size());
        for (float& x : in) x *= 1e-36f;
        const unsigned saved = _mm_getcsr();
        _mm_setcsr(host);  // from the start: the taps are worked out when the plug-in is made
        RoomPlugin room(WorkerMode::Immediate);
        room.controls[er_plugin::ROOM_SMOOTH] = 0;
        room.Activate();
        for (std::size_t done = 0; done < in.size(); done += 256) {
            room.Run(in.data() + done, left.data() + done, right.data() + done, 256);
        }
        *after = _mm_getcsr();
        _mm_setcsr(saved);
        left.insert(left.end(), right.begin(), right.end());
        return left;
    };
    unsigned plain_after = 0, host_after = 0;
    const unsigned plain = _mm_getcsr();
    const unsigned host = (plain & ~0x6000u) | 0x4000u | 0x8040u;  // round up, flush-to-zero, denormals-are-zero
    const std::vector<float> want = render(plain, &plain_after);
    EXPECT_TRUE(std::any_of(want.begin(), want.end(), [](float y) { return y != 0.0f && std::fpclassify(y) == FP_SUBNORMAL; }))
        << "the input makes no subnormal output: the comparison cannot tell";
    EXPECT_TRUE(SameSamples(render(host, &host_after), want));
    constexpr unsigned SETTINGS = ~0x3Fu;  // the sticky exception flags are the host's to clear
    EXPECT_EQ(host_after & SETTINGS, host & SETTINGS);
    EXPECT_EQ(plain_after & SETTINGS, plain & SETTINGS);
}

TEST(RoomPlugin, RunNeverAllocates) {
    RoomPlugin plugin(WorkerMode::Deferred);
    ASSERT_NE(plugin.handle, nullptr);
    plugin.Activate();
    const std::vector<float> in = Signal(512);
    std::vector<float> left(in.size()), right(in.size());
    g_allocations = 0;
    for (int run = 0; run < 40; ++run) {
        plugin.controls[er_plugin::ROOM_PRESET] = static_cast<float>(run / 4 % 6);
        plugin.controls[er_plugin::ROOM_SIZE] = 0.5f + 0.25f * static_cast<float>(run % 5);
        plugin.controls[er_plugin::ROOM_WIDTH] = static_cast<float>(run % 3);
        plugin.controls[er_plugin::ROOM_BRIGHTNESS] = run % 2 == 0 ? 1.0f : 2.0f;
        plugin.controls[er_plugin::ROOM_SMOOTH] = run % 7 == 6 ? 0.0f : 1.0f;
        g_counting = true;
        plugin.Run(in.data(), left.data(), right.data(), 512);  // drains the worker with counting off
        g_counting = false;
    }
    EXPECT_EQ(g_allocations.load(), 0);
    EXPECT_GT(plugin.Adapter().Sounding(), 0);
}

// Each control that shapes the room does what it says, against the default studio: the response to an impulse
// (dry off, wet 0 dB) at each ear.
struct Response {
    std::vector<float> left, right;
    std::size_t First() const {  // the first sample that sounds
        for (std::size_t i = 0; i < left.size(); ++i) {
            if (left[i] != 0.0f || right[i] != 0.0f) return i;
        }
        return left.size();
    }
    std::size_t Last() const {  // the last sample above -120 dB
        std::size_t last = 0;
        for (std::size_t i = 0; i < left.size(); ++i) {
            if (std::fabs(left[i]) > 1e-6f || std::fabs(right[i]) > 1e-6f) last = i;
        }
        return last;
    }
    double Energy() const {
        double sum = 0.0;
        for (std::size_t i = 0; i < left.size(); ++i) sum += double{left[i]} * left[i] + double{right[i]} * right[i];
        return sum;
    }
    double Brightness() const {  // the share of the energy in the first difference: high frequencies weigh more
        double sum = 0.0;
        for (std::size_t i = 1; i < left.size(); ++i) sum += std::pow(double{left[i]} - left[i - 1], 2.0);
        return sum / Energy();
    }
};

Response RoomResponse(const std::vector<std::pair<std::int32_t, float>>& controls) {
    RoomPlugin plugin(WorkerMode::Immediate);
    plugin.controls[er_plugin::ROOM_DRY] = er_plugin::ROOM_LEVEL_OFF;
    plugin.controls[er_plugin::ROOM_WET] = 0.0f;
    for (const auto& [port, value] : controls) plugin.controls[port] = value;
    plugin.Activate();
    constexpr std::size_t FRAMES = 16384;
    std::vector<float> in(FRAMES, 0.0f);
    in[0] = 1.0f;
    Response response{std::vector<float>(FRAMES), std::vector<float>(FRAMES)};
    for (std::size_t at = 0; at < FRAMES; at += 256) {
        plugin.Run(in.data() + at, response.left.data() + at, response.right.data() + at, 256);
    }
    return response;
}

TEST(RoomPlugin, EachShapeControlDoesWhatItSays) {
    const Response studio = RoomResponse({});
    ASSERT_GT(studio.Energy(), 0.0);
    EXPECT_NE(studio.left, studio.right);  // two ears
    const Response mono = RoomResponse({{er_plugin::ROOM_WIDTH, 0.0f}});
    EXPECT_EQ(mono.left, mono.right);
    const Response larger = RoomResponse({{er_plugin::ROOM_SIZE, 2.0f}});
    EXPECT_GT(larger.First(), studio.First() * 3 / 2);  // lengths double: the first reflection comes later
    const Response nearer = RoomResponse({{er_plugin::ROOM_DISTANCE, 0.5f}});
    EXPECT_LT(nearer.Energy(), studio.Energy() * 0.8);  // against a nearer direct sound the reflections are weaker
    const Response duller = RoomResponse({{er_plugin::ROOM_BRIGHTNESS, 0.25f}});
    const Response brighter = RoomResponse({{er_plugin::ROOM_BRIGHTNESS, 4.0f}});
    EXPECT_LT(duller.Brightness(), studio.Brightness() * 0.8);
    EXPECT_GT(brighter.Brightness(), studio.Brightness() * 1.2);
    const Response hall = RoomResponse({{er_plugin::ROOM_PRESET, 3.0f}});
    EXPECT_GT(hall.Last(), studio.Last() * 3);  // its reflections spread over a far longer time
    const Response windowed = RoomResponse({{er_plugin::ROOM_WINDOW, 60.0f}});
    EXPECT_GT(windowed.Energy(), studio.Energy() * 1.05);  // the reflections of orders 4 and up within 60 ms
    EXPECT_GT(windowed.Last(), studio.Last());
    // A window past what 4096 taps hold is narrowed, not refused: the tiled room at 500 ms plays far more than its
    // order-3 pattern.
    const Response tiled = RoomResponse({{er_plugin::ROOM_PRESET, 5.0f}});
    const Response tiled_wide = RoomResponse({{er_plugin::ROOM_PRESET, 5.0f}, {er_plugin::ROOM_WINDOW, 500.0f}});
    EXPECT_GT(tiled_wide.Last(), tiled.Last() * 2);
}

// A change of the room: without smoothing the output jumps to the new room's reflections, with it they crossfade
// from the old room's. The largest step of the output after the change against the largest step of the steady
// output before it; and the change has taken effect: the output then differs from that of a plug-in left as it was.
struct RoomChange {
    const char* name;
    std::vector<std::pair<std::int32_t, float>> to;
    double largest_off, largest_on;
};
void PrintTo(const RoomChange& row, std::ostream* out) { *out << row.name; }
const RoomChange ROOM_CHANGES[] = {
    {"size", {{er_plugin::ROOM_SIZE, 1.5f}}, 5.0, 1.3},
    // Another room moves every tap a long way: a click is tens of times the steady step.
    {"room", {{er_plugin::ROOM_PRESET, 1.0f}}, 5.0, 1.3},
    {"room_and_size_new_lines", {{er_plugin::ROOM_PRESET, 3.0f}, {er_plugin::ROOM_SIZE, 2.0f}}, 5.0, 1.3},
    // Two ears become one: the taps move by less than a millisecond, so even the jump is small.
    {"width_to_mono", {{er_plugin::ROOM_WIDTH, 0.0f}}, 0.0, 1.3},
    // A window of 40 ms: the reflections of orders 4 and up that arrive within it join in.
    {"window", {{er_plugin::ROOM_WINDOW, 40.0f}}, 2.0, 1.3},
    {"distance_and_brightness", {{er_plugin::ROOM_DISTANCE, 0.5f}, {er_plugin::ROOM_BRIGHTNESS, 0.25f}}, 5.0, 1.3},
    // The levels: the reflections 20 dB down, the direct sound switched on from off, both at once.
    {"wet_down", {{er_plugin::ROOM_WET, -20.0f}}, 5.0, 1.1},
    {"dry_on", {{er_plugin::ROOM_DRY, 0.0f}}, 5.0, 1.1},
    {"dry_on_and_wet_off", {{er_plugin::ROOM_DRY, -6.0f}, {er_plugin::ROOM_WET, er_plugin::ROOM_LEVEL_OFF}}, 5.0, 1.1},
};
class RoomChanges : public ::testing::TestWithParam<std::tuple<RoomChange, WorkerMode>> {};

TEST_P(RoomChanges, MoveTheTapsWithoutAClick) {
    const auto& [row, mode] = GetParam();
    double ratio[2] = {};
    std::vector<float> tails[3];  // the last samples of each ear: unchanged, then without and with smoothing
    for (const int smooth : {-1, 0, 1}) {
        RoomPlugin plugin(mode);
        ASSERT_NE(plugin.handle, nullptr);
        plugin.controls[er_plugin::ROOM_SMOOTH] = smooth > 0 ? 1.0f : 0.0f;
        plugin.controls[er_plugin::ROOM_DRY] = er_plugin::ROOM_LEVEL_OFF;
        plugin.controls[er_plugin::ROOM_WET] = 0.0f;
        plugin.Activate();
        constexpr std::size_t BEFORE = 16384, AFTER = 16384;
        const std::vector<float> in = Sine(BEFORE + AFTER);
        std::vector<float> left(in.size()), right(in.size());
        for (std::size_t at = 0; at < in.size(); at += 256) {
            if (at == BEFORE && smooth >= 0) {
                for (const auto& [port, value] : row.to) plugin.controls[port] = value;
            }
            plugin.Run(in.data() + at, left.data() + at, right.data() + at, 256);
        }
        auto largest_step = [&](std::size_t from, std::size_t to) {
            double largest = 0.0;
            for (const auto* out : {&left, &right}) {
                for (std::size_t i = from; i < to; ++i) largest = std::max(largest, std::fabs(double{(*out)[i]} - (*out)[i - 1]));
            }
            return largest;
        };
        tails[smooth + 1].assign(left.end() - 4096, left.end());
        tails[smooth + 1].insert(tails[smooth + 1].end(), right.end() - 4096, right.end());
        if (smooth < 0) continue;
        const double normal = std::max(largest_step(BEFORE / 2, BEFORE), largest_step(in.size() - 4096, in.size()));
        ASSERT_GT(normal, 0.005);
        ratio[smooth] = largest_step(BEFORE, in.size()) / normal;
    }
    EXPECT_NE(tails[1], tails[0]);
    EXPECT_NE(tails[2], tails[0]);
    std::printf("%-26s step at the change: %.2f x normal without smoothing, %.2f x with\n", row.name, ratio[0],
                ratio[1]);
    EXPECT_GE(ratio[0], row.largest_off);
    EXPECT_LE(ratio[1], row.largest_on);
}

INSTANTIATE_TEST_SUITE_P(, RoomChanges,
                         ::testing::Combine(::testing::ValuesIn(ROOM_CHANGES),
                                            ::testing::Values(WorkerMode::Immediate, WorkerMode::Deferred)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    WORKER_MODES[static_cast<int>(std::get<1>(info.param))];
                         });

// Dry and Wet move linearly in gain over the mono plug-in's fade (10 ms: 441 samples here) from the run that
// changes them, the first sample still at the old gain; without smoothing the new gain holds from that run's first
// sample. Within the ramp: the input times the dry gain plus the reflections (the plug-in's at 0 dB) times the wet
// gain, the gains computed here; before and after it, sample for sample the plug-in held at the old or the new
// levels.
struct LevelChange {
    const char* what;
    float dry_from, wet_from, dry_to, wet_to;  // dB; -70 is off
    bool smooth;
};
void PrintTo(const LevelChange& row, std::ostream* out) { *out << row.what; }
const LevelChange LEVEL_CHANGES[] = {
    {"dry_up", -70.0f, -70.0f, 0.0f, -70.0f, true},
    {"dry_down", 6.0f, -70.0f, -20.0f, -70.0f, true},
    {"wet_up", -70.0f, -20.0f, -70.0f, 6.0f, true},
    {"wet_down_dry_on", 0.0f, 0.0f, 0.0f, -12.0f, true},
    {"both", -6.0f, -70.0f, -70.0f, 0.0f, true},
    {"dry_off_unsmoothed", 0.0f, -12.0f, -70.0f, -12.0f, false},
    {"wet_up_unsmoothed", -70.0f, -20.0f, -70.0f, 6.0f, false},
};
class LevelChanges : public ::testing::TestWithParam<LevelChange> {};

TEST_P(LevelChanges, RampOverTheFadeWithSmoothingElseJump) {
    const LevelChange& row = GetParam();
    constexpr std::size_t FRAMES = 12288, CHANGE = 8192, BLOCK = 256;
    std::vector<float> in(FRAMES);
    for (std::size_t i = 0; i < FRAMES; ++i) in[i] = 0.25f + 0.5f * static_cast<float>(std::sin(0.0157 * static_cast<double>(i)));
    auto render = [&](float dry_from, float wet_from, float dry_to, float wet_to, bool smooth) {
        RoomPlugin plugin(WorkerMode::Immediate);
        plugin.controls[er_plugin::ROOM_SMOOTH] = smooth ? 1.0f : 0.0f;
        plugin.controls[er_plugin::ROOM_DRY] = dry_from;
        plugin.controls[er_plugin::ROOM_WET] = wet_from;
        plugin.Activate();
        std::vector<float> left(FRAMES), right(FRAMES);
        for (std::size_t at = 0; at < FRAMES; at += BLOCK) {
            if (at == CHANGE) {
                plugin.controls[er_plugin::ROOM_DRY] = dry_to;
                plugin.controls[er_plugin::ROOM_WET] = wet_to;
            }
            plugin.Run(in.data() + at, left.data() + at, right.data() + at, BLOCK);
        }
        return std::pair{left, right};
    };
    const auto [taps_left, taps_right] = render(-70.0f, 0.0f, -70.0f, 0.0f, false);
    const auto [old_left, old_right] = render(row.dry_from, row.wet_from, row.dry_from, row.wet_from, false);
    const auto [new_left, new_right] = render(row.dry_to, row.wet_to, row.dry_to, row.wet_to, false);
    const auto [left, right] = render(row.dry_from, row.wet_from, row.dry_to, row.wet_to, row.smooth);
    auto gain = [](float db) { return db <= -70.0f ? 0.0 : std::pow(10.0, db / 20.0); };
    const double fade = 0.010 * 44100.0;
    std::size_t differing = 0, off_the_line = 0;
    for (std::size_t i = CHANGE - BLOCK; i < FRAMES; ++i) {
        const double k = i < CHANGE ? 0.0 : !row.smooth ? fade
                                                        : std::min(fade, static_cast<double>(i - CHANGE));
        const double dry = gain(row.dry_from) + (gain(row.dry_to) - gain(row.dry_from)) * k / fade;
        const double wet = gain(row.wet_from) + (gain(row.wet_to) - gain(row.wet_from)) * k / fade;
        const std::vector<float>* outs[2][4] = {{&left, &taps_left, &old_left, &new_left},
                                                {&right, &taps_right, &old_right, &new_right}};
        for (const auto& [out, taps, held_old, held_new] : outs) {
            if (std::fabs((*out)[i] - (dry * in[i] + wet * (*taps)[i])) > 2e-6) ++off_the_line;
            if (i < CHANGE && (*out)[i] != (*held_old)[i]) ++differing;
            // The ramp's last step lands on the target within a rounding; from the sample after, exact.
            if (k == fade && i > CHANGE + static_cast<std::size_t>(fade) * row.smooth && (*out)[i] != (*held_new)[i]) {
                ++differing;
            }
        }
    }
    EXPECT_EQ(off_the_line, 0u);
    EXPECT_EQ(differing, 0u);
    EXPECT_NE(taps_left, taps_right);  // the two ears are compared, each against its own reflections
}

INSTANTIATE_TEST_SUITE_P(, LevelChanges, ::testing::ValuesIn(LEVEL_CHANGES),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
