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
using er_bench::Lv2Run;

constexpr float RATE = 48000.0f;
constexpr std::int32_t BLOCKS[] = {64, 256, 1024};

// ---- LV2 plug-ins through lilv: Dragonfly Early Reflections and our room, each at its defaults -------------------

constexpr const char* DRAGONFLY = "urn:dragonfly:early";
constexpr const char* OUR_ROOM = "urn:early-reflection:ZV_1x_ER_Gen_room";

// The reflections a plug-in resolves, from its response to a unit impulse with the dry signal off (Dragonfly's
// filters opened fully): every peak of the first output within 60 dB of the largest (a sample above both
// neighbours and above the two beyond them).
double Reflections(const char* uri) {
    constexpr std::int32_t FRAMES = 24000;
    std::vector<float> impulse(FRAMES, 0.0f);
    impulse[0] = 1.0f;
    const bool dragonfly = std::string(uri) == DRAGONFLY;
    Lv2Run run(ER_LV2_BUNDLE, uri, RATE, FRAMES, {impulse.data()},
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
    Lv2Run run(ER_LV2_BUNDLE, uri, RATE, block, {in.data()});
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
