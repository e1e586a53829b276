// er-render end to end: what a render does to the sound. The tap lands where the settings put it, at every rate
// and block size; channels, ramps, gates, tails, the dry/wet mix and the shipped examples behave as stated.
#include "RenderToolFixture.h"

#include <algorithm>
#include <cmath>

#include "Render.h"

namespace {

using namespace er_render_tests;

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
        EXPECT_LT(warning, run.err.find("frames")) << "warned before the render\n"
                                                   << run.err;
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
                    ASSERT_EQ(run.exit_code, 0) << label << "\n"
                                                << run.err;
                    const auto out = Read("ir.wav");
                    const auto loudest = std::max_element(out.begin(), out.end()) - out.begin();
                    EXPECT_EQ(static_cast<std::size_t>(loudest), expected) << label;
                    if (std::string(accuracy) == "Sample") {
                        EXPECT_EQ(NonZero(out), (Echoes{{expected, 1.0f}})) << label;
                        EXPECT_NE(run.err.find("tap delay   " + std::to_string(expected) + " samples"),
                                  std::string::npos)
                            << label << "\n"
                            << run.err;
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

TEST_F(RenderTool, StereoChannelsRunThroughIndependentInstances) {
    std::vector<float> stereo(2 * 600, 0.0f), left(600, 0.0f), right(600, 0.0f);
    stereo[0] = left[0] = 1.0f;              // left: impulse at 0
    stereo[2 * 30 + 1] = right[30] = 0.25f;  // right: a smaller one at 30
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

    // At 4 kHz the longest line holds 131 s: a tap of 50 s still has its echo in the default tail, and a loop
    // that rings on at that delay is cut one trip after the last input, with a warning.
    std::vector<std::int32_t> click(40, 0);
    click.back() = 16384;
    Write("slow.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, click, {}, 4000);
    for (const bool ringing : {false, true}) {
        std::vector<std::string> args{Path("slow.wav"), Path("far.wav"), "-q", "--set", "1 Time=200000smp"};
        if (ringing) args.insert(args.end(), {"--set", "Feedback +/-10=10", "--set", "Damping/Feedback Mode=Tap1"});
        const ToolRun run = Tool(args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.err.find("warning: the default tail stops at 50.0003 s") != std::string::npos, ringing) << run.err;
        const std::vector<std::int32_t> far = ReadInts("far.wav", 16);
        ASSERT_EQ(far.size(), 40u + 200001u) << "ringing " << ringing;
        if (ringing) continue;  // the loop's low-pass spreads the echo
        EXPECT_EQ(far[39 + 200000], 16384) << "the echo of the last input sample";
        EXPECT_EQ(std::count_if(far.begin(), far.end(), [](std::int32_t v) { return v != 0; }), 1);
    }
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

// The demo's and the recipes' settings (README, docs/): each example setting renders the tool's own test signal without a warning
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
        ASSERT_EQ(run.exit_code, 0) << entry.path() << "\n"
                                    << run.err;
        EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(" 0 samples clipped"), std::string::npos) << run.err;
        const auto wet = Read("wet.wav");
        EXPECT_GT(NonZero(wet).size(), 1000u) << entry.path();
    }
    EXPECT_GE(examples, 4);
}

// A render whose every output sample is a sample of the output format is written unchanged, never dithered: the dry
// input alone, silence, a switched-off module, a delay doubled and mixed with the input. Anything else is dithered.
TEST_F(RenderTool, ExactRendersAreWrittenUnchanged) {
    std::vector<std::int32_t> input{-8192, 8191, 1, -1, 0};
    for (std::size_t n = 0; input.size() < 3000; ++n) input.push_back(static_cast<std::int32_t>((n * 7919) % 16383) - 8191);
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, input);
    struct Case {
        std::vector<std::string> args;
        int dry, wet;  // the output is dry x input + wet x the input 5 samples late
        const char* dither;
    };
    const Case cases[] = {
        {{"--dry", "0", "--wet", "off"}, 1, 0, "none (every sample is exact)"},
        {{"--gain", "off"}, 0, 0, "none (every sample is exact)"},
        {{"--gain", "off", "--dry", "-3"}, 0, 0, "none (every sample is exact)"},
        {{"--wet", "off"}, 0, 0, "none (every sample is exact)"},
        {{"--dry", "0", "--set", "Active=OFF"}, 1, 0, "none (every sample is exact)"},
        {{"--dry", "0", "--set", "1 Volume 10=100%=20"}, 1, 2, "none (every sample is exact)"},
        {{"--dry", "0"}, 1, 1, "none (every sample is exact)"},
        {{"--dry", "-6", "--wet", "off"}, 0, 0, "TPDF (16-bit samples)"},
        {{"--set", "1 Volume 10=100%=5"}, 0, 0, "TPDF (16-bit samples)"},
        {{"--dry", "0", "--wet", "off", "--format", "pcm8"}, 0, 0, "TPDF (8-bit samples)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{Path("in.wav"), Path("out.wav"), "--set", "Time Mode=Samples", "--set", "1 Time=5smp"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = Tool(args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_NE(run.err.find(std::string("dither      ") + c.dither), std::string::npos) << c.args[0] << "\n"
                                                                                           << run.err;
        if (std::string(c.dither).starts_with("TPDF")) continue;
        const auto out = ReadInts("out.wav", 16);
        ASSERT_GE(out.size(), input.size());
        for (std::size_t n = 0; n < out.size(); ++n) {
            const std::int32_t now = n < input.size() ? input[n] : 0;
            const std::int32_t late = (n < 5 || n - 5 >= input.size()) ? 0 : input[n - 5];
            ASSERT_EQ(out[n], c.dry * now + c.wet * late) << c.args[0] << " " << c.args[1] << ", sample " << n;
        }
    }
    // A unit impulse's response is exact in integer samples where a file's would be (a whole-sample tap whose gain
    // is a power of two no finer than a step): its one echo and nothing but silence around it.
    struct ImpulseCase {
        std::vector<std::string> args;
        int bits;
        std::int32_t echo;  // 5 samples in; 0: dithered, not compared
        const char* said;
    };
    const ImpulseCase impulses[] = {
        {{"--format", "pcm16", "--set", "1 Volume 10=100%=5"}, 16, 16384, "dither      none (every sample is exact)"},
        {{"--format", "pcm8", "--set", "1 Volume 10=100%=5"}, 8, 64, "dither      none (every sample is exact)"},
        {{"--format", "pcm16", "--set", "1 Volume 10=100%=-10"}, 16, -32768, "dither      none (every sample is exact)"},
        {{"--format", "pcm16"}, 16, 32767, "1 sample clipped"},  // +1.0: the largest value, one step below
        {{"--format", "pcm16", "--set", "1 Volume 10=100%=3"}, 16, 0, "dither      TPDF (16-bit samples)"},
    };
    for (const ImpulseCase& c : impulses) {
        std::vector<std::string> args{"--impulse", "0.01", Path("ir.wav"), "--set", "Time Mode=Samples", "--set", "1 Time=5smp"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = Tool(args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << c.args.back() << "\n"
                                                            << run.err;
        if (c.echo == 0) continue;
        std::vector<std::int32_t> expected(480, 0);
        expected[5] = c.echo;
        EXPECT_EQ(ReadInts("ir.wav", c.bits), expected) << c.args.back();
    }
}

}  // namespace
