// The CLAP and VST3 plug-ins through the test host (host/PluginHost.h) as a DAW drives them: one parameterised
// suite over (format x plug-in), each case run against the built bundles. References: the shared core driven
// directly with the same controls and the same runs (every build), and on Linux er-render at the same block
// (Reference.h). Under wine the Windows bundles are checked against the core linked into this Windows program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "PluginHost.h"
#include "Reference.h"

namespace er_daw_test {
namespace {

using er_daw_host::Format;

constexpr double RATE = 48000.0;

struct Target {
    Format format;
    Kind kind;
};
std::string TargetName(const ::testing::TestParamInfo<Target>& info) {
    return std::string(er_daw_host::FormatName(info.param.format)) + "_" + KindName(info.param.kind);
}

// The bundle of a plug-in in the build: the layout the DAW plug-ins' build writes (daw/).
std::string BundlePath(const Target& target) {
    static const char* const STEMS[] = {"early_reflection", "early_reflection_stereo", "early_reflection_room"};
    const std::string stem = STEMS[static_cast<int>(target.kind)];
    return target.format == Format::Clap ? std::string(ER_DAW_PLUGIN_DIR) + "/clap/" + stem + ".clap"
                                         : std::string(ER_DAW_PLUGIN_DIR) + "/vst3/" + stem + ".vst3";
}

// A deterministic signal: a noise burst, then sparse clicks, so that taps and feedback show; each channel its own.
Channels Signal(std::uint32_t channels, std::size_t frames, std::uint32_t seed = 12345) {
    Channels signal(channels, std::vector<float>(frames, 0.0f));
    for (std::uint32_t c = 0; c < channels; ++c) {
        std::uint32_t state = seed + 7919 * c;
        for (std::size_t i = 0; i < frames; ++i) {
            state = state * 1664525u + 1013904223u;
            if (i < 300 || i % 997 == 0) signal[c][i] = static_cast<float>(static_cast<std::int32_t>(state)) / 2.2e9f;
        }
    }
    return signal;
}

// Where two renders first differ, for a failure message; empty when they are the same, bit for bit.
std::string FirstDifference(const Channels& got, const Channels& want) {
    if (got.size() != want.size()) {
        return std::to_string(got.size()) + " channels, want " + std::to_string(want.size());
    }
    for (std::size_t c = 0; c < got.size(); ++c) {
        if (got[c].size() != want[c].size()) return "channel " + std::to_string(c) + " has another length";
        for (std::size_t i = 0; i < got[c].size(); ++i) {
            if (std::memcmp(&got[c][i], &want[c][i], sizeof(float)) != 0) {
                return "channel " + std::to_string(c) + " sample " + std::to_string(i) + ": " +
                       std::to_string(got[c][i]) + ", want " + std::to_string(want[c][i]);
            }
        }
    }
    return "";
}

// Some sample is not zero: a comparison of two silences proves nothing.
bool Audible(const Channels& channels) {
    for (const auto& channel : channels) {
        for (const float x : channel) {
            if (x != 0.0f) return true;
        }
    }
    return false;
}

bool AllFinite(const Channels& channels, std::size_t from = 0) {
    for (const auto& channel : channels) {
        for (std::size_t i = from; i < channel.size(); ++i) {
            if (!std::isfinite(channel[i])) return false;
        }
    }
    return true;
}

// A block's events, by symbol, turned into the format's ids when handed to the plug-in.
struct Event {
    std::uint32_t frame;
    std::string symbol;
    double value;
};

// One binary per bundle for the whole program, as a host loads a plug-in once and makes many instances of it (its
// module-wide state must take that). Unloaded when the tests end, before the program's exit runs the binaries'
// own static destructors: a host unloads its plug-ins, it does not leave them to the end of the process.
class LoadedBinaries : public ::testing::Environment {
public:
    static std::map<std::string, std::unique_ptr<er_daw_host::Binary>>& Get() { return s_binaries; }
    void TearDown() override { s_binaries.clear(); }

private:
    static inline std::map<std::string, std::unique_ptr<er_daw_host::Binary>> s_binaries;
};
const auto* const LOADED_BINARIES = ::testing::AddGlobalTestEnvironment(new LoadedBinaries);

class DawPlugin : public ::testing::TestWithParam<Target> {
protected:
    void SetUp() override {
        const Target target = GetParam();
        std::string error;
        auto& binary = LoadedBinaries::Get()[BundlePath(target)];
        if (!binary) binary = er_daw_host::Binary::Load(target.format, BundlePath(target), error);
        ASSERT_TRUE(binary) << error;
        m_binary = binary.get();
        const std::vector<std::string> plugins = m_binary->Plugins();
        ASSERT_EQ(plugins.size(), 1u) << BundlePath(target);
        m_plugin = plugins[0];
    }

    Kind kind() const { return GetParam().kind; }
    Format format() const { return GetParam().format; }

    std::unique_ptr<er_daw_host::Instance> Make() {
        std::string error;
        std::unique_ptr<er_daw_host::Instance> instance = m_binary->Create(m_plugin, error);
        EXPECT_TRUE(instance) << error;
        if (instance) {
            EXPECT_EQ(instance->InputChannels(), InputChannels(kind()));
            EXPECT_EQ(instance->OutputChannels(), OutputChannels(kind()));
        }
        return instance;
    }

    // The parameter of a control: CLAP knows it by symbol, VST3 by the core's display name.
    const er_daw_host::Parameter* Param(er_daw_host::Instance& instance, const std::string& symbol) {
        if (const auto* parameter = instance.Find(symbol)) return parameter;
        for (const Control& control : ControlsOf(kind())) {
            if (control.symbol == symbol) return instance.Find(control.name);
        }
        return nullptr;
    }
    void Set(er_daw_host::Instance& instance, const std::string& symbol, double value) {
        const er_daw_host::Parameter* parameter = Param(instance, symbol);
        ASSERT_NE(parameter, nullptr) << "no parameter for " << symbol;
        EXPECT_TRUE(instance.Set(parameter->id, value)) << symbol << " " << instance.LastError();
    }
    void SetAll(er_daw_host::Instance& instance, const Controls& controls) {
        for (const auto& [symbol, value] : controls) Set(instance, symbol, value);
    }

    // Runs `input` through an active instance in `runs` (repeated), `changes` set at the start of the run they fall
    // on (Instance::Set), `events` handed to the run they fall in at their frame within it. The plug-in gets the
    // input and output in place, or with `same_buffers` in buffers of the host's own that every call reuses (as most
    // hosts do: the input copied in before a call, the output out after it).
    Channels Play(er_daw_host::Instance& instance, const Channels& input, const std::vector<std::uint32_t>& runs,
                  const std::vector<Change>& changes = {}, const std::vector<Event>& events = {},
                  bool same_buffers = false) {
        const std::size_t frames = input.empty() ? 0 : input[0].size();
        Channels output(instance.OutputChannels(), std::vector<float>(frames, 0.0f));
        const std::uint32_t longest = *std::max_element(runs.begin(), runs.end());
        Channels host_in(same_buffers ? input.size() : 0, std::vector<float>(longest));
        Channels host_out(same_buffers ? output.size() : 0, std::vector<float>(longest));
        std::size_t done = 0;
        for (std::size_t r = 0; done < frames; ++r) {
            const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(runs[r % runs.size()], frames - done));
            for (const Change& change : changes) {
                if (change.frame == done) Set(instance, change.symbol, change.value);
            }
            std::vector<er_daw_host::ParameterEvent> block;
            for (const Event& event : events) {
                if (event.frame >= done && event.frame < done + count) {
                    const auto* parameter = Param(instance, event.symbol);
                    if (parameter != nullptr) {
                        block.push_back({static_cast<std::uint32_t>(event.frame - done), parameter->id, event.value});
                    }
                }
            }
            std::vector<const float*> in;
            std::vector<float*> out;
            if (same_buffers) {
                for (std::size_t c = 0; c < input.size(); ++c) {
                    std::copy_n(input[c].begin() + static_cast<std::ptrdiff_t>(done), count, host_in[c].begin());
                    in.push_back(host_in[c].data());
                }
                for (auto& channel : host_out) out.push_back(channel.data());
            } else {
                for (const auto& channel : input) in.push_back(channel.data() + done);
                for (auto& channel : output) out.push_back(channel.data() + done);
            }
            EXPECT_TRUE(instance.Process(in.data(), out.data(), count, block)) << instance.LastError();
            for (std::size_t c = 0; c < host_out.size(); ++c) {
                std::copy_n(host_out[c].begin(), count, output[c].begin() + static_cast<std::ptrdiff_t>(done));
            }
            done += count;
        }
        return output;
    }

    // `input` through a fresh instance as the benchmark plays it: one call prepared and handed again, block by
    // block, on the same buffers (the input copied in before each call, the output out after it).
    Channels Repeated(const Controls& controls, const Channels& input, std::uint32_t block) {
        auto instance = Make();
        if (!instance) return {};
        SetAll(*instance, controls);
        EXPECT_TRUE(instance->Activate(RATE, block)) << instance->LastError();
        Channels in_buffers(input.size(), std::vector<float>(block)), out_buffers(instance->OutputChannels(), std::vector<float>(block));
        std::vector<const float*> in;
        std::vector<float*> out;
        for (const auto& channel : in_buffers) in.push_back(channel.data());
        for (auto& channel : out_buffers) out.push_back(channel.data());
        const std::size_t frames = input[0].size() / block * block;
        Channels output(out_buffers.size(), std::vector<float>(frames));
        for (std::size_t done = 0; done < frames; done += block) {
            for (std::size_t c = 0; c < input.size(); ++c) {
                std::copy_n(input[c].begin() + static_cast<std::ptrdiff_t>(done), block, in_buffers[c].begin());
            }
            if (done == 0) {
                EXPECT_TRUE(instance->PrepareRepeat(in.data(), out.data(), block)) << instance->LastError();
            } else {
                instance->Repeat();
            }
            for (std::size_t c = 0; c < out_buffers.size(); ++c) {
                std::copy(out_buffers[c].begin(), out_buffers[c].end(), output[c].begin() + static_cast<std::ptrdiff_t>(done));
            }
        }
        instance->Deactivate();
        return output;
    }

    // A fresh instance with `controls` set before activation, activated at `rate` with `max_block`, over `input`.
    Channels Render(const Controls& controls, const Channels& input, const std::vector<std::uint32_t>& runs,
                    std::int32_t max_block, double rate = RATE, const std::vector<Change>& changes = {},
                    bool same_buffers = false) {
        auto instance = Make();
        if (!instance) return {};
        SetAll(*instance, controls);
        EXPECT_TRUE(instance->Activate(rate, static_cast<std::uint32_t>(max_block))) << instance->LastError();
        Channels output = Play(*instance, input, runs, changes, {}, same_buffers);
        instance->Deactivate();
        return output;
    }

    // Settings that exercise the plug-in: for the effects feedback, damping and a delay off the default; for the
    // room another room and shape. Smoothing off: every value takes effect at once, as the references play.
    Controls Busy() const {
        if (kind() == Kind::Room) return {{"room", 3}, {"size", 0.75f}, {"dry", -6}, {"wet", -3}, {"smooth", 0}};
        return {{"time", 12.375f}, {"time_accuracy", 1}, {"routing_mode", 3}, {"feedback", 5}, {"damping", 3},
                {"volume", 7.5f}, {"smooth", 0}};
    }

    er_daw_host::Binary* m_binary = nullptr;
    std::string m_plugin;
};

// ---- bit for bit: er-render at the same block (Linux), the core at any split ----------------------------------

// Settings each plug-in is rendered with (every routing variant and accuracy for the effects; rooms, shapes and a
// window for the room); smoothing off in all of them.
struct Setting {
    Kind kind;  // the room's settings apply to the room alone, the effects' to mono and stereo
    Controls controls;
};
const Setting SETTINGS[] = {
    {Kind::Mono, {{"time", 25}, {"feedback", 4}, {"damping", 3}, {"smooth", 0}}},
    {Kind::Mono, {{"time", 12.375f}, {"routing_mode", 0}, {"feedback", -6}, {"damping", 2.5f}, {"smooth", 0}}},
    {Kind::Mono, {{"time", 12.375f}, {"routing_mode", 2}, {"feedback", 5}, {"damping", 1}, {"volume", 7.5f}, {"smooth", 0}}},
    {Kind::Mono, {{"time", 12.375f}, {"time_accuracy", 2}, {"routing_mode", 3}, {"feedback", 2}, {"volume_mode", 1}, {"smooth", 0}}},
    {Kind::Mono, {{"time", 37.5f}, {"time_mode", 2}, {"time_accuracy", 1}, {"feedback", 7}, {"smooth", 0}}},
    {Kind::Room, {{"dry", -70}, {"wet", 0}, {"smooth", 0}}},
    {Kind::Room, {{"room", 3}, {"size", 0.5f}, {"width", 2.5f}, {"dry", -6}, {"wet", -3}, {"smooth", 0}}},
    {Kind::Room, {{"room", 1}, {"window", 30}, {"dry", -70}, {"wet", 0}, {"smooth", 0}}},
};
const std::uint32_t BLOCKS[] = {1, 7, 64, 256, 1000, 4096};
// Uneven runs (repeated over the signal): what a host with a changing buffer or split automation hands over.
const std::vector<std::uint32_t> SPLITS[] = {{1, 7, 64, 256, 1000, 4096}, {4096, 3, 511, 1, 2048, 17}, {333, 1, 1}};

std::vector<Controls> SettingsFor(Kind kind) {
    std::vector<Controls> settings;
    for (const Setting& setting : SETTINGS) {
        if ((setting.kind == Kind::Room) == (kind == Kind::Room)) settings.push_back(setting.controls);
    }
    return settings;
}
std::string Describe(const Controls& controls) {
    std::string text;
    for (const auto& [symbol, value] : controls) text += symbol + "=" + std::to_string(value) + " ";
    return text;
}

#if defined(ER_RENDER_PATH)
TEST_P(DawPlugin, PlaysErRenderBitForBitAtEveryBlockSize) {
    const Channels input = Signal(InputChannels(kind()), 12000);
    for (const Controls& controls : SettingsFor(kind())) {
        for (const std::uint32_t block : BLOCKS) {
            std::string error;
            const auto want = ErRender(kind(), RATE, static_cast<std::int32_t>(block), controls, input, error);
            ASSERT_TRUE(want) << error;
            const Channels got = Render(controls, input, {block}, static_cast<std::int32_t>(block));
            // er-render writes a room at one ear (width 0) as one channel; the plug-in plays it at both.
            EXPECT_EQ(FirstDifference(got, *want), "") << "block " << block << ": " << Describe(controls);
        }
    }
    // The comparison can tell block sizes apart: the block-rate routines play differently at 1 and at 256.
    std::string error;
    const auto one = ErRender(kind(), RATE, 1, SettingsFor(kind())[0], input, error);
    ASSERT_TRUE(one) << error;
    EXPECT_NE(FirstDifference(Render(SettingsFor(kind())[0], input, {256}, 256), *one), "");
}
#endif

TEST_P(DawPlugin, PlaysTheCoreBitForBitAtUniformAndUnevenRuns) {
    const Channels input = Signal(InputChannels(kind()), 24000);
    for (const Controls& controls : SettingsFor(kind())) {
        for (const std::uint32_t block : BLOCKS) {
            const auto max_block = static_cast<std::int32_t>(block);
            const Channels got = Render(controls, input, {block}, max_block);
            EXPECT_TRUE(Audible(got)) << Describe(controls);
            EXPECT_EQ(FirstDifference(got, CoreRender(kind(), RATE, max_block, controls, input, {block})), "")
                << "block " << block << ": " << Describe(controls);
        }
        EXPECT_EQ(FirstDifference(Repeated(controls, input, 64), CoreRender(kind(), RATE, 64, controls, input, {64})), "")
            << "the benchmark's repeated call: " << Describe(controls);
        for (const auto& runs : SPLITS) {
            EXPECT_EQ(FirstDifference(Render(controls, input, runs, 4096),
                                      CoreRender(kind(), RATE, 4096, controls, input, runs)),
                      "")
                << "uneven runs from " << runs[0] << ": " << Describe(controls);
        }
    }
}

// ---- automation ------------------------------------------------------------------------------------------------

// Changes a host makes while playing, smoothing on (the default) and off: each plays as the core plays the same
// change at the same run, which is what the LV2 plug-in does with a port changed between runs. (A new line or
// room is made on the plug-in's own worker thread, whenever that gets to it: such changes have no sample to be
// held to here; the core's and the LV2 plug-in's tests drive them with a worker of their own.)
struct Automation {
    const char* name;
    Kind kind;  // Mono: both effects
    Controls start;
    std::vector<Change> changes;
};
const Automation AUTOMATIONS[] = {
    {"time glides", Kind::Mono, {{"time", 25}}, {{4096, "time", 40}, {9216, "time", 12.5f}}},
    {"volume ramps", Kind::Mono, {{"time", 10}, {"feedback", 3}}, {{2048, "volume", 2}, {8192, "volume", 10}}},
    {"feedback and damping", Kind::Mono, {{"time", 10}}, {{2048, "feedback", 8}, {6144, "damping", 6}, {8192, "feedback", -4}}},
    {"routing and accuracy", Kind::Mono, {{"time", 12.375f}, {"feedback", 4}}, {{3072, "routing_mode", 2}, {7168, "time_accuracy", 2}}},
    {"no smoothing", Kind::Mono, {{"time", 25}, {"smooth", 0}}, {{2048, "time", 5}, {4096, "volume", 3}, {6144, "feedback", 6}}},
    // The plain delay, whose steady runs go straight to the module's routine: a change must leave that way.
    {"plain delay", Kind::Mono, {{"time", 25}, {"routing_mode", 0}, {"smooth", 0}}, {{2048, "time", 12.5f}, {6144, "volume", 4}}},
    {"room levels", Kind::Room, {}, {{2048, "wet", -3}, {6144, "dry", -70}}},
    {"room levels, no smoothing", Kind::Room, {{"smooth", 0}}, {{2048, "wet", 0}, {6144, "dry", -20}}},
};

TEST_P(DawPlugin, ChangesWhilePlayingPlayAsTheCorePlaysThem) {
    const Channels input = Signal(InputChannels(kind()), 12288);
    int checked = 0;
    for (const Automation& automation : AUTOMATIONS) {
        if ((automation.kind == Kind::Room) != (kind() == Kind::Room)) continue;
        ++checked;
        const Channels got = Render(automation.start, input, {256}, 256, RATE, automation.changes);
        const Channels want = CoreRender(kind(), RATE, 256, automation.start, input, {256}, automation.changes);
        EXPECT_EQ(FirstDifference(got, want), "") << automation.name;
        EXPECT_EQ(FirstDifference(Render(automation.start, input, {256}, 256, RATE, automation.changes, true), want), "")
            << automation.name << ", the host's buffers reused";
        // The changes are heard: without them the output differs.
        EXPECT_NE(FirstDifference(got, CoreRender(kind(), RATE, 256, automation.start, input, {256})), "")
            << automation.name;
    }
    EXPECT_GT(checked, 0);
}

// Smoothing, as a listener hears it (the controls that take effect in the audio thread; see above for the line and
// the room): on a steady sine over a constant (so that a change of level steps whatever
// the sine's phase), the largest step from one sample to the next in the 100 ms after a change, against the
// largest in the steady 100 ms before it and after it (a louder echo has larger steps of its own). With smoothing
// every change stays near the steady steps (a glide of the delay shifts the pitch by up to half, hence the bound
// of 2); without, each jumps well past them, so the comparison can tell.
struct Jump {
    Kind kind;  // Mono: both effects
    const char* symbol;
    float from, to;
};
const Jump JUMPS[] = {
    {Kind::Mono, "time", 25, 40},        {Kind::Mono, "time", 25, 5},       {Kind::Mono, "volume", 5, 1},
    {Kind::Mono, "time_mode", 1, 2},     {Kind::Mono, "feedback", 4, -4},   {Kind::Mono, "damping", 0, 8},
    {Kind::Mono, "volume_mode", 0, 1},   {Kind::Mono, "mix", 100, 0},       {Kind::Mono, "delay", 0, 60},
    {Kind::Room, "wet", -12, 0},         {Kind::Room, "dry", 0, -70},       {Kind::Room, "dry", 0, -20},
};

double LargestStep(const Channels& channels, std::size_t from, std::size_t to) {
    double largest = 0.0;
    for (const auto& channel : channels) {
        for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i) {
            largest = std::max(largest, std::abs(static_cast<double>(channel[i]) - channel[i - 1]));
        }
    }
    return largest;
}

TEST_P(DawPlugin, SmoothingKeepsEveryChangeFromStepping) {
    constexpr std::size_t CHANGE = 19200, SPAN = 4800;
    Channels input(InputChannels(kind()), std::vector<float>(CHANGE + 2 * SPAN));
    for (auto& channel : input) {
        for (std::size_t i = 0; i < channel.size(); ++i) {
            channel[i] = static_cast<float>(0.3 + 0.2 * std::sin(static_cast<double>(i) * 0.05));
        }
    }
    // The effects at half level, so that a change of the level law is heard.
    const Controls start = kind() == Kind::Room ? Controls{} : Controls{{"time", 25}, {"volume", 5}};
    int checked = 0;
    for (const Jump& jump : JUMPS) {
        if ((jump.kind == Kind::Room) != (kind() == Kind::Room)) continue;
        ++checked;
        for (const float smooth : {1.0f, 0.0f}) {
            Controls controls = start;
            controls.emplace_back(jump.symbol, jump.from);
            controls.emplace_back("smooth", smooth);
            const Channels output = Render(controls, input, {256}, 256, RATE, {{CHANGE, jump.symbol, jump.to}});
            const double steady = std::max(LargestStep(output, CHANGE - SPAN, CHANGE),
                                           LargestStep(output, CHANGE + SPAN, CHANGE + 2 * SPAN));
            const double ratio = LargestStep(output, CHANGE, CHANGE + SPAN) / steady;
            if (smooth > 0.0f) {
                EXPECT_LE(ratio, 2.0) << jump.symbol << " " << jump.from << " to " << jump.to << " with smoothing";
            } else {
                EXPECT_GT(ratio, 3.0) << jump.symbol << " " << jump.from << " to " << jump.to << " without smoothing";
            }
        }
    }
    EXPECT_GT(checked, 0);
}

// Time-stamped events inside a block: both formats cut the block at each event's frame, so a change is heard from
// the frame it was meant for, whatever the order the events come in across controls (VST3 hands them a queue per
// parameter). Changes heard at once: the mix, the level, the room's levels.
struct InsideBlock {
    const char* name;
    Kind kind;  // Mono: both effects
    std::vector<Event> events;
};
const InsideBlock INSIDE_BLOCKS[] = {
    {"one point", Kind::Mono, {{2048 + 100, "mix", 30}}},
    {"points of two controls", Kind::Mono, {{2048 + 100, "mix", 30}, {2048 + 40, "volume", 4}, {2048 + 300, "mix", 60}}},
    {"a point at the block's last frame", Kind::Mono, {{2048 + 511, "mix", 0}}},
    {"one point", Kind::Room, {{2048 + 100, "wet", 0}}},
    {"points of two controls", Kind::Room, {{2048 + 100, "wet", 0}, {2048 + 40, "dry", -20}, {2048 + 300, "wet", -40}}},
};

TEST_P(DawPlugin, EventsInsideABlockLandAtTheirFrames) {
    // A steady sine: sound at every frame, so that a change shows at the frame it lands on.
    Channels input(InputChannels(kind()), std::vector<float>(8192));
    for (auto& channel : input) {
        for (std::size_t i = 0; i < channel.size(); ++i) channel[i] = static_cast<float>(0.3 * std::sin(0.05 * static_cast<double>(i)));
    }
    const Controls start = {{"smooth", 0}};
    int checked = 0;
    for (const InsideBlock& inside : INSIDE_BLOCKS) {
        if ((inside.kind == Kind::Room) != (kind() == Kind::Room)) continue;
        ++checked;
        auto instance = Make();
        ASSERT_TRUE(instance);
        SetAll(*instance, start);
        ASSERT_TRUE(instance->Activate(RATE, 512));
        const Channels got = Play(*instance, input, {512}, {}, inside.events);
        std::vector<Change> changes;
        for (const Event& event : inside.events) changes.push_back({event.frame, event.symbol, static_cast<float>(event.value)});
        EXPECT_EQ(FirstDifference(got, CoreRender(kind(), RATE, 512, start, input, {512}, changes)), "") << inside.name;
        // Where the block starts is another sound: the comparison can tell.
        for (Change& change : changes) change.frame = 2048;
        EXPECT_NE(FirstDifference(got, CoreRender(kind(), RATE, 512, start, input, {512}, changes)), "") << inside.name;
    }
    EXPECT_GT(checked, 0);
}

// A call of no samples (a host flushing parameters between blocks) takes its events: the next block plays them
// from its first frame, as the core plays a change there.
TEST_P(DawPlugin, ACallOfNoSamplesTakesItsEvents) {
    Channels input(InputChannels(kind()), std::vector<float>(4096));
    for (auto& channel : input) {
        for (std::size_t i = 0; i < channel.size(); ++i) channel[i] = static_cast<float>(0.3 * std::sin(0.05 * static_cast<double>(i)));
    }
    const Controls start = {{"smooth", 0}};
    const Change change = kind() == Kind::Room ? Change{2048, "wet", 0} : Change{2048, "mix", 30};
    auto instance = Make();
    ASSERT_TRUE(instance);
    SetAll(*instance, start);
    ASSERT_TRUE(instance->Activate(RATE, 256));
    Channels head(input.size()), rest(input.size());
    for (std::size_t c = 0; c < input.size(); ++c) {
        head[c].assign(input[c].begin(), input[c].begin() + 2048);
        rest[c].assign(input[c].begin() + 2048, input[c].end());
    }
    Channels got = Play(*instance, head, {256});
    const auto* parameter = Param(*instance, change.symbol);
    ASSERT_NE(parameter, nullptr);
    std::vector<const float*> in;
    std::vector<float*> out;
    for (auto& channel : rest) in.push_back(channel.data());
    std::vector<float> untouched(1, 0.0f);
    for (std::size_t c = 0; c < got.size(); ++c) out.push_back(untouched.data());
    const er_daw_host::ParameterEvent event{0, parameter->id, change.value};
    ASSERT_TRUE(instance->Process(in.data(), out.data(), 0, {&event, 1})) << instance->LastError();
    EXPECT_EQ(untouched[0], 0.0f);  // nothing written
    const Channels more = Play(*instance, rest, {256});
    for (std::size_t c = 0; c < got.size(); ++c) got[c].insert(got[c].end(), more[c].begin(), more[c].end());
    EXPECT_EQ(FirstDifference(got, CoreRender(kind(), RATE, 256, start, input, {256}, {change})), "");
}

// ---- readings --------------------------------------------------------------------------------------------------

// The effects' readings (the delay played, in samples and in ms) go to the host when they change and only then: a
// host draws them, and one point each call would cost every call. What was sent is what the plug-in reads back.
TEST_P(DawPlugin, ReadingsAreSentWhenTheyChangeAndOnlyThen) {
    if (kind() == Kind::Room) GTEST_SKIP() << "the room has no reading";
    const Channels input = Signal(InputChannels(kind()), 256);
    auto instance = Make();
    ASSERT_TRUE(instance);
    SetAll(*instance, {{"time", 25}, {"smooth", 0}});
    ASSERT_TRUE(instance->Activate(RATE, 256));
    std::map<std::uint32_t, double> last;  // by parameter id
    std::map<std::uint32_t, int> sends;
    const auto play = [&](int blocks, const std::vector<Event>& events) {
        for (int b = 0; b < blocks; ++b) {
            Play(*instance, input, {256}, {}, b == 0 ? events : std::vector<Event>{});
            for (const auto& sent : instance->Sent()) {
                const auto parameter = std::find_if(instance->Parameters().begin(), instance->Parameters().end(),
                                                     [&](const auto& p) { return p.id == sent.id; });
                ASSERT_NE(parameter, instance->Parameters().end());
                EXPECT_TRUE(parameter->read_only) << parameter->name << " sent";
                last[sent.id] = sent.value;
                ++sends[sent.id];
            }
        }
    };
    play(40, {});
    const auto* milliseconds = Param(*instance, "delay_ms");
    ASSERT_NE(milliseconds, nullptr);
    ASSERT_TRUE(last.count(milliseconds->id));
    EXPECT_NEAR(last[milliseconds->id], 25.0, 0.05);
    for (const auto& [id, count] : sends) {
        EXPECT_LE(count, 3) << "parameter " << id << " sent in " << count << " of 40 calls";
        EXPECT_EQ(instance->Get(id), last[id]) << "parameter " << id;
    }
    // A new time: its reading goes out, once it plays.
    sends.clear();
    play(40, {{0, "time", 40}});
    ASSERT_TRUE(last.count(milliseconds->id));
    EXPECT_NEAR(last[milliseconds->id], 40.0, 0.05);
    EXPECT_GE(sends[milliseconds->id], 1);
    EXPECT_LE(sends[milliseconds->id], 3);
}

// ---- state and programs ----------------------------------------------------------------------------------------

// A value for every control other than its default and inside its range: the middle of a float's range, the
// entry after the default of a choice (the first if the default is the last).
Controls Unusual(Kind kind) {
    Controls controls;
    for (const Control& control : ControlsOf(kind)) {
        if (control.reading || control.symbol == "gate") continue;
        float value = control.choice ? control.default_value + 1.0f : 0.5f * (control.minimum + control.maximum);
        if (value > control.maximum || value == control.default_value) value = control.minimum;
        if (control.symbol == "active") continue;  // off would play the input alone: its own case below
        controls.emplace_back(control.symbol, value);
    }
    return controls;
}

TEST_P(DawPlugin, StateRestoresEveryParameterAndTheSamples) {
    const Channels input = Signal(InputChannels(kind()), 8192);
    const Controls controls = Unusual(kind());
    auto first = Make();
    ASSERT_TRUE(first);
    SetAll(*first, controls);
    ASSERT_TRUE(first->Activate(RATE, 256));
    Play(*first, input, {256});
    const auto state = first->SaveState();
    ASSERT_TRUE(state) << first->LastError();
    first->Deactivate();

    auto second = Make();
    ASSERT_TRUE(second);
    ASSERT_TRUE(second->LoadState(*state)) << second->LastError();
    for (const auto& [symbol, value] : controls) {
        const auto* parameter = Param(*second, symbol);
        ASSERT_NE(parameter, nullptr) << symbol;
        const auto restored = second->Get(parameter->id);
        ASSERT_TRUE(restored) << symbol;
        EXPECT_FLOAT_EQ(static_cast<float>(*restored), value) << symbol << " after the round trip";
    }
    // Both play the same from a fresh activation, and that is what the core plays with the controls set.
    ASSERT_TRUE(first->Activate(RATE, 256));
    ASSERT_TRUE(second->Activate(RATE, 256));
    const Channels a = Play(*first, input, {256});
    EXPECT_EQ(FirstDifference(Play(*second, input, {256}), a), "");
    EXPECT_EQ(FirstDifference(a, CoreRender(kind(), RATE, 256, controls, input, {256})), "");
}

// A state loaded while the plug-in plays (a host restoring a preset mid-song) takes effect from the next call, as
// the same values set there do, and reads back so.
TEST_P(DawPlugin, StateLoadedWhilePlayingTakesEffectAtTheNextCall) {
    const Controls loaded = kind() == Kind::Room ? Controls{{"dry", -6}, {"wet", -3}, {"smooth", 0}} : Busy();
    auto source = Make();
    ASSERT_TRUE(source);
    SetAll(*source, loaded);
    const auto state = source->SaveState();
    ASSERT_TRUE(state) << source->LastError();

    const std::size_t HALF = 4096;
    const Channels input = Signal(InputChannels(kind()), 2 * HALF);
    Channels first(input.size()), second(input.size());
    for (std::size_t c = 0; c < input.size(); ++c) {
        first[c].assign(input[c].begin(), input[c].begin() + HALF);
        second[c].assign(input[c].begin() + HALF, input[c].end());
    }
    auto instance = Make();
    ASSERT_TRUE(instance);
    SetAll(*instance, {{"smooth", 0}});
    ASSERT_TRUE(instance->Activate(RATE, 256));
    Channels got = Play(*instance, first, {256});
    ASSERT_TRUE(instance->LoadState(*state)) << instance->LastError();
    const Channels rest = Play(*instance, second, {256});
    for (std::size_t c = 0; c < got.size(); ++c) got[c].insert(got[c].end(), rest[c].begin(), rest[c].end());
    std::vector<Change> changes;
    for (const auto& [symbol, value] : loaded) changes.push_back({HALF, symbol, value});
    EXPECT_EQ(FirstDifference(got, CoreRender(kind(), RATE, 256, {{"smooth", 0}}, input, {256}, changes)), "");
    for (const auto& [symbol, value] : loaded) {
        const auto* parameter = Param(*instance, symbol);
        ASSERT_NE(parameter, nullptr) << symbol;
        const auto shown = instance->Get(parameter->id);
        ASSERT_TRUE(shown) << symbol;
        EXPECT_FLOAT_EQ(static_cast<float>(*shown), value) << symbol << " after a load while playing";
    }
}

// The effects' switch ("active" off: the input passes) survives too, and plays as it did.
TEST_P(DawPlugin, StateRestoresTheSwitch) {
    if (kind() == Kind::Room) GTEST_SKIP() << "the room has no switch";
    const Channels input = Signal(InputChannels(kind()), 2048);
    auto first = Make();
    ASSERT_TRUE(first);
    Set(*first, "active", 0);
    ASSERT_TRUE(first->Activate(RATE, 256));
    Play(*first, input, {256});
    first->Deactivate();
    const auto state = first->SaveState();
    ASSERT_TRUE(state);
    auto second = Make();
    ASSERT_TRUE(second->LoadState(*state));
    const auto* active = Param(*second, "active");
    ASSERT_NE(active, nullptr);
    EXPECT_EQ(second->Get(active->id), 0.0);
    ASSERT_TRUE(second->Activate(RATE, 256));
    EXPECT_EQ(FirstDifference(Play(*second, input, {256}), input), "");
}

// A stream that is no state of the plug-in's (another plug-in's bytes, nothing), or a state cut short, changes
// nothing, even while playing: the instance keeps every value and plays on as if it had never been offered; VST3
// refuses it (CLAP's state passes over what it does not know, so only a foreign stream is its case). A good state
// is taken afterwards.
TEST_P(DawPlugin, AStateThatIsNotOneChangesNothing) {
    const Channels input = Signal(InputChannels(kind()), 4096);
    auto saved = Make();
    ASSERT_TRUE(saved);
    SetAll(*saved, Unusual(kind()));
    const auto state = saved->SaveState();
    ASSERT_TRUE(state && state->size() > 8);
    struct Bad {
        const char* name;
        std::vector<std::uint8_t> bytes;
        bool vst3_only;
    };
    const std::string text = "an\nother plug-in's\0state";
    const std::vector<Bad> BADS = {
        {"foreign", {text.begin(), text.end()}, false},
        {"empty", {}, false},
        {"cut in half", {state->begin(), state->begin() + static_cast<std::ptrdiff_t>(state->size() / 2)}, true},
        {"cut before its end mark", {state->begin(), state->end() - 2}, true},
    };
    const Controls busy = Busy();
    for (const Bad& bad : BADS) {
        if (bad.vst3_only && format() != Format::Vst3) continue;
        auto instance = Make();
        ASSERT_TRUE(instance);
        SetAll(*instance, busy);
        std::vector<std::optional<double>> before;
        for (const auto& parameter : instance->Parameters()) before.push_back(instance->Get(parameter.id));
        EXPECT_EQ(instance->LoadState(bad.bytes), format() == Format::Clap) << bad.name;
        for (std::size_t i = 0; i < before.size(); ++i) {
            EXPECT_EQ(instance->Get(instance->Parameters()[i].id), before[i]) << bad.name << " " << instance->Parameters()[i].name;
        }
        // While playing: offered between two blocks, it leaves the sound as it was.
        ASSERT_TRUE(instance->Activate(RATE, 256));
        Channels got = Play(*instance, input, {256});
        instance->LoadState(bad.bytes);
        const Channels more = Play(*instance, input, {256});
        got[0].insert(got[0].end(), more[0].begin(), more[0].end());
        Channels twice = input;
        for (auto& channel : twice) channel.insert(channel.end(), channel.begin(), channel.end());
        EXPECT_EQ(FirstDifference({got[0]}, {CoreRender(kind(), RATE, 256, busy, twice, {256})[0]}), "") << bad.name;
        // A good state is taken after the refusals.
        instance->Deactivate();
        ASSERT_TRUE(instance->LoadState(*state)) << instance->LastError();
        for (const auto& [symbol, value] : Unusual(kind())) {
            EXPECT_FLOAT_EQ(static_cast<float>(*instance->Get(Param(*instance, symbol)->id)), value) << bad.name << " " << symbol;
        }
    }
}

// Every program (VST3's program-change parameter: "Default", the presets and for the room the named rooms) sets its
// values, survives a state round trip into a fresh instance, and the two play the same samples; the programs differ
// from each other in sound. CLAP 1.1 (the headers the plug-ins are built on) has no program selection.
TEST_P(DawPlugin, ProgramsSurviveAStateRoundTrip) {
    if (format() == Format::Clap) GTEST_SKIP() << "CLAP 1.1 offers no program selection to a host";
    const Channels input = Signal(InputChannels(kind()), 8192);
    auto probe = Make();
    ASSERT_TRUE(probe);
    const er_daw_host::Parameter* program = nullptr;
    for (const auto& parameter : probe->Parameters()) {
        if (parameter.program_change) program = &parameter;
    }
    ASSERT_NE(program, nullptr);
    const auto count = static_cast<std::int32_t>(program->maximum) + 1;
    ASSERT_GE(count, 2);
    std::vector<Channels> played;
    for (std::int32_t p = 0; p < count; ++p) {
        auto first = Make();
        ASSERT_TRUE(first->SelectProgram(p)) << first->LastError();
        const auto state = first->SaveState();
        ASSERT_TRUE(state);
        auto second = Make();
        ASSERT_TRUE(second->LoadState(*state));
        // Every value the program set comes back, and the program is shown as chosen (a host's program menu).
        EXPECT_EQ(second->Get(program->id), p);
        for (const auto& parameter : first->Parameters()) {
            if (parameter.read_only) continue;
            EXPECT_EQ(first->Get(parameter.id), second->Get(parameter.id)) << "program " << p << " " << parameter.name;
        }
        ASSERT_TRUE(first->Activate(RATE, 512));
        ASSERT_TRUE(second->Activate(RATE, 512));
        played.push_back(Play(*first, input, {512}));
        EXPECT_EQ(FirstDifference(Play(*second, input, {512}), played.back()), "") << "program " << p;
    }
    for (std::size_t p = 1; p < played.size(); ++p) {
        EXPECT_NE(FirstDifference(played[p], played[p - 1]), "") << "programs " << p - 1 << " and " << p;
    }
}

#if defined(ER_RENDER_PATH)
// Each program plays what er-render plays with the same settings, bit for bit (smoothing off, which no program
// holds): the effects' presets are er-render's settings files (`--settings`, after the plug-in's defaults; "Default"
// is those defaults alone), the room's programs its named rooms. A preset whose time is a ramp ("sweep") starts
// where the ramp starts, which er-render would glide from: it is left out.
TEST_P(DawPlugin, ProgramsPlayWhatErRenderPlays) {
    if (format() == Format::Clap) GTEST_SKIP() << "CLAP 1.1 offers no program selection to a host";
    const Channels input = Signal(InputChannels(kind()), 12000);
    const std::vector<std::string> names = Make()->ProgramNames();
    ASSERT_GE(names.size(), 2u);
    int compared = 0;
    for (std::size_t p = 0; p < names.size(); ++p) {
        Controls controls = {{"smooth", 0}};
        std::string settings;
        if (kind() == Kind::Room) {
            if (p > 0) controls.emplace_back("room", static_cast<float>(p - 1));  // after "Default", the named rooms
        } else if (p > 0) {
            settings = std::string(ER_PRESETS_DIR) + "/" + names[p] + ".settings";
            std::ifstream file(settings);
            ASSERT_TRUE(file) << settings;
            const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            if (text.find("..") != std::string::npos) continue;
        }
        auto instance = Make();
        ASSERT_TRUE(instance->SelectProgram(static_cast<std::int32_t>(p)));
        Set(*instance, "smooth", 0);
        ASSERT_TRUE(instance->Activate(RATE, 256));
        const Channels got = Play(*instance, input, {256});
        std::string error;
        const auto want = ErRender(kind(), RATE, 256, controls, input, error, settings);
        ASSERT_TRUE(want) << error;
        EXPECT_EQ(FirstDifference(got, *want), "") << "program " << p << " " << names[p];
        ++compared;
    }
    EXPECT_GE(compared, 4);
}
#endif

// ---- values a host should not send -----------------------------------------------------------------------------

// Not a number, infinities and values far beyond the range, to every control, while playing and before: nothing
// crashes, the output stays finite, and the value the plug-in reports back is a finite one within the range (what
// it plays).
TEST_P(DawPlugin, NonFiniteAndOutOfRangeValuesNeverMakeTheOutputNonFinite) {
    const double BAD[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(), 1e30, -1e30, 1e6, -1e6};
    const Channels input = Signal(InputChannels(kind()), 4096);
    for (const Control& control : ControlsOf(kind())) {
        if (control.reading) continue;
        auto instance = Make();
        ASSERT_TRUE(instance);
        const auto* parameter = Param(*instance, control.symbol);
        ASSERT_NE(parameter, nullptr) << control.symbol;
        for (const double bad : BAD) instance->Set(parameter->id, bad);  // before activation
        // What the plug-in shows is what it plays: finite, within the range.
        const auto shown = instance->Get(parameter->id);
        ASSERT_TRUE(shown) << control.symbol;
        EXPECT_TRUE(std::isfinite(*shown) && *shown >= parameter->minimum && *shown <= parameter->maximum)
            << control.symbol << " reads back as " << *shown;
        ASSERT_TRUE(instance->Activate(RATE, 256));
        Channels output = Play(*instance, input, {256});
        EXPECT_TRUE(AllFinite(output)) << control.symbol << " set before activation";
        for (const double bad : BAD) {
            std::vector<Event> events = {{0, control.symbol, bad}, {100, control.symbol, bad}};
            output = Play(*instance, input, {256, 7}, {}, events);
            EXPECT_TRUE(AllFinite(output)) << control.symbol << " = " << bad;
            // CLAP reads the plug-in's own value back (a VST3 host tells its controller what it sent itself).
            if (format() == Format::Clap) {
                const auto taken = instance->Get(parameter->id);
                ASSERT_TRUE(taken) << control.symbol;
                EXPECT_TRUE(std::isfinite(*taken) && *taken >= parameter->minimum && *taken <= parameter->maximum)
                    << control.symbol << " = " << bad << " reads back as " << *taken;
            }
        }
    }
}

// What a host shows of a value and what it makes of a text typed in: every parameter's text at its ends and its
// default reads back as the same value (a choice's entry and a program by name exactly, a number to the digits
// shown), through the plug-in binary's own conversions.
TEST_P(DawPlugin, ValueTextsReadBackAsTheirValues) {
    auto instance = Make();
    ASSERT_TRUE(instance);
    int read_back = 0;
    for (const er_daw_host::Parameter& parameter : instance->Parameters()) {
        for (const double value : {parameter.minimum, parameter.default_value, parameter.maximum}) {
            const auto text = instance->TextFor(parameter.id, value);
            ASSERT_TRUE(text) << parameter.name << " " << value;
            EXPECT_FALSE(text->empty()) << parameter.name << " " << value;
            if (parameter.read_only) continue;
            const auto back = instance->ValueFor(parameter.id, *text);
            ASSERT_TRUE(back) << parameter.name << " \"" << *text << "\"";
            const double tolerance = parameter.stepped ? 0.0 : 1e-4 * std::max(1.0, std::abs(value));
            EXPECT_NEAR(*back, value, tolerance) << parameter.name << " \"" << *text << "\"";
            ++read_back;
        }
    }
    EXPECT_GT(read_back, 0);
    const auto* first = instance->Parameters().empty() ? nullptr : &instance->Parameters().front();
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(instance->ValueFor(first->id, "no such value"));
}

// ---- activation ------------------------------------------------------------------------------------------------

// Deactivate and activate again, at the same rate, another rate and another block: each activation plays as a
// fresh instance does at that rate, whatever was played before.
TEST_P(DawPlugin, EveryActivationPlaysAsAFreshInstance) {
    const Controls controls = Busy();
    struct Cycle {
        double rate;
        std::uint32_t block;
    };
    const Cycle CYCLES[] = {{48000, 256}, {48000, 256}, {44100, 64}, {96000, 1000}, {8000, 4096}, {48000, 256}};
    auto instance = Make();
    ASSERT_TRUE(instance);
    SetAll(*instance, controls);
    for (const Cycle& cycle : CYCLES) {
        const Channels input = Signal(InputChannels(kind()), 6000, static_cast<std::uint32_t>(cycle.rate));
        ASSERT_TRUE(instance->Activate(cycle.rate, cycle.block)) << instance->LastError();
        const Channels got = Play(*instance, input, {cycle.block});
        instance->Deactivate();
        EXPECT_EQ(FirstDifference(got, CoreRender(kind(), cycle.rate, static_cast<std::int32_t>(cycle.block), controls,
                                                  input, {cycle.block})),
                  "")
            << cycle.rate << " Hz, block " << cycle.block;
    }
}

// Deactivation and reset while the plug-in's worker makes a new line or room from a change of the block before:
// the worker's job on the old objects ends before they go (a wrapper that forgot to wait crashed here now and
// then, and always under the sanitizers).
TEST_P(DawPlugin, DeactivationWaitsForTheWorker) {
    const Change change = kind() == Kind::Room ? Change{0, "room", 3} : Change{0, "max_delay", 5};
    const Change back = kind() == Kind::Room ? Change{0, "room", 0} : Change{0, "max_delay", 2};
    const Channels input = Signal(InputChannels(kind()), 64);
    auto instance = Make();
    ASSERT_TRUE(instance);
    SetAll(*instance, {{"smooth", 0}});
    for (int cycle = 0; cycle < 40; ++cycle) {
        ASSERT_TRUE(instance->Activate(RATE, 64)) << instance->LastError();
        const Change& now = cycle % 2 == 0 ? change : back;
        const Channels got = Play(*instance, input, {64}, {now});
        EXPECT_TRUE(AllFinite(got));
        if (cycle % 4 == 3 && format() == Format::Clap) {
            EXPECT_TRUE(instance->Reset()) << instance->LastError();
        }
        instance->Deactivate();
    }
}

// ---- non-finite input ------------------------------------------------------------------------------------------

// One NaN or infinite input sample, with feedback and damping on (the room at its defaults): the output is finite
// again once the bad sample has left the line, without a new activation.
TEST_P(DawPlugin, OutputRecoversFromNonFiniteInput) {
    const Controls controls = kind() == Kind::Room ? Controls{} : Controls{{"time", 10}, {"feedback", 4}, {"damping", 3}};
    for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        Channels input = Signal(InputChannels(kind()), static_cast<std::size_t>(RATE) * 2);
        for (auto& channel : input) channel[1000] = bad;
        auto instance = Make();
        ASSERT_TRUE(instance);
        SetAll(*instance, controls);
        ASSERT_TRUE(instance->Activate(RATE, 256));
        const Channels output = Play(*instance, input, {256});
        EXPECT_TRUE(AllFinite(output, static_cast<std::size_t>(RATE))) << "input " << bad;
    }
}

std::vector<Target> Targets() {
    std::vector<Target> targets;
    for (const Format format : {Format::Clap, Format::Vst3}) {
        for (const Kind kind : {Kind::Mono, Kind::Stereo, Kind::Room}) targets.push_back({format, kind});
    }
    return targets;
}
INSTANTIATE_TEST_SUITE_P(Bundles, DawPlugin, ::testing::ValuesIn(Targets()), TargetName);

}  // namespace
}  // namespace er_daw_test
