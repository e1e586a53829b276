// er-render --room end to end, through the built tool: the room's render against the single-tap renders of the
// settings its pattern lists, summed here; the impulse response against reflections computed here in closed
// form; the options a room refuses.
#include <cmath>
#include <cstdio>
#include <complex>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "RenderToolFixture.h"

namespace {

using namespace er_render_tests;
using nlohmann::json;

struct Sound {
    int channels = 0;
    std::vector<float> samples;  // interleaved
    std::size_t Frames() const { return channels == 0 ? 0 : samples.size() / channels; }
    float At(std::size_t frame, int channel) const { return samples[frame * channels + channel]; }
};

// Noise-like samples, the same every run.
std::vector<float> Noise(std::size_t count) {
    std::vector<float> samples(count);
    std::uint32_t state = 12345;
    for (float& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(static_cast<std::int32_t>(state >> 8) - (1 << 23)) / static_cast<float>(1 << 24);
    }
    return samples;
}

constexpr int FLOAT_WAV = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

class RoomRender : public RenderTool {
protected:
    Sound ReadSound(const std::string& name) const {
        SF_INFO info{};
        Sound sound;
        sound.samples = Read(name, &info);
        sound.channels = info.channels;
        return sound;
    }
    // Writes a room file; answers its path.
    std::string RoomFile(const std::string& name, const std::string& text) const {
        std::ofstream(Path(name)) << text;
        return Path(name);
    }
    json Pattern(const std::vector<std::string>& room_args) const {
        std::vector<std::string> args = room_args;
        args.insert(args.end(), {"--pattern-out", Path("pattern.json"), "-q"});
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        std::ifstream file(Path("pattern.json"));
        return json::parse(file);
    }
};

// A long narrow room: its six first reflections arrive well apart.
const char* const BARE_ROOM = R"({"name": "bare", "size": [9, 23, 7], "source": [3.1, 5.2, 2.9],
    "listener": [5.3, 13.7, 3.6], "spacing": 0, "walls": {"all": {"absorption": 0.36},
    "floor": {"absorption": 0.75}, "ceiling": {"absorption": 0.19}}, "max_order": 1})";

TEST_F(RoomRender, TheRoomIsTheSumOfItsSingleTapRendersBitForBit) {
    struct Case {
        const char* what;
        const char* room;
        int input_channels;
        std::vector<std::string> options;  // for the room's render and every single-tap render alike
        std::vector<std::string> alone;    // for the room's render alone: --room-width, --dry, --wet, --gain
        double dry, wet, gain;
    };
    const char* stereo_room = R"({"name": "s", "size": [4.1, 5.3, 2.7], "source": [1.2, 4.1, 1.5],
        "listener": [2.6, 1.4, 1.3], "spacing": 0.31, "walls": {"all": {"absorption": 0.2, "cutoff_hz": 6000},
        "floor": {"absorption": 0.5, "cutoff_hz": 2500}, "left": {"absorption": 0.1, "cutoff_hz": 0}},
        "max_order": 2})";
    const char* mono_room = R"({"name": "m", "size": [3.3, 4.4, 2.5], "source": [0.8, 3.7, 1.1],
        "listener": [2.2, 1.1, 1.6], "spacing": 0, "walls": {"all": {"absorption": 0.3, "cutoff_hz": 4000}},
        "max_order": 2})";
    const Case cases[] = {
        {"stereo room, mono input, whole samples, blocks of 100, a gate", stereo_room, 1, {"--block", "100", "--tail", "0.05", "--gate", "0.031"}, {}, 0, 1, 1},
        {"mono room, stereo input, Fraction(Econ), blocks of 64", mono_room, 2, {"--block", "64", "--tail", "0.04", "--set", "Time Accuracy=Fraction(Econ)"}, {}, 0, 1, 1},
        {"stereo room, stereo input, Fraction(Full), dry, wet and gain", stereo_room, 2, {"--block", "512", "--tail", "0.03", "--set", "Time Accuracy=Fraction(Full)"}, {"--dry", "-6", "--wet", "-3", "--gain", "-1"}, std::pow(10.0, -6.0 / 20), std::pow(10.0, -3.0 / 20), std::pow(10.0, -1.0 / 20)},
        {"stereo room, mono input, wet alone", stereo_room, 1, {"--tail", "0.02"}, {"--wet", "-3"}, 0, std::pow(10.0, -3.0 / 20), 1},
        {"stereo room at one ear (width 0), mono input", stereo_room, 1, {"--tail", "0.02"}, {"--room-width", "0"}, 0, 1, 1},
        {"stereo room at one ear (width 0), stereo input, blocks of 64", stereo_room, 2, {"--block", "64", "--tail", "0.02"}, {"--room-width", "0", "--dry", "-6"}, std::pow(10.0, -6.0 / 20), 1, 1},
        {"stereo room, its ears 2.5 times as far apart, mono input", stereo_room, 1, {"--tail", "0.02"}, {"--room-width", "2.5"}, 0, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string room = RoomFile("room.json", c.room);
        const Sound input{c.input_channels, Noise(2400 * static_cast<std::size_t>(c.input_channels))};
        Write("in.wav", FLOAT_WAV, input.channels, {}, input.samples);
        std::vector<std::string> args{Path("in.wav"), Path("room.wav"), "--room", room, "--format", "float",
                                      "--pattern-out", Path("pattern.json"), "-q"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), c.alone.begin(), c.alone.end());
        const ToolRun run = Tool(args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const Sound rendered = ReadSound("room.wav");
        std::ifstream pattern_file(Path("pattern.json"));
        const json pattern = json::parse(pattern_file);
        const bool stereo = pattern["channels"] == 2;
        ASSERT_EQ(rendered.channels, stereo ? 2 : c.input_channels);
        // The room the pattern lists is the one rendered: its ears as far apart as the width makes them.
        const double width = c.alone.size() >= 2 && c.alone[0] == "--room-width" ? std::stod(c.alone[1]) : 1.0;
        const double spacing = (c.room == mono_room ? 0.0 : 0.31) * width;  // the room files' own, times the width
        EXPECT_DOUBLE_EQ(pattern["room"]["spacing"].get<double>(), spacing);
        EXPECT_EQ(stereo, spacing != 0.0);

        // Every tap alone, through the ordinary render of the settings the pattern lists, summed in its order.
        std::vector<double> sum(rendered.samples.size(), 0.0);
        for (const json& tap : pattern["taps"]) {
            std::vector<std::string> single{Path("in.wav"), Path("tap.wav"), "--format", "float", "-q"};
            for (const json& setting : tap["settings"]) single.insert(single.end(), {"--set", setting.get<std::string>()});
            single.insert(single.end(), c.options.begin(), c.options.end());
            const ToolRun alone_run = Tool(single);
            ASSERT_EQ(alone_run.exit_code, 0) << alone_run.err;
            const Sound alone = ReadSound("tap.wav");
            ASSERT_EQ(alone.Frames(), rendered.Frames());
            for (std::size_t frame = 0; frame < rendered.Frames(); ++frame) {
                for (int channel = 0; channel < rendered.channels; ++channel) {
                    if (stereo && tap["channel"] != (channel == 0 ? "left" : "right")) continue;
                    const int from = alone.channels == 1 ? 0 : channel;
                    sum[frame * rendered.channels + channel] += alone.At(frame, from);
                }
            }
        }
        std::size_t differing = 0;
        for (std::size_t frame = 0; frame < rendered.Frames(); ++frame) {
            for (int channel = 0; channel < rendered.channels; ++channel) {
                const std::size_t slot = frame * rendered.channels + channel;
                const float dry = frame < input.Frames() ? input.At(frame, input.channels == 1 ? 0 : channel) : 0.0f;
                const float expected = static_cast<float>(c.gain * (c.dry * dry + c.wet * sum[slot]));
                if (rendered.samples[slot] != expected) ++differing;
            }
        }
        EXPECT_EQ(differing, 0u);
    }
}

// The six first reflections of the bare room, computed here.
struct Reflection {
    double delay;  // seconds after the direct sound
    double gain;
};

std::vector<Reflection> FirstReflections() {
    const double W = 9, L = 23, H = 7, sx = 3.1, sy = 5.2, sz = 2.9, lx = 5.3, ly = 13.7, lz = 3.6;
    const double images[6][3] = {{-sx, sy, sz}, {2 * W - sx, sy, sz}, {sx, -sy, sz}, {sx, 2 * L - sy, sz}, {sx, sy, -sz}, {sx, sy, 2 * H - sz}};
    const double absorption[6] = {0.36, 0.36, 0.36, 0.36, 0.75, 0.19};
    const double direct = std::hypot(sx - lx, sy - ly, sz - lz);
    std::vector<Reflection> reflections;
    for (int i = 0; i < 6; ++i) {
        const double r = std::hypot(images[i][0] - lx, images[i][1] - ly, images[i][2] - lz);
        reflections.push_back({(r - direct) / 343.0, std::sqrt(1.0 - absorption[i]) * direct / r});
    }
    return reflections;
}

double Db(double value) {
    return 20.0 * std::log10(std::fabs(value));
}

TEST_F(RoomRender, WholeSampleTapsLandOnTheNearestSampleAtTheirLevels) {
    const std::string room = RoomFile("bare.json", BARE_ROOM);
    const json pattern = Pattern({"--room", room});
    const auto reflections = FirstReflections();
    ASSERT_EQ(pattern["taps"].size(), reflections.size());
    for (const Reflection& reflection : reflections) {
        bool found = false;
        for (const json& tap : pattern["taps"]) {
            if (std::fabs(tap["delay_samples"].get<double>() - reflection.delay * 48000.0) > 1.0) continue;
            found = true;
            EXPECT_NEAR(Db(tap["gain"].get<double>()), Db(reflection.gain), 0.01);
        }
        EXPECT_TRUE(found) << reflection.delay;
    }
    const ToolRun run = Tool({"--impulse", "0.08", Path("ir.wav"), "--room", room, "-q"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const Sound ir = ReadSound("ir.wav");
    ASSERT_EQ(ir.channels, 1);
    double energy_elsewhere = 0.0, energy = 0.0;
    std::vector<bool> claimed(ir.Frames(), false);
    for (const Reflection& reflection : reflections) {
        // Exactly at the reflection's delay rounded to the nearest sample, at its level: a whole-sample reading
        // truncates, so a time a hair short of the sample would play it one sample early.
        const auto at = static_cast<std::size_t>(std::lround(reflection.delay * 48000.0));
        EXPECT_NEAR(Db(ir.At(at, 0)), Db(reflection.gain), 0.1) << reflection.delay;
        claimed[at] = true;
    }
    for (std::size_t i = 0; i < ir.Frames(); ++i) {
        const double e = static_cast<double>(ir.At(i, 0)) * ir.At(i, 0);
        energy += e;
        if (!claimed[i]) energy_elsewhere += e;
    }
    EXPECT_GT(energy, 0.0);
    EXPECT_EQ(energy_elsewhere, 0.0);  // nothing but the six taps
}

TEST_F(RoomRender, FractionalTapsLandWithinAMicrosecond) {
    const std::string room = RoomFile("bare.json", BARE_ROOM);
    const json pattern = Pattern({"--room", room, "--set", "Time Accuracy=Fraction(Econ)"});
    const auto reflections = FirstReflections();
    for (const Reflection& reflection : reflections) {
        double nearest = 1e9;
        for (const json& tap : pattern["taps"]) {
            nearest = std::min(nearest, std::fabs(tap["delay_samples"].get<double>() / 48000.0 - reflection.delay));
        }
        EXPECT_LT(nearest, 1e-6) << reflection.delay;
    }
    const ToolRun run = Tool({"--impulse", "0.08", Path("ir.wav"), "--room", room, "--set", "Time Accuracy=Fraction(Econ)", "-q"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const Sound ir = ReadSound("ir.wav");
    for (const Reflection& reflection : reflections) {
        // The interpolated tap spreads over the two samples around the delay; its centre is the delay.
        const auto whole = static_cast<std::size_t>(std::floor(reflection.delay * 48000.0));
        const double a = ir.At(whole, 0), b = ir.At(whole + 1, 0);
        EXPECT_NEAR((whole * a + (whole + 1) * b) / (a + b) / 48000.0, reflection.delay, 1e-6);
        EXPECT_NEAR(Db(a + b), Db(reflection.gain), 0.1);
    }
}

TEST_F(RoomRender, ADullWallLeavesItsEchoThreeDecibelsDownAtItsCutoff) {
    // Only the ceiling dulls; its echo's response at the ceiling's cut-off is 3 dB below its broadband gain, and
    // its samples sum to the gain (the low-pass passes DC whole).
    const std::string room = RoomFile("dull.json", R"({"size": [9, 23, 7], "source": [3.1, 5.2, 2.9],
        "listener": [5.3, 13.7, 3.6], "spacing": 0, "walls": {"all": {"absorption": 0.36},
        "ceiling": {"absorption": 0.19, "cutoff_hz": 1500}}, "max_order": 1})");
    const ToolRun run = Tool({"--impulse", "0.08", Path("ir.wav"), "--room", room, "-q"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const Sound ir = ReadSound("ir.wav");
    const Reflection ceiling = FirstReflections()[5];
    const auto at = static_cast<std::size_t>(std::lround(ceiling.delay * 48000.0));
    // Up to the next reflection (the floor's, some 40 samples later).
    std::complex<double> response = 0.0;
    double sum = 0.0;
    for (std::size_t i = at; i < at + 30; ++i) {
        response += static_cast<double>(ir.At(i, 0)) * std::polar(1.0, -2.0 * std::numbers::pi * 1500.0 * (i - at) / 48000.0);
        sum += ir.At(i, 0);
    }
    EXPECT_NEAR(Db(sum), Db(ceiling.gain), 0.1);
    EXPECT_NEAR(Db(std::abs(response)), Db(ceiling.gain) - 3.0103, 0.1);
    EXPECT_LT(Db(ir.At(at, 0)), Db(ceiling.gain) - 3.0);  // the first sample is no longer the whole echo
}

TEST_F(RoomRender, RefusesWhatARoomCannotTake) {
    Write("three.wav", FLOAT_WAV, 3, {}, Noise(300));
    Write("mono.wav", FLOAT_WAV, 1, {}, Noise(100));
    RoomFile("bad.json", R"({"size": [5, 4, 3], "colour": "red"})");
    RoomFile("huge.json", R"({"size": [999, 999, 999], "max_order": 8})");  // its last reflections pass the line
    RoomFile("slow.json", R"({"size": [5, 4, 3], "speed_of_sound": 1e-9})");
    RoomFile("fast.json", R"({"size": [5, 4, 3], "speed_of_sound": 6000.5})");
    RoomFile("cold.json", R"({"size": [5, 4, 3], "temperature": -300})");
    RoomFile("overflow.json", R"({"size": [5, 4, 1e999]})");
    RoomFile("allwalls.json", R"({"size": [5, 4, 3], "walls": {"all": {"absorption": 1.5}}})");
    RoomFile("outside.json", R"({"size": [5, 4, 3], "source": [6, 1, 1]})");
    RoomFile("window.json", R"({"size": [5, 4, 3], "window": 0.6})");
    RoomFile("nearwall.json", R"({"size": [5, 4, 3], "source": [0.5, 3.5, 1.5], "listener": [0.5, 0.5, 1.5],
        "spacing": 0.4})");
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;
    };
    const Case cases[] = {
        {{"--room", "nowhere", "--pattern-out", "@p.json"}, 2, "booth"},
        {{"--room", "studio"}, 2, "--pattern-out"},
        {{"--room", "studio", "--pattern-out", "@p.txt"}, 2, ".csv"},
        {{"--pattern-out", "@p.json"}, 2, "--room"},
        {{"--room-scale", "2", "--impulse", "0.1", "@ir.wav"}, 2, "--room"},
        {{"--room", "studio", "--room-scale", "0", "--pattern-out", "@p.json"}, 2, "--room-scale"},
        {{"--room", "studio", "--room-scale", "20.01", "--pattern-out", "@p.json"}, 2, "--room-scale"},
        {{"--room", "studio", "--room-width", "-0.01", "--pattern-out", "@p.json"}, 2, "--room-width takes a factor from 0 to 4"},
        {{"--room", "studio", "--room-width", "4.01", "--pattern-out", "@p.json"}, 2, "--room-width"},
        {{"--room", "studio", "--room-width", "wide", "--pattern-out", "@p.json"}, 2, "--room-width"},
        {{"--room", "studio", "--set", "1 Time=5", "--pattern-out", "@p.json"}, 2, "1 Time"},
        {{"--room", "studio", "--preset", "room", "--pattern-out", "@p.json"}, 2, "--preset"},
        {{"--room", "studio", "--plot-data", "@d.csv", "--pattern-out", "@p.json"}, 2, "--plot-data"},
        {{"--room", "studio", "--allow-unsafe", "--pattern-out", "@p.json"}, 2, "--allow-unsafe"},
        {{"--room", "studio", "--tail", "1", "--pattern-out", "@p.json"}, 2, "--tail"},
        {{"--room", "@bad.json", "--pattern-out", "@p.json"}, 2, "colour"},
        {{"@three.wav", "@o.wav", "--room", "studio"}, 2, "3 channels"},
        {{"@mono.wav", "@o.json", "--type", "wav", "--room", "studio", "--pattern-out", "@o.json"}, 4, "output"},
        {{"@mono.wav", "@o.wav", "--room", "studio", "--plot", "@o.txt"}, 2, ".svg"},
        // The room is a mode of its own: the files it takes, and what it refuses from the others.
        {{"@mono.wav", "--room", "studio"}, 2, "--room takes IN OUT"},
        {{"--room", "studio", "--impulse", "0.1", "-n", "@o.wav"}, 2, "takes no file"},
        {{"--room", "studio", "--impulse", "0.1"}, 2, "takes one file: OUT"},
        {{"@mono.wav", "@o.wav", "-n", "--room", "studio"}, 2, "-n takes one file: IN"},
        {{"--batch", "@.", "@mono.wav", "--room", "studio"}, 2, "different modes"},
        {{"--room", "studio", "--settings", "@s.settings", "--pattern-out", "@p.json"}, 2, "--settings does not apply to --room"},
        {{"--room", "studio", "--block", "64", "--pattern-out", "@p.json"}, 2, "--block shapes a render"},
        {{"--room", "studio", "--wet", "-3", "--plot", "@p.svg"}, 2, "--wet shapes a render"},
        {{"--room", "studio", "--json", "--pattern-out", "@p.json"}, 2, "--json shapes a render"},
        {{"@mono.wav", "-n", "--room", "studio", "--dither", "tpdf"}, 2, "--dither does not apply to -n"},
        {{"@mono.wav", "@o.wav", "--room-scale", "2"}, 2, "it belongs to --room"},
        {{"@mono.wav", "@o.wav", "--room-width", "0"}, 2, "it belongs to --room"},
        {{"--impulse", "0.1", "@o.wav", "--room-width", "2"}, 2, "it belongs to --room"},
        {{"@mono.wav", "-", "--type", "wav", "--room", "studio", "--json"}, 2, "both want stdout"},
        // What the model cannot play: each refusal names the file and the limit.
        {{"--room", "@huge.json", "--pattern-out", "@p.json"}, 2, "longest line the module holds, 10.9227 s"},
        {{"@mono.wav", "@o.wav", "--room", "@huge.json"}, 2, "huge.json\": a reflection 11.63"},
        {{"--room", "@slow.json", "--pattern-out", "@p.json"}, 2, "slow.json: the speed of sound must lie in 100 .. 6000"},
        {{"--room", "@fast.json", "--pattern-out", "@p.json"}, 2, "not 6000.5"},
        {{"--room", "@cold.json", "--pattern-out", "@p.json"}, 2, "cold.json: \"temperature\" must lie in -100"},
        {{"--room", "@overflow.json", "--pattern-out", "@p.json"}, 2, "overflow.json: a number too large"},
        {{"--room", "@allwalls.json", "--pattern-out", "@p.json"}, 2, "\"walls.all.absorption\" must lie in 0 .. 1"},
        {{"--room", "@outside.json", "--pattern-out", "@p.json"}, 2, "outside.json: the source must lie inside"},
        {{"--room", "@window.json", "--pattern-out", "@p.json"}, 2, "window.json: the window must lie in 0 .. 500 ms"},
        {{"--room", "studio", "--room-scale", "3", "--room-width", "9", "--pattern-out", "@p.json"}, 2, "--room-width"},
        {{"--room", "@nearwall.json", "--room-width", "3.5", "--pattern-out", "@p.json"}, 2,
         "nearwall.json at --room-width 3.5: a listening point lies outside"},
        {{"--room", "studio", "--room-window", "501ms", "--pattern-out", "@p.json"}, 2, "--room-window takes 0"},
        {{"--room", "studio", "--room-window", "-1ms", "--pattern-out", "@p.json"}, 2, "--room-window"},
        {{"--room", "studio", "--room-window", "soon", "--pattern-out", "@p.json"}, 2, "soon"},
        {{"--room", "tiled", "--room-window", "80ms", "--pattern-out", "@p.json"}, 2,
         "a window of 80 ms up to order 12 gives 5240 taps, more than the 4096"},
        {{"@mono.wav", "@o.wav", "--room-window", "20ms"}, 2, "it belongs to --room"},
    };
    for (const Case& c : cases) {
        // "@name" is a file in the test's folder.
        std::vector<std::string> args;
        for (const std::string& arg : c.args) args.push_back(arg[0] == '@' ? Path(arg.substr(1)) : arg);
        const std::string line = [&] {
            std::string text;
            for (const std::string& arg : c.args) text += arg + " ";
            return text;
        }();
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.exit_code, c.code) << line << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << line << run.err;
        EXPECT_FALSE(fs::exists(Path("@p.json"))) << line;
        EXPECT_FALSE(fs::exists(Path("@o.wav"))) << line;
    }
    // The boundaries themselves are taken, and each way of running a room alone.
    EXPECT_EQ(Tool({Path("mono.wav"), "-n", "--room", "booth", "-q"}).exit_code, 0);
    EXPECT_EQ(Tool({"--room", "booth", "--impulse", "0.05", "-n", "--json"}).exit_code, 0);
    EXPECT_EQ(Tool({"--room", "booth", "--rate", "44100", "--plot", Path("p.svg")}).exit_code, 0);
    const std::vector<float> raw = Noise(200);
    std::ofstream(Path("in.raw"), std::ios::binary).write(reinterpret_cast<const char*>(raw.data()), 800);
    const ToolRun raw_run = Tool({Path("in.raw"), "-n", "--room", "booth", "--rate", "48000", "--channels", "1",
                                  "--format", "float", "--json"});
    EXPECT_EQ(raw_run.exit_code, 0) << raw_run.err;
    EXPECT_NE(raw_run.out.find("\"room\":\"booth"), std::string::npos) << raw_run.out;
    EXPECT_EQ(Tool({"--room", "studio", "--room-scale", "0.05", "--pattern-out", Path("p.json")}).exit_code, 0);
    EXPECT_EQ(Tool({"--room", "hall", "--room-scale", "20", "--pattern-out", Path("p.json")}).exit_code, 0);
    EXPECT_EQ(Tool({"--room", "studio", "--room-width", "0", "--pattern-out", Path("p.json")}).exit_code, 0);
    EXPECT_EQ(Tool({"--room", "studio", "--room-width", "4", "--pattern-out", Path("p.json")}).exit_code, 0);
    EXPECT_EQ(Tool({"--room", "hall", "--room-window", "500ms", "--pattern-out", Path("p.json")}).exit_code, 0);
    EXPECT_EQ(Tool({"--room", "studio", "--room-window", "0", "--pattern-out", Path("p.json")}).exit_code, 0);
    RoomFile("edges.json", R"({"size": [5, 4, 3], "speed_of_sound": 100, "window": 0.5, "max_order": 2})");
    EXPECT_EQ(Tool({"--room", Path("edges.json"), "--pattern-out", Path("p.json")}).exit_code, 0);
    RoomFile("edges.json", R"({"size": [5, 4, 3], "speed_of_sound": 6000, "temperature_is_not_here": 1})");
    EXPECT_EQ(Tool({"--room", Path("edges.json"), "--pattern-out", Path("p.json")}).exit_code, 2);
    RoomFile("edges.json", R"({"size": [5, 4, 3], "temperature": 300})");
    EXPECT_EQ(Tool({"--room", Path("edges.json"), "--pattern-out", Path("p.json")}).exit_code, 0);
    // The largest room whose last reflection still fits the longest line at 48 kHz, and one just past it.
    RoomFile("edges.json", R"({"size": [900, 900, 900], "source": [100, 100, 100], "listener": [800, 800, 800],
        "spacing": 0, "max_order": 1})");
    EXPECT_EQ(Tool({"--room", Path("edges.json"), "--pattern-out", Path("p.json")}).exit_code, 0);
}

// A window keeps every image that arrives within it, whatever its order up to the cap, and nothing later; the
// pattern file and the summary state the share of the first 80 ms' energy it holds.
TEST_F(RoomRender, AWindowHoldsEveryReflectionWithinIt) {
    const json by_order = Pattern({"--room", "living", "--room-window", "0"});
    const json windowed = Pattern({"--room", "living", "--room-window", "25ms"});
    EXPECT_EQ(windowed["room"]["max_order"], 12);
    EXPECT_DOUBLE_EQ(windowed["room"]["window_s"].get<double>(), 0.025);
    std::size_t within_order_3 = 0;
    for (const json& tap : by_order["taps"]) within_order_3 += tap["delay_s"].get<double>() <= 0.025 ? 1 : 0;
    std::size_t above_order_3 = 0;
    for (const json& tap : windowed["taps"]) {
        EXPECT_LE(tap["delay_s"].get<double>(), 0.025);
        above_order_3 += tap["order"].get<int>() > 3 ? 1 : 0;
    }
    EXPECT_GT(above_order_3, 0u);
    EXPECT_EQ(windowed["taps"].size(), within_order_3 + above_order_3);
    // The share grows with the window, and a window past 80 ms that reaches the cap holds it all.
    const double order_share = by_order["early_energy_share"].get<double>();
    const double window_share = windowed["early_energy_share"].get<double>();
    EXPECT_GT(order_share, 0.3);
    EXPECT_LT(order_share, 0.6);
    EXPECT_GT(window_share, order_share);
    EXPECT_DOUBLE_EQ(Pattern({"--room", "hall", "--room-window", "100ms"})["early_energy_share"].get<double>(), 1.0);
    const ToolRun summary = Tool({"--room", "living", "--room-window", "25ms", "--pattern-out", Path("p.csv")});
    EXPECT_NE(summary.err.find("within 25 ms up to order 12"), std::string::npos) << summary.err;
    char share[64];
    std::snprintf(share, sizeof share, "%.0f %% of the first 80 ms' energy", 100.0 * window_share);
    EXPECT_NE(summary.err.find(share), std::string::npos) << summary.err;
    // A render's summary says what every tap plays, not the module's defaults.
    Write("in.wav", FLOAT_WAV, 1, {}, Noise(4800));
    const ToolRun render = Tool({Path("in.wav"), "-n", "--room", "living", "--room-window", "25ms", "--json"});
    ASSERT_EQ(render.exit_code, 0) << render.err;
    const json facts = json::parse(render.out);
    EXPECT_EQ(facts["settings"], "every tap's: Time Mode=Time(s), Time Accuracy=Sample, Feedback +/-10=0, "
                                 "Damping/Feedback Mode=Input+Tap1, Volume Mode=Linear; each tap's own 1 Time, "
                                 "1 Volume 10=100%, Damping 0-10 and Max Delay(s) (--pattern-out lists them)");
    EXPECT_NE(facts["room"].get<std::string>().find("within 25 ms up to order 12"), std::string::npos);
    // A room file whose name is not UTF-8: the pattern's JSON escapes it rather than failing after the render.
    const std::string odd = Path("r\xff.json");
    std::ofstream(odd) << R"({"size": [5, 4, 3]})";
    const ToolRun odd_run = Tool({"--room", odd, "--pattern-out", Path("odd.json"), "-q"});
    ASSERT_EQ(odd_run.exit_code, 0) << odd_run.err;
    std::ifstream odd_file(Path("odd.json"));
    const json odd_pattern = json::parse(odd_file);
    EXPECT_NE(odd_pattern["room"]["name"].get<std::string>().find("\\xFF"), std::string::npos)
        << odd_pattern["room"]["name"];
    // In samples at the render's rate, as --gate takes them.
    const json in_samples = Pattern({"--room", "living", "--room-window", "1200smp", "--rate", "48000"});
    EXPECT_EQ(in_samples["taps"].size(), windowed["taps"].size());
}

TEST_F(RoomRender, PatternFilesAndFigureOfANamedRoom) {
    const ToolRun files = Tool({"--room", "living", "--pattern-out", Path("p.csv"), "--plot", Path("p.svg")});
    ASSERT_EQ(files.exit_code, 0) << files.err;
    const json pattern = Pattern({"--room", "living"});
    EXPECT_EQ(pattern["taps"].size(), 124u);  // 62 images of orders 1 to 3, at two points
    EXPECT_EQ(pattern["room"]["name"], "living");
    std::ifstream csv(Path("p.csv"));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line.rfind("channel,order,walls,delay_s,", 0), 0u);
    std::size_t rows = 0;
    while (std::getline(csv, line)) {
        ++rows;
        EXPECT_NE(line.find("Damping/Feedback Mode=Input+Tap1"), std::string::npos) << line;
    }
    EXPECT_EQ(rows, 124u);
    std::ifstream svg(Path("p.svg"));
    std::getline(svg, line);
    EXPECT_EQ(line.rfind("<?xml", 0), 0u);
    // A stereo render of the room from a mono file, long enough by default for its last tap to ring out.
    Write("mono.wav", FLOAT_WAV, 1, {}, Noise(480));
    const ToolRun render = Tool({Path("mono.wav"), Path("o.wav"), "--room", "living", "--room-scale", "0.5"});
    ASSERT_EQ(render.exit_code, 0) << render.err;
    const Sound out = ReadSound("o.wav");
    EXPECT_EQ(out.channels, 2);
    EXPECT_NE(render.err.find("living"), std::string::npos);
    double last = 0.0;
    const json half = Pattern({"--room", "living", "--room-scale", "0.5"});
    for (const json& tap : half["taps"]) last = std::max(last, tap["delay_samples"].get<double>());
    EXPECT_GE(static_cast<double>(out.Frames()), 480.0 + last);
    EXPECT_LT(static_cast<double>(out.Frames()), 480.0 + last + 0.01 * 48000.0);
}

}  // namespace
