// The cost of a room: its taps rendered by one module instance each (er-render's room renderer, each instance
// under the substitute host), per frame of stereo output, against the peer Debian ships for the job, Dragonfly
// Early Reflections, run through lilv as an LV2 host runs it at its default program; and the cost per tap as the
// tap count grows. Run: er_room_bench [--benchmark_filter=...]; the README has the figures.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include "Analysis.h"
#include "EffectPins.h"
#include "Host.h"
#include "LilvHost.h"
#include "RoomRender.h"

namespace {

using er_bench::Noise;
using er_bench::Urids;

constexpr float RATE = 48000.0f;
constexpr std::int32_t BLOCKS[] = {64, 256, 1024};

// ---- Dragonfly Early Reflections through lilv, every control at its default ----------------------------------

void Dragonfly(benchmark::State& state) {
    const auto block = static_cast<std::int32_t>(state.range(0));
    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);
    LilvNode* uri = lilv_new_uri(world, "urn:dragonfly:early");
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    if (plugin == nullptr) {
        state.SkipWithError("Dragonfly Early Reflections is not installed (dragonfly-reverb-lv2)");
        lilv_node_free(uri);
        lilv_world_free(world);
        return;
    }
    Urids urids;
    std::int32_t max_block = block;
    const LV2_Options_Option options[] = {
        {LV2_OPTIONS_INSTANCE, 0, urids.map.map(urids.map.handle, LV2_BUF_SIZE__maxBlockLength), sizeof max_block,
         urids.map.map(urids.map.handle, LV2_ATOM__Int), &max_block},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    const LV2_Feature map_feature{LV2_URID__map, &urids.map};
    const LV2_Feature options_feature{LV2_OPTIONS__options, const_cast<LV2_Options_Option*>(options)};
    const LV2_Feature* features[] = {&map_feature, &options_feature, nullptr};
    LilvInstance* instance = lilv_plugin_instantiate(plugin, RATE, features);

    const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
    std::vector<float> defaults(ports, 0.0f);
    lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
    LilvNode* audio = lilv_new_uri(world, LV2_CORE__AudioPort);
    LilvNode* input = lilv_new_uri(world, LV2_CORE__InputPort);
    const std::vector<float> in = Noise(static_cast<std::size_t>(block));
    std::vector<std::vector<float>> outs;
    for (std::uint32_t index = 0; index < ports; ++index) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, index);
        if (!lilv_port_is_a(plugin, port, audio)) {
            lilv_instance_connect_port(instance, index, &defaults[index]);
        } else if (lilv_port_is_a(plugin, port, input)) {
            lilv_instance_connect_port(instance, index, const_cast<float*>(in.data()));
        } else {
            outs.emplace_back(in.size());
            lilv_instance_connect_port(instance, index, outs.back().data());
        }
    }
    lilv_instance_activate(instance);
    for (auto _ : state) {
        lilv_instance_run(instance, static_cast<std::uint32_t>(block));
        benchmark::DoNotOptimize(outs.front().data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
    lilv_instance_deactivate(instance);
    lilv_instance_free(instance);
    lilv_node_free(input);
    lilv_node_free(audio);
    lilv_node_free(uri);
    lilv_world_free(world);
}

// ---- a room's taps, one module instance each ------------------------------------------------------------------

struct Loaded {
    std::unique_ptr<er_host::Library> library;
    std::vector<er_host::PinDescription> pins;
};

const Loaded& Module() {
    static const Loaded loaded = [] {
        Loaded result;
        std::string error;
        result.library = er_host::Library::Load(er_host::Library::DefaultModulePath(), error);
        if (result.library) {
            er_host::InstanceOptions probe;
            probe.open = false;
            probe.echo_errors = false;
            er_host::Instance instance(*result.library, probe);
            result.pins = instance.Pins();
        }
        return result;
    }();
    return loaded;
}

// The first `taps` taps of the studio at order `order` (both sides), or all of them when `taps` is 0.
er_render::RoomPattern StudioTaps(std::int32_t order, std::size_t taps) {
    er_room::Room room = *er_room::FindNamedRoom("studio");
    room.max_order = order;
    er_render::RoomPattern pattern = er_render::RealisePattern(room, RATE, {}, Module().pins);
    if (taps > 0 && taps < pattern.taps.size()) {
        // An even share of each side, in pattern order.
        std::vector<er_render::RoomTap> kept;
        const std::size_t half = pattern.taps.size() / 2;
        for (std::size_t i = 0; i < taps / 2; ++i) kept.push_back(pattern.taps[i]);
        for (std::size_t i = 0; i < taps - taps / 2; ++i) kept.push_back(pattern.taps[half + i]);
        pattern.taps = std::move(kept);
    }
    return pattern;
}

void Room(benchmark::State& state, std::int32_t order) {
    const auto block = static_cast<std::int32_t>(state.range(0));
    const auto taps = static_cast<std::size_t>(state.range(1));
    if (!Module().library) {
        state.SkipWithError("the module library is not beside the program");
        return;
    }
    const er_render::RoomPattern pattern = StudioTaps(order, taps);
    er_render::RenderJob job;
    job.rate = RATE;
    job.channels = 2;
    job.block = block;
    job.total_frames = INT32_MAX;
    job.input_frames = INT32_MAX;
    er_render::RoomRenderer renderer(*Module().library, job, pattern, 1);
    const std::vector<float> in = Noise(static_cast<std::size_t>(block));
    std::vector<double> wet(static_cast<std::size_t>(block) * 2);
    renderer.Start();
    std::int64_t position = 0;
    for (auto _ : state) {
        renderer.Step(position, block, in.data(), wet.data());
        position += block;
        benchmark::DoNotOptimize(wet.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
    // The memory of the taps' delay lines: each instance's line is the shortest that holds its delay.
    double line_bytes = 0.0;
    for (const er_render::RoomTap& tap : pattern.taps) line_bytes += 4.0 * static_cast<double>(tap.realised.buffer);
    state.counters["taps"] = static_cast<double>(pattern.taps.size());
    state.counters["line_bytes_per_tap"] = line_bytes / static_cast<double>(pattern.taps.size());
    state.counters["ns_per_frame_per_tap"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * block * static_cast<double>(pattern.taps.size()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

const bool REGISTERED = [] {
    auto* dragonfly = benchmark::RegisterBenchmark("dragonfly/early_default", Dragonfly);
    auto* studio = benchmark::RegisterBenchmark("room/studio_order3", Room, 3);
    for (std::int32_t block : BLOCKS) {
        dragonfly->Arg(block);
        studio->Args({block, 0});
    }
    auto* growing = benchmark::RegisterBenchmark("room/studio_taps", Room, 4);
    for (std::int32_t taps : {8, 16, 32, 64, 128}) growing->Args({256, taps});
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
