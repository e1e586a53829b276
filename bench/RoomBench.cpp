// The cost of a room, per frame of stereo output: the room plug-in against the peer Debian ships for the job,
// Dragonfly Early Reflections, both run through lilv as an LV2 host runs them at their defaults; and the room engine
// alone, with the cost of a tap as the pattern grows. Run: er_room_bench [--benchmark_filter=...]; the
// performance doc has the figures.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include "LilvHost.h"
#include "Room.h"
#include "RoomEngine.h"

namespace {

using er_bench::Noise;
using er_bench::Urids;

constexpr float RATE = 48000.0f;
constexpr std::int32_t BLOCKS[] = {64, 256, 1024};

// ---- LV2 plug-ins through lilv: Dragonfly Early Reflections and our room, each at its defaults -------------------

constexpr const char* DRAGONFLY = "urn:dragonfly:early";
constexpr const char* OUR_ROOM = "urn:early-reflection:ZV_1x_ER_Gen_room";

// One instance of an LV2 plug-in as a host runs it: every control at its default but `overrides` (by symbol),
// every audio input reading `in`, every output its own buffer.
class Lv2Run {
public:
    Lv2Run(const char* uri, std::int32_t block, const std::vector<float>& in,
           const std::vector<std::pair<std::string, float>>& overrides = {})
        : m_world(lilv_world_new()) {
        lilv_world_load_all(m_world);
        LilvNode* bundle = lilv_new_file_uri(m_world, nullptr, ER_LV2_BUNDLE "/");
        lilv_world_load_bundle(m_world, bundle);
        lilv_node_free(bundle);
        LilvNode* node = lilv_new_uri(m_world, uri);
        m_plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(m_world), node);
        lilv_node_free(node);
        if (m_plugin == nullptr) return;
        m_max_block = block;
        m_options[0] = {LV2_OPTIONS_INSTANCE, 0, m_urids.map.map(m_urids.map.handle, LV2_BUF_SIZE__maxBlockLength),
                        sizeof m_max_block, m_urids.map.map(m_urids.map.handle, LV2_ATOM__Int), &m_max_block};
        m_options[1] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
        m_instance = lilv_plugin_instantiate(m_plugin, RATE, m_features);
        if (m_instance == nullptr) return;
        const std::uint32_t ports = lilv_plugin_get_num_ports(m_plugin);
        m_controls.assign(ports, 0.0f);
        lilv_plugin_get_port_ranges_float(m_plugin, nullptr, nullptr, m_controls.data());
        LilvNode* audio = lilv_new_uri(m_world, LV2_CORE__AudioPort);
        LilvNode* input = lilv_new_uri(m_world, LV2_CORE__InputPort);
        outs.reserve(ports);
        for (std::uint32_t index = 0; index < ports; ++index) {
            const LilvPort* port = lilv_plugin_get_port_by_index(m_plugin, index);
            const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(m_plugin, port));
            for (const auto& [name, value] : overrides) {
                if (name == symbol) m_controls[index] = value;
            }
            if (!lilv_port_is_a(m_plugin, port, audio)) {
                lilv_instance_connect_port(m_instance, index, &m_controls[index]);
            } else if (lilv_port_is_a(m_plugin, port, input)) {
                lilv_instance_connect_port(m_instance, index, const_cast<float*>(in.data()));
            } else {
                outs.emplace_back(in.size());
                lilv_instance_connect_port(m_instance, index, outs.back().data());
            }
        }
        lilv_node_free(input);
        lilv_node_free(audio);
        lilv_instance_activate(m_instance);
    }
    ~Lv2Run() {
        if (m_instance != nullptr) {
            lilv_instance_deactivate(m_instance);
            lilv_instance_free(m_instance);
        }
        lilv_world_free(m_world);
    }
    bool Ready() const { return m_instance != nullptr; }
    void Run(std::uint32_t frames) { lilv_instance_run(m_instance, frames); }

    std::vector<std::vector<float>> outs;

private:
    LilvWorld* m_world;
    const LilvPlugin* m_plugin = nullptr;
    LilvInstance* m_instance = nullptr;
    Urids m_urids;
    std::int32_t m_max_block = 0;
    LV2_Options_Option m_options[2] = {};
    const LV2_Feature m_map_feature{LV2_URID__map, &m_urids.map};
    const LV2_Feature m_options_feature{LV2_OPTIONS__options, m_options};
    const LV2_Feature* m_features[3] = {&m_map_feature, &m_options_feature, nullptr};
    std::vector<float> m_controls;
};

// The reflections a plug-in resolves, from its response to a unit impulse with the dry signal off (Dragonfly's
// filters opened fully): every peak of the first output within 60 dB of the largest (a sample above both
// neighbours and above the two beyond them).
double Reflections(const char* uri) {
    constexpr std::int32_t FRAMES = 24000;
    std::vector<float> impulse(FRAMES, 0.0f);
    impulse[0] = 1.0f;
    const bool dragonfly = std::string(uri) == DRAGONFLY;
    Lv2Run run(uri, FRAMES, impulse,
               dragonfly ? std::vector<std::pair<std::string, float>>{{"dry_level", 0.0f}, {"low_cut", 0.0f}, {"high_cut", 20000.0f}}
                         : std::vector<std::pair<std::string, float>>{{"dry", -70.0f}, {"wet", 0.0f}});
    if (!run.Ready()) return 0.0;
    run.Run(FRAMES);
    const std::vector<float>& out = run.outs.front();
    float largest = 0.0f;
    for (const float y : out) largest = std::max(largest, std::fabs(y));
    std::int32_t peaks = 0;
    for (std::size_t i = 2; i + 2 < out.size(); ++i) {
        const float y = std::fabs(out[i]);
        if (y > 1.0e-3f * largest && y > std::fabs(out[i - 1]) && y >= std::fabs(out[i + 1]) &&
            y > std::fabs(out[i - 2]) && y >= std::fabs(out[i + 2])) {
            ++peaks;
        }
    }
    return peaks;
}

// A plug-in at its defaults on noise, per frame; our room with "Smooth changes" as it comes (on).
void Plugin(benchmark::State& state, const char* uri) {
    const auto block = static_cast<std::int32_t>(state.range(0));
    const std::vector<float> in = Noise(static_cast<std::size_t>(block));
    Lv2Run run(uri, block, in);
    if (!run.Ready()) {
        state.SkipWithError((std::string(uri) + " is not installed or cannot be made").c_str());
        return;
    }
    for (auto _ : state) {
        run.Run(static_cast<std::uint32_t>(block));
        benchmark::DoNotOptimize(run.outs.front().data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
    state.counters["reflections"] = Reflections(uri);
}

// ---- the room engine alone ------------------------------------------------------------------------------------

// A room's pattern, both ears, from a mono input, through the engine in blocks of `block`.
void RunEngine(benchmark::State& state, const er_room::Room& room) {
    const auto block = static_cast<std::int32_t>(state.range(0));
    const er_room::Pattern pattern = er_room::ImageSources(room);
    er_room::RoomEngine engine(er_room::PlanRoom(pattern, RATE, false, 1), block);
    const std::vector<float> in = Noise(static_cast<std::size_t>(block));
    std::vector<double> left(static_cast<std::size_t>(block)), right(static_cast<std::size_t>(block));
    const float* ins[] = {in.data()};
    double* wets[] = {left.data(), right.data()};
    for (auto _ : state) {
        engine.Process(ins, wets, block);
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
    state.counters["taps"] = engine.Taps();
    state.counters["groups"] = engine.Groups();
    state.counters["bytes"] = static_cast<double>(engine.MemoryBytes());
    state.counters["ns_per_frame_per_tap"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * block * engine.Taps(),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["early_energy_share"] = er_room::EarlyEnergyShare(room, pattern);
}

// The studio at reflection order `order`.
void Engine(benchmark::State& state, std::int32_t order) {
    er_room::Room room = *er_room::FindNamedRoom("studio");
    room.max_order = order;
    RunEngine(state, room);
}

// A named room by order 3 (window 0) or by a window of `window_ms`.
void NamedRoom(benchmark::State& state, std::string_view name, std::int32_t window_ms) {
    RunEngine(state, er_room::Windowed(*er_room::FindNamedRoom(name), window_ms / 1000.0));
}

const bool REGISTERED = [] {
    // Dragonfly and our room plug-in through the same lilv harness; the room's taps under the substitute host.
    auto* dragonfly = benchmark::RegisterBenchmark("dragonfly/early_default", Plugin, DRAGONFLY);
    auto* plugin = benchmark::RegisterBenchmark("room_lv2/studio_default", Plugin, OUR_ROOM);
    auto* studio = benchmark::RegisterBenchmark("engine/studio_order3", Engine, 3);
    for (std::int32_t block : BLOCKS) {
        dragonfly->Arg(block);
        plugin->Arg(block);
        studio->Arg(block);
    }
    // The named rooms by order and by time: the table of taps, early energy and cost in the rooms doc.
    for (const auto& named : er_room::NamedRooms()) {
        for (const std::int32_t window_ms : {0, 20, 40}) {
            if (window_ms == 40 && (named.name == "booth" || named.name == "tiled")) continue;  // past 4096 taps
            const std::string name = "engine/named/" + std::string(named.name) + "/window_ms:" + std::to_string(window_ms);
            benchmark::RegisterBenchmark(name.c_str(), NamedRoom, named.name, window_ms)->Arg(256);
        }
    }
    // About 60, 250 and 1000 taps: the cost of a tap as the pattern grows.
    for (std::int32_t order : {2, 4, 7}) {
        benchmark::RegisterBenchmark(("engine/studio_order" + std::to_string(order)).c_str(), Engine, order)->Arg(256);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
