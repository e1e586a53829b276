// er-render end to end: the built tool is run on files written here, and its output files are read back with
// libsndfile. The module it loads is the shipped library beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <csignal>
#include <thread>

#include <cairo.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sndfile.h>

#include "Render.h"
#include "SampleCodec.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

std::string ReadText(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class RenderTool : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/er-render-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        m_dir = m_root / "work";
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_root); }

    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    // Starts er-render with `args`; its stdout and stderr go beside, not into, the working folder.
    pid_t Start(const std::vector<std::string>& args) const {
        std::vector<std::string> all{ER_RENDER_PATH};
        all.insert(all.end(), args.begin(), args.end());
        return Launch(all);
    }

    // Runs the program `all`[0] (found on PATH) with the rest as its arguments.
    ToolRun Spawn(std::vector<std::string> all) const { return Finish(Launch(std::move(all))); }
    // Starts the program `all`[0] (found on PATH); its stdout and stderr go beside the working folder.
    pid_t Launch(std::vector<std::string> all) const {
        std::vector<char*> argv;
        for (std::string& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const std::string out = (m_root / "stdout").string();
        const std::string err = (m_root / "stderr").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    // Waits for a started run; a signal's end counts as 128 + the signal's number, as in the shell.
    ToolRun Finish(pid_t pid) const {
        ToolRun run;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid) {
            run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        run.out = ReadText(m_root / "stdout");
        run.err = ReadText(m_root / "stderr");
        return run;
    }
    ToolRun Tool(const std::vector<std::string>& args) const { return Finish(Start(args)); }
    // A shell command in the working folder, with $R the tool.
    ToolRun Shell(const std::string& command) const {
        return Spawn({"/bin/sh", "-c", "cd '" + m_dir.string() + "' || exit 99; R='" + ER_RENDER_PATH + "'; " + command});
    }

    // Writes interleaved samples; integer formats take their stored values, float formats module floats.
    void Write(const std::string& name, int format, int channels, const std::vector<std::int32_t>& ints,
               const std::vector<float>& floats = {}, int rate = 48000) const {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* file = sf_open(Path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        if (floats.empty()) {
            const int shift = (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_24 ? 8 : 16;
            std::vector<int> stored;
            for (const std::int32_t value : ints) stored.push_back(static_cast<int>(value * (1 << shift)));
            sf_writef_int(file, stored.data(), static_cast<sf_count_t>(stored.size()) / channels);
        } else {
            sf_writef_float(file, floats.data(), static_cast<sf_count_t>(floats.size()) / channels);
        }
        sf_close(file);
    }

    // Reads every sample as a float, and the file's format.
    std::vector<float> Read(const std::string& name, SF_INFO* info_out = nullptr) const {
        SF_INFO info{};
        SNDFILE* file = sf_open(Path(name).c_str(), SFM_READ, &info);
        EXPECT_NE(file, nullptr) << name << ": " << sf_strerror(nullptr);
        if (file == nullptr) return {};
        std::vector<float> samples(static_cast<std::size_t>(info.frames * info.channels));
        sf_readf_float(file, samples.data(), info.frames);
        sf_close(file);
        if (info_out != nullptr) *info_out = info;
        return samples;
    }

    // Reads every sample as its stored integer (16 or 24 bits).
    std::vector<std::int32_t> ReadInts(const std::string& name, int bits) const {
        SF_INFO info{};
        SNDFILE* file = sf_open(Path(name).c_str(), SFM_READ, &info);
        EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
        if (file == nullptr) return {};
        std::vector<int> stored(static_cast<std::size_t>(info.frames * info.channels));
        sf_readf_int(file, stored.data(), info.frames);
        sf_close(file);
        std::vector<std::int32_t> values;
        for (const int value : stored) values.push_back(value / (1 << (32 - bits)));
        return values;
    }

    std::set<std::string> Listing() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir)) names.insert(entry.path().filename().string());
        return names;
    }

    fs::path m_root;
    fs::path m_dir;
};

// Positions and values of the samples that are not zero.
std::vector<std::pair<std::size_t, float>> NonZero(const std::vector<float>& samples, std::size_t stride = 1,
                                                   std::size_t offset = 0) {
    std::vector<std::pair<std::size_t, float>> found;
    for (std::size_t i = offset; i < samples.size(); i += stride) {
        if (samples[i] != 0.0f) found.emplace_back(i / stride, samples[i]);
    }
    return found;
}

using Echoes = std::vector<std::pair<std::size_t, float>>;

TEST_F(RenderTool, ImpulseArrivesAtTheTapWithItsGainAtEveryBlockSize) {
    for (const char* block : {"1", "7", "512"}) {
        const ToolRun run = Tool({"--impulse", "0.05", Path("ir.wav"), "--block", block, "--set", "1 Time=25",
                              "--set", "1 Volume 10=100%=5"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_NE(run.err.find("1200 samples (25.000 ms)"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("Plain, whole samples"), std::string::npos) << run.err;
        SF_INFO info{};
        const auto samples = Read("ir.wav", &info);
        EXPECT_EQ(info.frames, 2400);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        EXPECT_EQ(NonZero(samples), (Echoes{{1200, 0.5f}})) << "block " << block;
        EXPECT_EQ(Listing(), std::set<std::string>{"ir.wav"}) << "no temporary file stays";
    }
}

// The defaults ask for 100 ms (4800 samples): er-render picks the shortest line that holds them. A line the
// user chooses too short is warned about on stderr before the render, and the module wraps the tap as the
// warning says, at 48 kHz and, with a doubled line, at 96 kHz.
TEST_F(RenderTool, DefaultLineHoldsTheDelayAndAShortOneWrapsAsWarned) {
    struct Case {
        const char* rate;
        std::size_t requested;
        std::size_t wrapped;
    };
    for (const Case& c : {Case{"48000", 4800, 4800 - 2 * 2048}, Case{"96000", 9600, 9600 - 2 * 4096}}) {
        ToolRun run = Tool({"--impulse", "0.15", Path("ir.wav"), "--rate", c.rate});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_NE(run.err.find("Max Delay(s)=0.170 (chosen to hold the delay)"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
        EXPECT_EQ(NonZero(Read("ir.wav")), (Echoes{{c.requested, 1.0f}})) << c.rate;

        run = Tool({"--impulse", "0.1", Path("ir.wav"), "--rate", c.rate, "--set", "Max Delay(s)=0.04"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const std::size_t warning = run.err.find("warning: the tap delay of " + std::to_string(c.requested) +
                                                 " samples exceeds the \"Max Delay(s)\" line");
        EXPECT_LT(warning, run.err.find("frames")) << "warned before the render\n" << run.err;
        EXPECT_NE(run.err.find("tap is at " + std::to_string(c.wrapped) + " samples"), std::string::npos) << run.err;
        const auto echoes = NonZero(Read("ir.wav"));
        ASSERT_FALSE(echoes.empty()) << c.rate;
        EXPECT_EQ(echoes.front(), (std::pair<std::size_t, float>{c.wrapped, 1.0f})) << c.rate;
    }
}

// A "1 Time" with a unit lands on exactly that sample in every "Time Mode", at every rate, whole-sample or
// interpolated; a plain number keeps the module's meaning (a shown 7 is the float 0.7: 6.9999999 samples).
TEST_F(RenderTool, DelayInUnitsLandsOnTheExactSample) {
    struct Delay {
        const char* time;
        double samples_per_hz;  // the delay at a rate: samples_per_hz x rate, or `samples` when 0
        std::size_t samples;
    };
    const Delay delays[] = {{"20ms", 0.02, 0}, {"0.01s", 0.01, 0}, {"1102smp", 0.0, 1102}, {"7smp", 0.0, 7}};
    for (const char* rate : {"44100", "48000", "96000"}) {
        for (const char* mode : {"Time(s)", "Time(ms)", "Samples"}) {
            for (const char* accuracy : {"Sample", "Fraction(Econ)"}) {
                for (const Delay& delay : delays) {
                    const std::size_t expected = delay.samples_per_hz > 0.0
                                                     ? static_cast<std::size_t>(delay.samples_per_hz * std::stod(rate) + 0.5)
                                                     : delay.samples;
                    const std::string label = std::string(rate) + " Hz, " + mode + ", " + accuracy + ", " + delay.time;
                    const ToolRun run = Tool({"--impulse", "0.03", Path("ir.wav"), "--rate", rate, "--set",
                                              std::string("Time Mode=") + mode, "--set",
                                              std::string("Time Accuracy=") + accuracy, "--set",
                                              std::string("1 Time=") + delay.time});
                    ASSERT_EQ(run.exit_code, 0) << label << "\n" << run.err;
                    const auto out = Read("ir.wav");
                    const auto loudest = std::max_element(out.begin(), out.end()) - out.begin();
                    EXPECT_EQ(static_cast<std::size_t>(loudest), expected) << label;
                    if (std::string(accuracy) == "Sample") {
                        EXPECT_EQ(NonZero(out), (Echoes{{expected, 1.0f}})) << label;
                        EXPECT_NE(run.err.find("tap delay   " + std::to_string(expected) + " samples"),
                                  std::string::npos) << label << "\n" << run.err;
                    } else {
                        EXPECT_GT(out[expected], 0.999f) << label << ": a fraction of at most one step of the pin's float";
                    }
                }
            }
        }
    }
    const ToolRun plain = Tool({"--impulse", "0.01", Path("ir.wav"), "--set", "Time Mode=Samples", "--set", "1 Time=7"});
    ASSERT_EQ(plain.exit_code, 0) << plain.err;
    EXPECT_EQ(NonZero(Read("ir.wav")), (Echoes{{6, 1.0f}}));
}

TEST_F(RenderTool, FileKeepsItsFormatAndTheTapInvertsWithANegativeVolume) {
    std::vector<std::int32_t> input(1000, 0);
    input[100] = 16384;
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, input);
    const ToolRun run = Tool({Path("in.wav"), Path("out.wav"), "--set", "Time Mode=Samples", "--set", "1 Time=50",
                          "--set", "1 Volume 10=100%=-10"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    SF_INFO info{};
    const auto samples = Read("out.wav", &info);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.frames, 1000 + 51) << "default tail: the tap delay and one sample";
    EXPECT_EQ(NonZero(samples), (Echoes{{150, -0.5f}}));
}

TEST_F(RenderTool, StereoChannelsRunThroughIndependentInstances) {
    std::vector<float> stereo(2 * 600, 0.0f), left(600, 0.0f), right(600, 0.0f);
    stereo[0] = left[0] = 1.0f;               // left: impulse at 0
    stereo[2 * 30 + 1] = right[30] = 0.25f;   // right: a smaller one at 30
    Write("stereo.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, {}, stereo);
    Write("left.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, {}, left);
    Write("right.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, {}, right);
    const std::vector<std::string> loop{"--set", "Time Mode=Samples", "--set", "1 Time=100",
                                        "--set", "Feedback +/-10=5", "--set", "Damping/Feedback Mode=Tap1",
                                        "--tail", "0", "--block", "64"};
    for (const char* name : {"stereo", "left", "right"}) {
        std::vector<std::string> args{Path(std::string(name) + ".wav"), Path(std::string(name) + "-out.wav")};
        args.insert(args.end(), loop.begin(), loop.end());
        ASSERT_EQ(Tool(args).exit_code, 0) << name;
    }
    const auto both = Read("stereo-out.wav");
    EXPECT_EQ(NonZero(both, 2, 0), (Echoes{{100, 1.0f}, {200, 0.5f}, {300, 0.25f}, {400, 0.125f}, {500, 0.0625f}}));
    EXPECT_EQ(NonZero(both, 2, 0), NonZero(Read("left-out.wav")));
    EXPECT_EQ(NonZero(both, 2, 1), NonZero(Read("right-out.wav")));
    EXPECT_EQ(NonZero(both, 2, 1).front(), (std::pair<std::size_t, float>{130, 0.25f}));
}

// With a ramp for an input, the output tells the delay at every sample: y[n] = x[n - delay].
TEST_F(RenderTool, RampStreamsTheTimePin) {
    constexpr std::size_t frames = 4800;
    constexpr double scale = 65536.0;
    std::vector<float> ramp(frames);
    for (std::size_t n = 0; n < frames; ++n) ramp[n] = static_cast<float>(n / scale);
    Write("ramp.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, {}, ramp);
    auto delays = [&](const char* accuracy, const char* time) {
        const ToolRun run = Tool({Path("ramp.wav"), Path("out.wav"), "--tail", "0", "--block", "64", "--set",
                              "Time Mode=Samples", "--set", std::string("Time Accuracy=") + accuracy, "--set",
                              std::string("1 Time=") + time});
        EXPECT_EQ(run.exit_code, 0) << run.err;
        const auto out = Read("out.wav");
        std::vector<double> delay(out.size());
        for (std::size_t n = 0; n < out.size(); ++n) delay[n] = static_cast<double>(n) - out[n] * scale;
        return std::make_pair(delay, run.err);
    };
    // The pin's value at sample n, as the host streams it; the module's delay is 10 x that in "Samples" mode.
    auto pin_delay = [&](std::size_t n) { return 10.0 * er_render::RampValue(10.0f, 30.0f, n, frames); };

    const auto [full, full_summary] = delays("Fraction(Full)", "100..300");
    EXPECT_NE(full_summary.find("delay read at every sample"), std::string::npos) << full_summary;
    const auto [econ, econ_summary] = delays("Fraction(Econ)", "100..300");
    EXPECT_NE(econ_summary.find("delay read once per block"), std::string::npos) << econ_summary;
    const auto [fixed, fixed_summary] = delays("Fraction(Full)", "100");
    for (std::size_t n = 400; n < frames; n += 13) {
        EXPECT_NEAR(full[n], pin_delay(n), 0.01) << "per sample, n = " << n;
        EXPECT_NEAR(econ[n], pin_delay(n / 64 * 64), 0.01) << "per block, n = " << n;
        EXPECT_NEAR(fixed[n], 100.0, 0.01) << "static, n = " << n;
    }
    EXPECT_GT(full[4000 + 63] - full[4000], 2.0) << "the delay moves inside a block";
}

TEST_F(RenderTool, GateClearsTheEchoTailInEitherMonoMode) {
    const std::vector<std::string> loop{"--set", "Time Mode=Samples", "--set", "1 Time=100", "--set",
                                        "Feedback +/-10=5", "--set", "Damping/Feedback Mode=Tap1"};
    auto render = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{"--impulse", "0.015", Path("ir.wav")};
        args.insert(args.end(), loop.begin(), loop.end());
        args.insert(args.end(), extra.begin(), extra.end());
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        return NonZero(Read("ir.wav"));
    };
    EXPECT_EQ(render({}).size(), 7u) << "echoes every 100 samples to the end";
    const Echoes cleared{{100, 1.0f}, {200, 0.5f}};
    EXPECT_EQ(render({"--gate", "250smp"}), cleared);
    EXPECT_EQ(render({"--gate", "250smp", "--set", "Midi_to_CV:Mono Mode(Poly Reset)=On"}), cleared);
    EXPECT_EQ(render({"--gate", "3ms"}), (Echoes{{100, 1.0f}})) << "3 ms is sample 144";
}

TEST_F(RenderTool, Pcm16ReportsEverySampleTheGainPushesPastFullScale) {
    std::vector<std::int32_t> input(4800);
    for (std::size_t n = 0; n < input.size(); ++n) {
        input[n] = static_cast<std::int32_t>(std::lround(24000.0 * std::sin(0.01 * static_cast<double>(n))));
    }
    // Without a tail, the last ten input samples never come out.
    std::int64_t expected = 0;
    for (std::size_t n = 0; n + 10 < input.size(); ++n) {
        expected += (2 * input[n] >= 32768 || 2 * input[n] < -32768) ? 1 : 0;
    }
    Write("sine.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, input);
    const ToolRun run = Tool({Path("sine.wav"), Path("loud.wav"), "--format", "pcm16", "--tail", "0", "--set",
                          "Time Mode=Samples", "--set", "1 Time=10", "--set", "1 Volume 10=100%=20"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    ASSERT_GT(expected, 0);
    EXPECT_NE(run.err.find(" " + std::to_string(expected) + " samples clipped"), std::string::npos) << run.err;
    const auto out = ReadInts("loud.wav", 16);
    for (std::size_t n = 10; n < out.size(); ++n) {
        EXPECT_EQ(out[n], std::clamp(2 * input[n - 10], -32768, 32767)) << n;
    }
}

TEST_F(RenderTool, UnityPureDelayIsBitTransparent) {
    for (const int bits : {16, 24}) {
        const std::int32_t full = 1 << (bits - 1);
        std::vector<std::int32_t> input{-full, full - 1, 1, -1, 0};
        std::uint32_t seed = 12345;
        while (input.size() < 3000) {
            seed = seed * 1664525u + 1013904223u;
            input.push_back(static_cast<std::int32_t>(seed >> (32 - bits)) - full);
        }
        const int subtype = bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24;
        Write("in.wav", SF_FORMAT_WAV | subtype, 1, input);
        const ToolRun run = Tool({Path("in.wav"), Path("out.wav"), "--set", "Time Mode=Samples", "--set", "1 Time=5",
                              "--block", "100"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_NE(run.err.find(" 0 samples clipped"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("dither      none ("), std::string::npos) << run.err;
        const auto out = ReadInts("out.wav", bits);
        ASSERT_EQ(out.size(), input.size() + 6);
        for (std::size_t n = 0; n < out.size(); ++n) {
            const std::int32_t expected = (n < 5 || n - 5 >= input.size()) ? 0 : input[n - 5];
            ASSERT_EQ(out[n], expected) << bits << " bits, sample " << n;
        }
    }
}

TEST_F(RenderTool, SettingsFileAndSetCombineWithSetLast) {
    std::ofstream(Path("slap.txt")) << "# samples\nTime Mode=Samples\n\n1 Time=10\n";
    ToolRun run = Tool({"--impulse", "0.01", Path("ir.wav"), "--settings", Path("slap.txt")});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(NonZero(Read("ir.wav")), (Echoes{{10, 1.0f}}));
    run = Tool({"--impulse", "0.01", Path("ir.wav"), "--settings", Path("slap.txt"), "--set", "1 Time=20"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(NonZero(Read("ir.wav")), (Echoes{{20, 1.0f}}));
}

TEST_F(RenderTool, TailDefaultsToTheDecayAndCanBeSet) {
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<std::int32_t>(1000, 0));
    auto frames = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{Path("in.wav"), Path("out.wav"), "--set", "1 Time=25", "--set",
                                      "Feedback +/-10=5", "--set", "Damping/Feedback Mode=Tap1"};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(Tool(args).exit_code, 0);
        SF_INFO info{};
        Read("out.wav", &info);
        return info.frames;
    };
    EXPECT_EQ(frames({}), 1000 + 1201 * 11) << "ten trips of feedback 0.5 fall by 60 dB";
    EXPECT_EQ(frames({"--tail", "0"}), 1000);
    EXPECT_EQ(frames({"--tail", "0.5"}), 1000 + 24000);
}

TEST_F(RenderTool, BadInputGivesItsMessageAndCodeAndNoFile) {
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<std::int32_t>(480, 100));
    Write("keep.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<std::int32_t>(10, 7));
    std::ofstream(Path("notes.txt")) << "not a sound file\n";
    std::ofstream(Path("bad.txt")) << "1 Time=5\nTime Mode\n";
    fs::create_directory(Path("folder"));
    fs::create_symlink(Path("in.wav"), Path("link.wav"));
    const std::string in = Path("in.wav"), out = Path("out.wav");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string message;
    };
    const Case cases[] = {
        {{Path("missing.wav"), out}, 3, "cannot read the input \"" + Path("missing.wav") + "\""},
        {{Path("notes.txt"), out}, 3, "cannot read the input \"" + Path("notes.txt") + "\""},
        {{Path("folder"), out}, 3, "is a folder"},
        {{in, out, "--set", "Bogus=1"}, 2, "--set \"Bogus=1\": the module has no pin \"Bogus\""},
        {{in, out, "--set", "Time Mode=Hours"}, 2, "\"Hours\" is not a choice of \"Time Mode\""},
        {{in, out, "--set", "1 Time=fast"}, 2, "\"fast\" is not a number"},
        {{in, out, "--set", "Time Mode=0..2"}, 2, "\"Time Mode\" is a choice pin; only float pins can ramp"},
        {{in, out, "--set", "1 Time"}, 2, "expected Name=value"},
        {{in, out, "--block", "0"}, 2, "--block must be a whole number from 1"},
        {{in, out, "--block", "-64"}, 2, "--block must be a whole number from 1"},
        {{"--impulse", "0.1", out, "--rate", "0"}, 2, "--rate must be a whole number from 1"},
        {{"--impulse", "0.1", out, "--rate", "-48000"}, 2, "--rate must be a whole number from 1"},
        {{in, out, "--gate", "2"}, 2, "--gate 2 lies outside the render"},
        {{in, out, "--gate", "-1smp"}, 2, "lies outside the render"},
        {{in, out, "--gate", "soon"}, 2, "\"soon\" is not a time"},
        {{in, out, "--tail", "-1"}, 2, "--tail takes seconds"},
        {{in, out, "--format", "mp4"}, 2, "--format for a WAV (Microsoft) file takes pcm8u, pcm16, pcm24"},
        {{in, out, "--dither", "shaped"}, 2, "--dither takes none or tpdf"},
        {{in, out, "--dry", "-inf"}, 2, "--dry takes decibels from -200 to 200 or \"off\""},
        {{in, out, "--type", "xyz"}, 2, "--type takes a file extension"},
        {{in, out, "--set", "Feedback +/-10=15"}, 2, "\"Feedback +/-10\" takes -10 .. 10, not \"15\""},
        {{in, out, "--set", "Feedback +/-10=0..-10.5"}, 2, "takes -10 .. 10"},
        {{in, out, "--set", "Damping 0-10=11"}, 2, "\"Damping 0-10\" takes 0 .. 10"},
        {{in, out, "--set", "Damping 0-10=-1"}, 2, "\"Damping 0-10\" takes 0 .. 10"},
        {{in, out, "--set", "1 Time=-5"}, 2, "\"1 Time\" takes 0 or more"},
        {{in, out, "--set", "1 Time=0.5smp"}, 2, "the module's shortest delay is 1 sample"},
        {{in, out, "--set", "1 Volume 10=100%=5ms"}, 2, "only \"1 Time\" takes a unit"},
        {{in, out, "--settings", Path("folder")}, 2, "is a folder"},
        {{in, out, "--allow-unsafe", "--set", "Feedback +/-10=15", "--set", "Damping/Feedback Mode=Tap1", "--set",
          "Time Mode=Samples", "--set", "1 Time=10"}, 6, "the output becomes infinite at 0.0"},
        {{in, Path("out.flac"), "--format", "float"}, 2, "--format for a FLAC (Free Lossless Audio Codec) file takes"},
        {{in, out, "--settings", Path("nothing.txt")}, 2, "cannot read the settings file"},
        {{in, out, "--settings", Path("bad.txt")}, 2, Path("bad.txt") + ":2: expected Name=value"},
        {{in, out, "--module", Path("nothing.so")}, 5, "cannot load the module"},
        {{in, out, "--module", Path("notes.txt")}, 5, "cannot load the module"},
        {{in, in}, 4, "is the input file; er-render never overwrites its input"},
        {{in, Path("link.wav")}, 4, "is the input file"},
        {{in, Path("keep.wav"), "--set", "Bogus=1"}, 2, "no pin"},
        {{in, Path("folder")}, 4, "is a folder"},
        {{in, Path("nowhere/out.wav")}, 4, "cannot create the output in \"" + Path("nowhere") + "\""},
        {{in}, 2, "expected IN OUT"},
        {{"--plot", Path("fig.gif")}, 2, "--plot \"" + Path("fig.gif") + "\": the extension names the kind of "
                                                                        "figure, .svg, .png or .pdf"},
        {{"--plot", Path("fig")}, 2, ".svg, .png or .pdf"},
        {{"--plot-data", Path("fig.txt")}, 2, "the extension names the kind of data, .csv or .json"},
        {{"--plot", Path("nowhere/fig.svg")}, 4, "cannot create the figure \"" + Path("nowhere/fig.svg") + "\""},
        {{in, out, "--plot-data", Path("nowhere/fig.csv")}, 4, "cannot create the plot data"},
        {{in, Path("fig.svg"), "--plot", Path("fig.svg")}, 4, "is the rendered output"},
        {{"--plot", Path("fig.svg"), "--plot-data", Path("fig.svg")}, 2, "--plot-data \"" + Path("fig.svg") +
                                                                        "\": the extension names"},
        {{"--plot", Path("fig.svg"), "--set", "Bogus=1"}, 2, "no pin"},
        {{"--test-signal", "1", out, "--plot", Path("fig.svg")}, 2, "the --test-signal has none"},
        {{"--plot", Path("fig.svg"), "--tail", "0.1", "--set", "1 Time=25", "--set", "Damping/Feedback Mode=Output",
          "--set", "Feedback +/-10=10", "--set", "1 Volume 10=100%=1e37"},
         6, "the output becomes infinite at 0.050000 s (sample 2400, channel 1)"},
        {{in, out, "--no-such-option"}, 2, "--no-such-option"},
    };
    const auto before = Listing();
    const auto kept = ReadInts("keep.wav", 16);
    for (const Case& c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, c.code) << c.args.back() << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.message << "\n" << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(Listing(), before) << "a failed run leaves no file: " << c.message;
    }
    EXPECT_EQ(ReadInts("keep.wav", 16), kept);
    EXPECT_EQ(ReadInts("in.wav", 16), std::vector<std::int32_t>(480, 100));
}

std::string Bytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// "-" is stdin and stdout: a pipe both ways carries the bytes a render between files writes, in any container.
TEST_F(RenderTool, PipesBothWaysGiveTheBytesOfFiles) {
    std::vector<std::int32_t> input(3000);
    for (std::size_t n = 0; n < input.size(); ++n) input[n] = static_cast<std::int32_t>((n * 7919) % 20000) - 10000;
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, input);
    const std::string settings = " --set '1 Time=10ms' --set 'Feedback +/-10=5' --set 'Damping/Feedback Mode=Tap1'";
    for (const char* type : {"wav", "flac", "aiff"}) {
        const std::string file = std::string("file.") + type;
        ASSERT_EQ(Shell("$R in.wav " + file + settings).exit_code, 0);
        const ToolRun piped = Shell(std::string("cat in.wav | $R - - --type ") + type + settings + " | cat > piped");
        ASSERT_EQ(piped.exit_code, 0) << piped.err;
        EXPECT_EQ(Bytes(m_dir / "piped"), Bytes(m_dir / file)) << type;
        EXPECT_GT(Bytes(m_dir / file).size(), 3000u);
    }
    const ToolRun json_and_data = Tool({"-", "-"});
    EXPECT_NE(json_and_data.exit_code, 0);
}

// Outputs that are not new files: a FIFO is written in place, a symbolic link's target is written (the link
// stays), an existing file keeps its mode, and a read-only one is left alone.
TEST_F(RenderTool, OutputsThatExistAlreadyAreTreatedAsUnixToolsDo) {
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<std::int32_t>(2000, 1000));
    const std::vector<std::string> settings{"--set", "1 Time=5ms", "--tail", "0"};
    auto render = [&](const std::string& out) {
        std::vector<std::string> args{Path("in.wav"), out};
        args.insert(args.end(), settings.begin(), settings.end());
        return Tool(args);
    };
    ASSERT_EQ(render(Path("reference.wav")).exit_code, 0);
    const std::string reference = Bytes(m_dir / "reference.wav");

    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
    const ToolRun fifo = Shell("cat fifo > from-fifo & $R in.wav fifo --set '1 Time=5ms' --tail 0; wait");
    ASSERT_EQ(fifo.exit_code, 0) << fifo.err;
    EXPECT_EQ(Bytes(m_dir / "from-fifo"), reference);
    EXPECT_TRUE(fs::is_fifo(m_dir / "fifo"));

    std::ofstream(Path("target.wav")) << "old";
    fs::permissions(Path("target.wav"), fs::perms(0640));
    fs::create_symlink("target.wav", Path("link.wav"));
    ASSERT_EQ(render(Path("link.wav")).exit_code, 0);
    EXPECT_TRUE(fs::is_symlink(m_dir / "link.wav"));
    EXPECT_EQ(Bytes(m_dir / "target.wav"), reference);
    EXPECT_EQ(fs::status(m_dir / "target.wav").permissions(), fs::perms(0640));

    std::ofstream(Path("locked.wav")) << "keep";
    fs::permissions(Path("locked.wav"), fs::perms(0444));
    const ToolRun locked = render(Path("locked.wav"));
    EXPECT_EQ(locked.exit_code, 4);
    EXPECT_NE(locked.err.find("is read-only"), std::string::npos) << locked.err;
    EXPECT_EQ(Bytes(m_dir / "locked.wav"), "keep");
    EXPECT_EQ(Listing(), (std::set<std::string>{"in.wav", "reference.wav", "fifo", "from-fifo", "target.wav",
                                                 "link.wav", "locked.wav"}));
}

// Each signal that ends a render removes its temporary file and ends the tool by that signal.
TEST_F(RenderTool, EachStopSignalLeavesNoFile) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        const pid_t pid = Start({"--impulse", "3000", Path("long.wav"), "--format", "pcm16"});
        ASSERT_GT(pid, 0);
        bool started = false;
        for (int wait = 0; wait < 2000 && !started; ++wait) {
            started = Listing().size() == 1;
            if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(started) << "the temporary file appears";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kill(pid, signal_number);
        EXPECT_EQ(Finish(pid).exit_code, 128 + signal_number);
        EXPECT_EQ(Listing(), std::set<std::string>{}) << "signal " << signal_number;
    }
}

// Every container (by its extension) and sample format libsndfile writes: OUT takes it, and a lossless one carries
// a one-sample delay of the input exactly. Unset, the format is the input's where the container holds it, else
// the nearest it does.
TEST_F(RenderTool, EveryContainerAndSampleFormatLibsndfileWritesRoundTrips) {
    std::vector<float> grid(1000);
    for (std::size_t n = 0; n < grid.size(); ++n) grid[n] = static_cast<float>(static_cast<int>(n % 201) - 100) / 128;
    Write("grid.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, {}, grid);
    const std::set<std::string> lossy{"ulaw", "alaw", "vorbis", "opus", "mp1", "mp2", "mp3", "other"};
    int majors = 0, subtypes = 0, pairs = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof(majors));
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &subtypes, sizeof(subtypes));
    std::set<std::string> extensions;
    for (int m = 0; m < majors; ++m) {
        SF_FORMAT_INFO major{};
        major.format = m;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof(major));
        if (!extensions.insert(major.extension).second) continue;  // reached by its first container only
        for (int t = 0; t < subtypes; ++t) {
            SF_FORMAT_INFO subtype{};
            subtype.format = t;
            sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &subtype, sizeof(subtype));
            SF_INFO check{};
            check.samplerate = 48000;
            check.channels = 1;
            check.format = (major.format & SF_FORMAT_TYPEMASK) | subtype.format;
            const std::string name(er_render::SubtypeName(subtype.format));
            if (!sf_format_check(&check) || name == "other") continue;
            // libsndfile's check passes pairs it then cannot write (MPEG layers I and II, 12-bit DWVW in AIFF).
            SF_INFO probe_info = check;
            SNDFILE* probe = sf_open((m_root / "probe").c_str(), SFM_WRITE, &probe_info);
            int frame[1] = {0};
            const bool writes = probe != nullptr && sf_writef_int(probe, frame, 1) == 1;
            sf_close(probe);
            if (!writes) continue;
            const std::string out = std::string("pair.") + major.extension;
            const std::string label = out + " " + name;
            const ToolRun run = Tool({Path("grid.wav"), Path(out), "--format", name, "--dither", "none", "--tail",
                                      "0", "--set", "Time Mode=Samples", "--set", "1 Time=1smp"});
            ASSERT_EQ(run.exit_code, 0) << label << "\n" << run.err;
            ++pairs;
            // Raw has no header to read it by; libsndfile reads SD2 only with its resource fork.
            if ((check.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW || (check.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_SD2) {
                EXPECT_GT(fs::file_size(Path(out)), 0u);
                continue;
            }
            SF_INFO info{};
            const auto samples = Read(out, &info);
            EXPECT_EQ(info.format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK), check.format) << label;
            // MIDI sample dumps go in packets of 120 samples; libsndfile drops the last partial one.
            if (lossy.count(name) == 0 && std::string(major.extension) != "sds") {
                ASSERT_EQ(samples.size(), grid.size()) << label;
                for (std::size_t n = 1; n < grid.size(); ++n) ASSERT_EQ(samples[n], grid[n - 1]) << label << " " << n;
            }
            fs::remove(Path(out));
        }
    }
    EXPECT_GT(pairs, 40);

    Write("u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, {}, grid);
    struct Default {
        std::vector<std::string> args;
        std::string out;
        int format;
    };
    const Default defaults[] = {
        {{Path("grid.wav"), Path("f.flac")}, "f.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {{Path("u8.wav"), Path("u8.flac")}, "u8.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_S8},
        {{Path("grid.wav"), Path("v.ogg")}, "v.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {{Path("v.ogg"), Path("from-ogg.wav")}, "from-ogg.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {{"--impulse", "0.01", Path("ir.flac")}, "ir.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {{Path("grid.wav"), "-", "--type", "au"}, "", 0},
    };
    for (const Default& d : defaults) {
        const ToolRun run = Tool(d.args);
        ASSERT_EQ(run.exit_code, 0) << d.out << "\n" << run.err;
        if (d.out.empty()) continue;
        SF_INFO info{};
        Read(d.out, &info);
        EXPECT_EQ(info.format, d.format) << d.out;
    }
}

// Dither: a -100 dBFS sine into 16 bits survives as noise-like samples with TPDF dither, the same in every run,
// and rounds to silence without it; an exact render is never dithered (UnityPureDelayIsBitTransparent).
TEST_F(RenderTool, QuietSignalSurvivesTheCutTo16BitsAsDither) {
    std::vector<float> sine(4800);
    for (std::size_t n = 0; n < sine.size(); ++n) sine[n] = static_cast<float>(1.0e-5 * std::sin(0.05 * n));
    Write("quiet.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, {}, sine);
    auto render = [&](const std::string& out, const char* dither) {
        std::vector<std::string> args{Path("quiet.wav"), Path(out), "--format", "pcm16", "--tail", "0"};
        if (dither != nullptr) args.insert(args.end(), {"--dither", dither});
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        return run.err;
    };
    EXPECT_NE(render("auto.wav", nullptr).find("dither      TPDF (16-bit samples)"), std::string::npos);
    render("again.wav", nullptr);
    render("none.wav", "none");
    const auto dithered = ReadInts("auto.wav", 16);
    std::map<std::int32_t, int> values;
    for (const std::int32_t value : dithered) ++values[value];
    EXPECT_EQ(values.size(), 3u) << "-1, 0 and 1 LSB";
    EXPECT_GT(dithered.size() - values[0], dithered.size() / 4) << "most samples are not zero";
    EXPECT_EQ(Bytes(m_dir / "auto.wav"), Bytes(m_dir / "again.wav")) << "a fixed seed";
    EXPECT_EQ(ReadInts("none.wav", 16), std::vector<std::int32_t>(dithered.size(), 0));
}

// --dry and --wet mix the input with the module's output, and --gain scales the sum, as a mix by hand does.
TEST_F(RenderTool, DryAndWetEqualTheSumDoneByHand) {
    std::vector<float> input(3000);
    for (std::size_t n = 0; n < input.size(); ++n) input[n] = static_cast<float>(0.3 * std::sin(0.01 * n));
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, {}, input);
    const std::vector<std::string> loop{"--set", "1 Time=5ms", "--set", "Feedback +/-10=5", "--tail", "0"};
    auto render = [&](const std::string& out, std::vector<std::string> extra) {
        std::vector<std::string> args{Path("in.wav"), Path(out)};
        args.insert(args.end(), loop.begin(), loop.end());
        args.insert(args.end(), extra.begin(), extra.end());
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        return Read(out);
    };
    const auto wet = render("wet.wav", {});
    const auto mixed = render("mixed.wav", {"--dry", "-6", "--wet", "-3", "--gain", "+2"});
    const auto dry = render("dry.wav", {"--dry", "0", "--wet", "off"});
    ASSERT_EQ(mixed.size(), input.size());
    const double d = std::pow(10.0, -6.0 / 20), w = std::pow(10.0, -3.0 / 20), g = std::pow(10.0, 2.0 / 20);
    for (std::size_t n = 0; n < input.size(); ++n) {
        ASSERT_NEAR(mixed[n], g * (d * input[n] + w * wet[n]), 1.0e-6) << n;
    }
    EXPECT_EQ(dry, input);
}

// What users of sox, ffmpeg and lv2apply reach for: presets, -n with --json, -q, --version, a readable pin list,
// one usage block; and the warning when the default tail is cut while the echoes still ring.
TEST_F(RenderTool, HabitsOfSoxUsers) {
    ASSERT_EQ(Tool({"--test-signal", "0.5", Path("dry.wav")}).exit_code, 0);
    const ToolRun presets = Tool({"--list-presets"});
    EXPECT_NE(presets.out.find("room "), std::string::npos) << presets.out;
    ASSERT_EQ(Tool({Path("dry.wav"), Path("preset.wav"), "--preset", "room"}).exit_code, 0);
    ASSERT_EQ(Tool({Path("dry.wav"), Path("file.wav"), "--settings", std::string(ER_RENDER_EXAMPLES) + "/room.settings"})
                  .exit_code, 0);
    EXPECT_EQ(Bytes(m_dir / "preset.wav"), Bytes(m_dir / "file.wav"));
    EXPECT_EQ(Tool({Path("dry.wav"), Path("x.wav"), "--preset", "cathedral"}).exit_code, 2);

    const ToolRun analysed = Tool({Path("dry.wav"), "-n", "--json", "--set", "1 Time=25ms"});
    ASSERT_EQ(analysed.exit_code, 0) << analysed.err;
    const auto json = nlohmann::json::parse(analysed.out);
    EXPECT_EQ(json["tap_delay_samples"], 1200.0);
    EXPECT_GT(json["peak"].get<double>(), 0.1);
    EXPECT_EQ(Listing(), (std::set<std::string>{"dry.wav", "preset.wav", "file.wav"})) << "-n writes nothing";

    const ToolRun quiet = Tool({Path("dry.wav"), Path("q.wav"), "-q"});
    EXPECT_EQ(quiet.exit_code, 0);
    EXPECT_EQ(quiet.err + quiet.out, "");
    const ToolRun version = Tool({"--version"});
    EXPECT_EQ(version.out.rfind("er-render ", 0), 0u) << version.out;
    const ToolRun pins = Tool({"--list-pins"});
    EXPECT_NE(pins.out.find("-10 .. 10"), std::string::npos) << pins.out;
    EXPECT_NE(pins.out.find("0 or more"), std::string::npos) << pins.out;
    EXPECT_EQ(pins.out.find("10,0,10,0"), std::string::npos) << pins.out;
    const ToolRun help = Tool({"--help"});
    EXPECT_EQ(help.out.find("Usage"), help.out.rfind("Usage")) << "one usage block\n" << help.out;
    EXPECT_NE(help.out.find("Examples:"), std::string::npos);

    // Feedback 10 keeps the loop ringing at full level: the 30 s default tail cuts it, and says so.
    const ToolRun ringing = Tool({Path("dry.wav"), Path("ring.wav"), "--set", "Feedback +/-10=10", "--set",
                                  "Damping/Feedback Mode=Tap1", "--set", "1 Time=100ms"});
    ASSERT_EQ(ringing.exit_code, 0) << ringing.err;
    EXPECT_NE(ringing.err.find("the default tail stops at 30 s while the echoes are still at"), std::string::npos)
        << ringing.err;
    EXPECT_NE(ringing.err.find("--tail"), std::string::npos);
    const ToolRun decayed = Tool({Path("dry.wav"), Path("ring.wav"), "--set", "Feedback +/-10=5", "--set",
                                  "Damping/Feedback Mode=Tap1", "--set", "1 Time=100ms"});
    EXPECT_EQ(decayed.err.find("warning"), std::string::npos) << decayed.err;
}

// --batch: every input into OUTDIR with the same settings by worker processes; each output is byte for byte a
// single render's, at any rate; a bad file among good ones is reported and fails the batch at the end.
TEST_F(RenderTool, BatchRendersEachFileAsASingleRenderWould) {
    Write("a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<std::int32_t>(3000, 1200), {}, 44100);
    Write("b.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, std::vector<std::int32_t>(6000, -5000), {}, 96000);
    Write("c.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, {}, std::vector<float>(2000, 0.25f), 48000);
    std::ofstream(Path("bad.wav")) << "not a sound file";
    fs::create_directory(Path("single"));
    fs::create_directory(Path("batch"));
    const std::vector<std::string> settings{"--set", "1 Time=10ms", "--set", "Feedback +/-10=5", "--set",
                                            "Time Accuracy=Fraction(Econ)"};
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
        std::vector<std::string> args{Path(name), Path(std::string("single/") + name)};
        args.insert(args.end(), settings.begin(), settings.end());
        ASSERT_EQ(Tool(args).exit_code, 0) << name;
    }
    std::vector<std::string> args{"--batch", Path("batch"), Path("a.wav"), Path("bad.wav"), Path("b.wav"),
                                  Path("c.wav"), "--jobs", "2"};
    args.insert(args.end(), settings.begin(), settings.end());
    const ToolRun batch = Tool(args);
    EXPECT_EQ(batch.exit_code, 7) << batch.err;
    EXPECT_NE(batch.err.find(Path("bad.wav") + ": failed: cannot read the input"), std::string::npos) << batch.err;
    EXPECT_NE(batch.err.find("4 files, 3 rendered, 1 failed"), std::string::npos) << batch.err;
    EXPECT_LT(batch.err.find("a.wav ->"), batch.err.find("b.wav ->")) << "lines in input order";
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
        EXPECT_EQ(Bytes(m_dir / "batch" / name), Bytes(m_dir / "single" / name)) << name;
    }
    EXPECT_FALSE(fs::exists(m_dir / "batch" / "bad.wav"));
}

// The README's demo and recipes: each example setting renders the tool's own test signal without a warning
// or a clipped sample, and is heard.
TEST_F(RenderTool, ExampleSettingsRenderTheTestSignalCleanly) {
    ASSERT_EQ(Tool({"--test-signal", "1", Path("dry.wav")}).exit_code, 0);
    SF_INFO dry{};
    Read("dry.wav", &dry);
    EXPECT_EQ(dry.frames, 48000);
    EXPECT_EQ(dry.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    int examples = 0;
    for (const auto& entry : fs::directory_iterator(ER_RENDER_EXAMPLES)) {
        ++examples;
        const ToolRun run = Tool({Path("dry.wav"), Path("wet.wav"), "--settings", entry.path().string()});
        ASSERT_EQ(run.exit_code, 0) << entry.path() << "\n" << run.err;
        EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(" 0 samples clipped"), std::string::npos) << run.err;
        const auto wet = Read("wet.wav");
        EXPECT_GT(NonZero(wet).size(), 1000u) << entry.path();
    }
    EXPECT_GE(examples, 4);
}

TEST_F(RenderTool, ListsPinsAndIdentity) {
    const ToolRun pins = Tool({"--list-pins"});
    ASSERT_EQ(pins.exit_code, 0) << pins.err;
    EXPECT_NE(pins.out.find("Max Delay(s)"), std::string::npos);
    EXPECT_NE(pins.out.find("8 0.040 (2048sm)"), std::string::npos) << pins.out;
    EXPECT_NE(pins.out.find("1 On, 0 Off"), std::string::npos) << pins.out;
    const ToolRun info = Tool({"--info"});
    ASSERT_EQ(info.exit_code, 0) << info.err;
    EXPECT_NE(info.out.find("ZV_1x_ER_Gen"), std::string::npos);
    EXPECT_NE(info.out.find("Dedicated Early Reflection Generator"), std::string::npos);
}

// ---- --plot and --plot-data ----------------------------------------------------------------------------------

struct PlotRow {
    double x = 0.0;
    double y = 0.0;
};

// A --plot-data CSV, its rows by series ("envelope", "echo", "response").
std::map<std::string, std::vector<PlotRow>> ReadPlotCsv(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    EXPECT_EQ(line, "series,x,y") << path;
    std::map<std::string, std::vector<PlotRow>> rows;
    while (std::getline(file, line)) {
        const std::size_t first = line.find(',');
        const std::size_t second = line.find(',', first + 1);
        rows[line.substr(0, first)].push_back(
            {std::stod(line.substr(first + 1, second - first - 1)), std::stod(line.substr(second + 1))});
    }
    return rows;
}

std::string Shown(double value) {
    std::ostringstream text;
    text << value * 10.0;
    return text.str();
}

// A whole-sample loop without damping: echo k arrives k tap delays after the impulse at V x F^(k-1), in both
// routings that feed the tap back, with either sign of feedback.
TEST_F(RenderTool, PlotDataMarksEachEchoOfALoopAtItsLevel) {
    struct Case {
        const char* routing;
        double feedback;
        double volume;
    };
    for (const Case& c : {Case{"Input+Tap1", 0.5, 1.0}, Case{"Tap1", -0.7, 0.8}, Case{"Input+Tap1", 0.9, 0.5}}) {
        const std::string label = std::string(c.routing) + " F " + Shown(c.feedback) + " V " + Shown(c.volume);
        const ToolRun run = Tool({"--plot-data", Path("ir.csv"), "--set", "Time Mode=Samples", "--set", "1 Time=300",
                                  "--set", std::string("Damping/Feedback Mode=") + c.routing, "--set",
                                  "Feedback +/-10=" + Shown(c.feedback), "--set",
                                  "1 Volume 10=100%=" + Shown(c.volume)});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const auto echoes = ReadPlotCsv(Path("ir.csv"))["echo"];
        // At least every echo until the loop has fallen by 60 dB; each at its place and level.
        std::size_t audible = 1;
        while (std::pow(std::fabs(c.feedback), static_cast<double>(audible)) >= 1.0e-3) ++audible;
        ASSERT_GE(echoes.size(), audible) << label;
        for (std::size_t k = 1; k <= echoes.size(); ++k) {
            const double level = 20.0 * std::log10(std::fabs(c.volume * std::pow(c.feedback, k - 1.0)));
            EXPECT_NEAR(echoes[k - 1].x, 300.0 * k / 48.0, 1.0e-4) << label << ", echo " << k;
            EXPECT_NEAR(echoes[k - 1].y, level, 0.01) << label << ", echo " << k;
        }
    }
}

// The magnitude response at every point from 20 Hz to Nyquist against the transfer function the setting
// predicts (w in radians per sample): a pure delay passes everything at its volume, the damping low-pass
// (1 - d) / (1 - d z^-1) falls toward Nyquist, and a loop of D samples cuts a comb whose notches lie halfway
// between multiples of rate / D for positive feedback and on them for negative feedback.
TEST_F(RenderTool, PlotDataResponseIsTheOneTheSettingPredicts) {
    constexpr double pi = 3.14159265358979323846;
    struct Case {
        const char* what;
        std::vector<std::string> sets;
        std::function<double(double w)> magnitude;
        double first_notch_hz;  // 0: no comb
    };
    auto comb = [](double feedback) {
        return [feedback](double w) { return 1.0 / std::sqrt(1.0 - 2.0 * feedback * std::cos(256.0 * w) +
                                                              feedback * feedback); };
    };
    const Case cases[] = {
        {"pure delay", {"1 Time=25", "Damping/Feedback Mode=Tap1"}, [](double) { return 1.0; }, 0.0},
        {"pure delay at half volume", {"1 Time=25", "Damping/Feedback Mode=Tap1", "1 Volume 10=100%=5"},
         [](double) { return 0.5; }, 0.0},
        {"damping 0.5", {"1 Time=25", "Damping 0-10=5"},
         [](double w) { return 0.5 / std::sqrt(1.0 - std::cos(w) + 0.25); }, 0.0},
        {"comb, feedback 0.5", {"Time Mode=Samples", "1 Time=256", "Feedback +/-10=5"}, comb(0.5), 93.75},
        {"comb, feedback -0.5", {"Time Mode=Samples", "1 Time=256", "Feedback +/-10=-5"}, comb(-0.5), 187.5},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--plot-data", Path("ir.csv")};
        for (const std::string& set : c.sets) args.insert(args.end(), {"--set", set});
        const ToolRun run = Tool(args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const auto response = ReadPlotCsv(Path("ir.csv"))["response"];
        ASSERT_GT(response.size(), 1000u) << c.what;
        EXPECT_GE(response.front().x, 20.0) << c.what;
        EXPECT_LT(response.front().x, 20.0 + (response[1].x - response[0].x)) << c.what;
        EXPECT_EQ(response.back().x, 24000.0) << c.what;
        for (const PlotRow& point : response) {
            const double predicted = 20.0 * std::log10(c.magnitude(2.0 * pi * point.x / 48000.0));
            ASSERT_NEAR(point.y, predicted, 0.01) << c.what << " at " << point.x << " Hz";
        }
        if (c.first_notch_hz == 0.0) continue;
        std::vector<double> notches, predicted;
        for (std::size_t i = 1; i + 1 < response.size(); ++i) {
            const bool lowest = response[i].y < response[i - 1].y && response[i].y < response[i + 1].y;
            if (lowest) notches.push_back(response[i].x);
        }
        for (double hz = c.first_notch_hz; hz < 24000.0; hz += 187.5) predicted.push_back(hz);
        EXPECT_EQ(notches, predicted) << c.what;
    }
}

// The figure in each kind of file, with the numbers behind it: from --impulse, alone, and beside a file render
// (at the file's rate, without its gates, which would clear the tap before it sounds).
TEST_F(RenderTool, PlotDrawsEachKindOfFigureForEveryKindOfRender) {
    const ToolRun svg = Tool({"--plot", Path("fig.svg"), "--plot-data", Path("fig.json"), "--settings",
                              std::string(ER_RENDER_EXAMPLES) + "/room.settings"});
    ASSERT_EQ(svg.exit_code, 0) << svg.err;
    EXPECT_NE(svg.err.find("figure      " + Path("fig.svg") + " (SVG)"), std::string::npos) << svg.err;
    EXPECT_NE(svg.err.find("tap delay   1200 samples (25.000 ms)"), std::string::npos) << svg.err;
    const ToolRun xml = Spawn({"python3", "-c",
                               "import sys, xml.etree.ElementTree as tree\n"
                               "root = tree.parse(sys.argv[1]).getroot()\n"
                               "paths = root.findall('.//{http://www.w3.org/2000/svg}path')\n"
                               "print(root.tag, root.get('width'), root.get('height'), len(paths) > 100)",
                               Path("fig.svg")});
    EXPECT_EQ(xml.out, "{http://www.w3.org/2000/svg}svg 1000pt 720pt True\n") << xml.err;
    std::ifstream json_file(Path("fig.json"));
    const auto json = nlohmann::json::parse(json_file);
    EXPECT_EQ(json["title"], "Feedback +/-10=4, Damping 0-10=3, Damping/Feedback Mode=Input+Tap1, Time Mode=Time(ms), "
                             "1 Time=25, 1 Volume 10=100%=8, Max Delay(s)=0.170");
    EXPECT_EQ(json["echoes"]["sample"][0], 1200);

    ASSERT_EQ(Tool({"--plot", Path("fig.png"), "--set", "1 Time=25"}).exit_code, 0);
    cairo_surface_t* png = cairo_image_surface_create_from_png(Path("fig.png").c_str());
    EXPECT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(png), 1000);
    EXPECT_EQ(cairo_image_surface_get_height(png), 720);
    cairo_surface_destroy(png);

    ASSERT_EQ(Tool({"--impulse", "0.05", Path("ir.wav"), "--plot", Path("fig.PDF"), "--plot-data", Path("ir.json"),
                    "--set", "1 Time=25"}).exit_code, 0);
    EXPECT_EQ(ReadText(Path("fig.PDF")).substr(0, 5), "%PDF-");
    std::ifstream impulse_json(Path("ir.json"));
    EXPECT_EQ(nlohmann::json::parse(impulse_json)["frames"], 2400) << "the impulse response of --impulse";

    std::vector<float> input(4410, 0.0f);
    input[0] = 0.5f;
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, {}, input, 44100);
    const ToolRun file = Tool({Path("in.wav"), Path("out.wav"), "--gate", "1ms", "--plot-data", Path("file.json"),
                               "--set", "1 Time=10", "--set", "Damping/Feedback Mode=Tap1"});
    ASSERT_EQ(file.exit_code, 0) << file.err;
    std::ifstream file_json(Path("file.json"));
    const auto of_file = nlohmann::json::parse(file_json);
    EXPECT_EQ(of_file["rate"], 44100.0);
    EXPECT_EQ(of_file["echoes"]["sample"], nlohmann::json::array({441}));
    EXPECT_EQ(of_file["echoes"]["level_db"], nlohmann::json::array({0.0}));
    EXPECT_TRUE(NonZero(Read("out.wav")).empty()) << "the gate at 1 ms cleared the file's own echo";
    std::ofstream(Path("probe")) << "a file made as usual\n";
    EXPECT_EQ(fs::status(Path("fig.svg")).permissions(), fs::status(Path("probe")).permissions());
    EXPECT_EQ(Listing(), (std::set<std::string>{"fig.svg", "fig.json", "fig.png", "fig.PDF", "ir.wav", "ir.json",
                                                 "in.wav", "out.wav", "file.json", "probe"}));
}

}  // namespace
