// er-render's pieces that decide what the host sends: settings, moments, the sample conversion and the summary's
// reading of the settings; and the reading of an impulse response that the figures show. (The text helpers and the
// delay law below them have their own tests: tests/text/, tests/delay_law/.) The
// module's real pin table is copied here as the host sees it.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Analysis.h"
#include "CommandLine.h"
#include "ExpectedPins.h"
#include "Failure.h"
#include "ListText.h"
#include "Pipeline.h"
#include "Response.h"
#include "SampleCodec.h"
#include "Progress.h"
#include "Settings.h"
#include "Summary.h"
#include "Units.h"

namespace er_render {
using namespace er_text;
namespace {

std::vector<er_host::PinDescription> ModulePins() {
    std::vector<er_host::PinDescription> pins;
    for (const expected_pins::Pin& row : expected_pins::PINS) {
        er_host::PinDescription pin;
        pin.index = static_cast<std::int32_t>(pins.size());
        pin.name = row.name;
        pin.direction = row.direction;
        pin.datatype = row.datatype;
        pin.has_default = row.default_value != nullptr;
        pin.default_value = row.default_value ? row.default_value : "";
        pin.has_extra = row.extra != nullptr;
        pin.extra_text = row.extra ? row.extra : "";
        pins.push_back(pin);
    }
    return pins;
}

std::vector<PinSetting> Resolve(const std::vector<std::string>& sets) {
    std::vector<Assignment> assignments;
    for (const std::string& set : sets) assignments.push_back(ParseAssignment(set, "--set"));
    return ResolveSettings(ModulePins(), assignments);
}

// The failure's exit code and message, or EXIT_OK if `action` succeeded.
template <class Action>
std::pair<ExitCode, std::string> FailureOf(Action action) {
    try {
        action();
    } catch (const Failure& failure) {
        return {failure.Code(), failure.what()};
    }
    return {EXIT_OK, ""};
}

// ---- settings ------------------------------------------------------------------------------------------------

// The settings' syntax is er_text's (tests/text/); a line that is no assignment is er-render's usage error,
// named by its origin.
TEST(Settings, ASyntaxErrorIsAUsageErrorNamingItsLine) {
    EXPECT_EQ(ParseAssignment(" 1 Volume 10=100% = 5 ", "--set").value, "5");
    EXPECT_EQ(FailureOf([] { ParseAssignment("1 Time 25", "--set x"); }).first, EXIT_USAGE);
    EXPECT_EQ(FailureOf([] { ParseAssignment(" =25", "--set x"); }).first, EXIT_USAGE);
    EXPECT_EQ(ParseSettingsText("1 Time=9 # a comment\n", "ok.txt").at(0).origin, "ok.txt:1");
    const auto bad = FailureOf([] { ParseSettingsText("1 Time=9\nnonsense\n", "bad.txt"); });
    EXPECT_EQ(bad.first, EXIT_USAGE);
    EXPECT_NE(bad.second.find("bad.txt:2"), std::string::npos) << bad.second;
}

TEST(Settings, DefaultsComeFromTheDescriptionsExceptActive) {
    const auto settings = Resolve({});
    EXPECT_EQ(FindSetting(settings, "Audio_In"), nullptr);
    EXPECT_EQ(FindSetting(settings, "Out"), nullptr);
    EXPECT_EQ(FindSetting(settings, "Active")->entry, "ON");
    EXPECT_EQ(FindSetting(settings, "Time Mode")->entry, "Time(ms)");
    EXPECT_EQ(FindSetting(settings, "Max Delay(s)")->entry, "0.040 (2048sm)");
    EXPECT_EQ(FindSetting(settings, "Midi_to_CV:Mono Mode(Poly Reset)")->entry, "Off");
    EXPECT_EQ(FindSetting(settings, "1 Time")->from, 10.0f);
    EXPECT_EQ(FindSetting(settings, "1 Volume 10=100%")->from, 1.0f);
    for (const PinSetting& setting : settings) EXPECT_FALSE(setting.from_user) << setting.name;
}

TEST(Settings, ValuesAsTheUserSeesThem) {
    const auto settings = Resolve({"1 Time=25", "time mode=samples", "Feedback +/-10=-5..5", "Active=0",
                                   "Max Delay(s)=0.170", "Midi_to_CV:Mono Mode(Poly Reset)=1", "1 Time=30"});
    const PinSetting* time = FindSetting(settings, "1 Time");
    EXPECT_EQ(time->from, 3.0f);  // the later assignment wins
    EXPECT_FALSE(time->ramp);
    EXPECT_TRUE(time->from_user);
    EXPECT_EQ(FindSetting(settings, "Time Mode")->value, 2);
    const PinSetting* feedback = FindSetting(settings, "Feedback +/-10");
    EXPECT_TRUE(feedback->ramp);
    EXPECT_EQ(feedback->from, -0.5f);
    EXPECT_EQ(feedback->to, 0.5f);
    EXPECT_EQ(FindSetting(settings, "Active")->entry, "OFF");
    EXPECT_EQ(FindSetting(settings, "Max Delay(s)")->value, 6);
    EXPECT_EQ(FindSetting(settings, "Midi_to_CV:Mono Mode(Poly Reset)")->entry, "On");
}

TEST(Settings, BadAssignmentsNameWhatIsWrong) {
    struct Case {
        const char* set;
        const char* message;
    };
    const Case cases[] = {
        {"Bogus=1", "has no pin \"Bogus\""},
        {"1 Volume 10=100%", "no value for \"1 Volume 10=100%\""},
        {"Out=1", "\"Out\" is an output"},
        {"Audio_In=1", "carries the input audio"},
        {"Time Mode=Hours", "\"Hours\" is not a choice of \"Time Mode\" (0 Time(s), 1 Time(ms), 2 Samples)"},
        {"Time Mode=7", "\"7\" is not a choice"},
        {"Time Mode=0..2", "\"Time Mode\" is a choice pin"},
        {"1 Time=abc", "\"abc\" is not a number"},
        {"1 Time=nan", "\"nan\" is not a number"},
        {"1 Time=10..x", "\"x\" is not a number"},
        {"1 Time=1e300", "out of range"},
        {"Feedback +/-10=10.001", "takes -10 .. 10"},
        {"Damping 0-10=5..-0.1", "takes 0 .. 10"},
        {"1 Time=-0.001ms", "takes 0 or more"},
        {"1 Time=5 sec", "not a number"},
        {"Feedback +/-10=5ms", "only \"1 Time\" takes a unit"},
    };
    for (const Case& c : cases) {
        const auto [code, message] = FailureOf([&] { Resolve({c.set}); });
        EXPECT_EQ(code, EXIT_USAGE) << c.set;
        EXPECT_NE(message.find(c.message), std::string::npos) << c.set << ": " << message;
        EXPECT_EQ(message.rfind("--set: ", 0), 0u) << "names the origin: " << message;
    }
}

TEST(Settings, DelaysWithUnitsAndTheStableRangesEdges) {
    const auto settings = Resolve({"1 Time=25ms..1102.5SMP", "Feedback +/-10=-10..10", "Damping 0-10=0..10"});
    const PinSetting* time = FindSetting(settings, "1 Time");
    ASSERT_TRUE(time->from_delay && time->to_delay);
    EXPECT_EQ(time->from_delay->Samples(44100.0f), 1102.5);
    EXPECT_EQ(time->to_delay->Samples(44100.0f), 1102.5);
    EXPECT_EQ(ParseDelay("0.5s")->Samples(48000.0f), 24000.0);
    EXPECT_FALSE(ParseDelay("25"));
    EXPECT_FALSE(ParseDelay("ms"));
    EXPECT_EQ(FailureOf([] { ResolveSettings(ModulePins(), {ParseAssignment("Feedback +/-10=15", "--set")}, true); })
                  .first,
              EXIT_OK)
        << "--allow-unsafe accepts it";
}

TEST(Settings, MomentsInSecondsMillisecondsOrSamples) {
    EXPECT_EQ(ParseMoment("1.5", 48000.0f), 72000);
    EXPECT_EQ(ParseMoment(" 1.5s ", 48000.0f), 72000);
    EXPECT_EQ(ParseMoment("250ms", 44100.0f), 11025);
    EXPECT_EQ(ParseMoment("12000smp", 44100.0f), 12000);
    EXPECT_EQ(ParseMoment("-1smp", 44100.0f), -1);  // the caller checks the range
    EXPECT_EQ(ParseMoment("250MS", 48000.0f), 12000);
    EXPECT_EQ(ParseMoment("2S", 48000.0f), 96000);
    EXPECT_EQ(ParseMoment("1200Smp", 48000.0f), 1200);
    EXPECT_EQ(ParseMoment("0.5 s", 48000.0f), 24000);
    EXPECT_EQ(ParseMoment("0", 48000.0f), 0);
    EXPECT_EQ(ParseMoment("0.0000104s", 48000.0f), 0) << "half a sample rounds to the nearest";
    for (const char* bad : {"12.5smp", "abc", "", "1.5 minutes", "ms", "5dB", "1e999"}) {
        EXPECT_EQ(FailureOf([&] { ParseMoment(bad, 48000.0f); }).first, EXIT_USAGE) << bad;
    }
}

TEST(Units, DecibelsWithOrWithoutTheirUnit) {
    const std::pair<const char*, double> good[] = {{"-6", -6.0}, {"-6dB", -6.0}, {"+3.5 db", 3.5}, {"0DB", 0.0}, {" -120 dB ", -120.0}};
    for (const auto& [text, decibels] : good) EXPECT_EQ(ParseDecibels(text), decibels) << text;
    for (const char* bad : {"", "dB", "-6 dBFS", "six", "-6d", "nan"}) EXPECT_FALSE(ParseDecibels(bad)) << bad;
}

// The progress line is drawn on a terminal only, not with -q, not for a short render, and its last state is
// the end; Clear takes it off.
TEST(Progress, DrawnOnATerminalForALongRenderAlone) {
    int terminal = -1, screen = -1;
    ASSERT_EQ(openpty(&screen, &terminal, nullptr, nullptr, nullptr), 0);
    fcntl(screen, F_SETFL, O_NONBLOCK);
    auto drawn = [&] {
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = read(screen, buffer, sizeof(buffer))) > 0;) text.append(buffer, static_cast<std::size_t>(got));
        return text;
    };
    const float rate = 48000.0f;
    const auto long_render = static_cast<std::int64_t>(ProgressLine::MIN_SECONDS * rate);
    {
        ProgressLine progress(long_render, rate, true, terminal);
        EXPECT_TRUE(progress.Enabled());
        progress.Update(long_render / 2);
        progress.Update(long_render / 2 + 1);  // too soon after the last: not drawn
        progress.Update(long_render);          // the end: always drawn
    }
    const std::string text = drawn();
    EXPECT_NE(text.find(" 50% (5.0 of 10.0 s)"), std::string::npos) << text;
    EXPECT_NE(text.find("100% (10.0 of 10.0 s)"), std::string::npos) << text;
    EXPECT_EQ(text.find(" 50%", text.find(" 50%") + 1), std::string::npos) << "at most a few times a second";
    EXPECT_TRUE(text.ends_with("\r\033[K")) << "cleared when done";
    const struct {
        std::int64_t total;
        bool enabled;
        int fd;
    } silent[] = {{long_render, false, terminal}, {long_render - 1, true, terminal}, {long_render, true, STDERR_FILENO}};
    for (const auto& c : silent) {
        if (c.fd == STDERR_FILENO && isatty(STDERR_FILENO) != 0) continue;
        ProgressLine progress(c.total, rate, c.enabled, c.fd);
        EXPECT_FALSE(progress.Enabled()) << c.total;
        progress.Update(c.total);
    }
    EXPECT_EQ(drawn(), "");
    close(screen);
    close(terminal);
}

// The command line: every option is honoured by the modes its row names and refused by every other mode; the
// first mode whose trigger is given is the mode.
TEST(CommandLine, EachModeTakesTheOptionsOfItsRowsAndRefusesTheRest) {
    const std::map<Mode, std::vector<std::string>> commands = {
        {Mode::RENDER, {"in.wav", "out.wav"}},
        {Mode::ANALYSE, {"in.wav", "-n"}},
        {Mode::IMPULSE, {"--impulse", "1", "o.wav"}},
        {Mode::PLOT, {"--plot", "f.svg"}},
        {Mode::TEST_SIGNAL, {"--test-signal", "1", "t.wav"}},
        {Mode::BATCH, {"--batch", "dir", "in.wav"}},
        {Mode::LIST_PINS, {"--list-pins"}},
        {Mode::LIST_PRESETS, {"--list-presets"}},
        {Mode::INFO, {"--info"}},
        {Mode::VERSION, {"--version"}},
        {Mode::ROOM, {"in.wav", "out.wav", "--room", "studio"}},
    };
    ASSERT_EQ(commands.size(), Modes().size());
    for (const auto& [mode, command] : commands) {
        for (const OptionRow& row : OptionRows()) {
            std::vector<std::string> args{"er-render"};
            args.insert(args.end(), command.begin(), command.end());
            std::string name(row.names.substr(row.names.rfind(',') == std::string_view::npos ? 0 : row.names.rfind(',') + 1));
            if (std::find(command.begin(), command.end(), name) != command.end()) continue;
            args.push_back(name);
            if (!row.value.empty()) args.push_back("1");
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(arg.data());
            Options options;
            testing::internal::CaptureStderr();
            const int code = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options);
            const std::string message = testing::internal::GetCapturedStderr();
            const bool honoured = (row.modes & In(mode)) != 0;
            // -n turns an impulse's OUT into none: with OUT still there, its file count is refused instead.
            if (mode == Mode::IMPULSE && name == "-n") continue;
            // In a room, -n and --impulse make IN OUT the wrong files in the same way.
            if (mode == Mode::ROOM && (name == "-n" || name == "--impulse")) continue;
            // A trigger of a mode tried earlier chooses that mode (files and --batch: a batch).
            const auto chooser = std::find_if(Modes().begin(), Modes().end(), [&](const ModeRow& other) {
                return other.triggers.find(name) != std::string_view::npos && other.mode != mode;
            });
            const bool switches = chooser != Modes().end() && chooser < std::find_if(
                                                                            Modes().begin(), Modes().end(),
                                                                            [&](const ModeRow& row) { return row.mode == mode; });
            if (switches && code == -1) {
                EXPECT_EQ(options.mode, chooser->mode) << name;
                continue;
            }
            EXPECT_EQ(code, honoured ? -1 : 2) << name << " in " << RowOf(mode).name << ": " << message;
            if (code == -1) {
                EXPECT_EQ(options.mode, mode) << name;
            }
            if (!honoured) {
                EXPECT_NE(message.find(name), std::string::npos) << message;
            }
        }
    }
}

// ---- sample conversion ---------------------------------------------------------------------------------------

TEST(SampleCodec, EveryIntegerSampleSurvivesTheRoundTrip) {
    for (const int bits : {8, 16, 24}) {
        const SampleCodec codec{bits, false};
        const std::int64_t full = std::int64_t{1} << (bits - 1);
        const std::int64_t step = bits == 24 ? 251 : 1;  // every 16-bit value, a spread of 24-bit ones
        for (std::int64_t s = -full; s < full; s += (s > -full + 2 && s < full - 3) ? step : 1) {
            const auto stored = static_cast<std::int32_t>(s * (std::int64_t{1} << (32 - bits)));
            const float value = SampleCodec::FromInt(stored);
            ASSERT_EQ(value, static_cast<float>(static_cast<double>(s) / static_cast<double>(full))) << bits;
            bool clipped = true;
            ASSERT_EQ(codec.ToInt(value, clipped), stored) << bits << " bits, sample " << s;
            ASSERT_FALSE(clipped);
            std::int32_t block_stored = 0;
            ASSERT_EQ(codec.ToInts(&value, &block_stored, 1), 0) << bits << " bits, sample " << s;
            ASSERT_EQ(block_stored, stored) << bits << " bits, sample " << s << " as a block";
        }
    }
}

// Every integer codec keeps the sign and stops at its own extremes; what lay past full scale counts as clipped,
// and in a stored integer of up to 24 bits +1.0 too, which becomes the largest value, one step below (-1.0 is
// exact).
TEST(SampleCodec, FullScaleAndBeyondClipToTheFormatsOwnExtremes) {
    const SampleCodec pcm16 = CodecForSubtype(SF_FORMAT_PCM_16);
    const SampleCodec ulaw = CodecForSubtype(SF_FORMAT_ULAW);
    const SampleCodec alaw = CodecForSubtype(SF_FORMAT_ALAW);
    const SampleCodec pcm32 = CodecForSubtype(SF_FORMAT_PCM_32);
    const SampleCodec pcm24 = CodecForSubtype(SF_FORMAT_PCM_24);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    constexpr std::int64_t top32 = std::numeric_limits<std::int32_t>::max();
    struct Case {
        const SampleCodec& codec;
        float value;
        std::int64_t sample;  // in the codec's own width
        bool clipped;
    };
    const Case cases[] = {
        {pcm16, -1.0f, -32768, false},
        {pcm16, 1.0f, 32767, true},
        {pcm16, 1.5f, 32767, true},
        {pcm16, 32767.4f / 32768, 32767, false},
        {pcm16, 32767.5f / 32768, 32767, true},  // rounds to 32768: ties go to even
        {pcm16, -1.5f, -32768, true},
        {pcm16, 32767.0f / 32768, 32767, false},
        {pcm16, std::nextafter(1.0f, 2.0f), 32767, true},
        {pcm16, std::nextafter(-1.0f, -2.0f), -32768, true},
        {pcm16, nan, 0, true},
        {pcm16, infinity, 32767, true},
        {pcm16, -infinity, -32768, true},
        {pcm16, 0.5f / 32768, 0, false},  // ties go to even
        {pcm16, 1.5f / 32768, 2, false},
        {ulaw, -1.0f, -32124, false},
        {ulaw, 1.0f, 32124, false},
        {ulaw, -2.0f, -32124, true},
        {ulaw, 2.0f, 32124, true},
        {ulaw, -32124.0f / 32768, -32124, false},
        {ulaw, 0.25f, 8192, false},
        {alaw, -1.0f, -32256, false},
        {alaw, 1.0f, 32256, false},
        {alaw, -1.5f, -32256, true},
        {alaw, -infinity, -32256, true},
        {pcm32, 1.0f, top32, false},  // a step finer than the float's at 1.0
        {pcm24, 1.0f, 8388607, true},
        {pcm32, -1.0f, -top32 - 1, false},
        {pcm32, 2.0f, top32, true},
    };
    // Each case alone, and all of one codec's cases as one block (the render's path), in every lane position.
    for (const Case& c : cases) {
        bool clipped = !c.clipped;
        const std::int64_t stored = c.codec.ToInt(c.value, clipped);
        EXPECT_EQ(stored, c.sample * (std::int64_t{1} << (32 - c.codec.bits))) << c.codec.bits << " bits, " << c.value;
        EXPECT_EQ(clipped, c.clipped) << c.value;
        for (std::size_t at = 0; at < 9; ++at) {
            std::vector<float> values(9, 0.25f);
            values[at] = c.value;
            std::vector<std::int32_t> block(values.size(), -7);
            EXPECT_EQ(c.codec.ToInts(values.data(), block.data(), values.size()), c.clipped ? 1 : 0) << c.value;
            EXPECT_EQ(block[at], stored) << c.codec.bits << " bits, " << c.value << " at " << at << " of a block";
            bool quarter_clipped = false;
            EXPECT_EQ(block[(at + 1) % values.size()], c.codec.ToInt(0.25f, quarter_clipped)) << c.value;
        }
    }
    // Dither pushes the largest sample over the top; it is still no clip.
    bool clipped = true;
    EXPECT_EQ(pcm16.ToInt(32767.0f / 32768, clipped, 0.9), 32767 * 65536);
    EXPECT_FALSE(clipped);
    EXPECT_EQ(RoundToRange(1.0e300, 0, 10, clipped), 10);
    EXPECT_TRUE(clipped);
    EXPECT_EQ(RoundToRange(9.3e18, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                           clipped),
              std::numeric_limits<std::int64_t>::max());
    EXPECT_TRUE(clipped);
    EXPECT_TRUE(ulaw.coded && alaw.coded && CodecForSubtype(SF_FORMAT_IMA_ADPCM).coded);
    EXPECT_FALSE(ulaw.IsExactInteger());
    EXPECT_TRUE(CodecForSubtype(SF_FORMAT_ALAC_20).IsExactInteger());
}

// ---- work beside the render ---------------------------------------------------------------------------------

// The consumer sees every sample once and in order, in chunks no larger than asked, whatever pieces come in.
TEST(SampleStream, EverySampleReachesTheConsumerOnceInOrder) {
    std::vector<float> ramp(1000);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{64}, std::size_t{1000}, std::size_t{4096}}) {
        std::vector<float> seen;
        std::size_t largest = 0;
        SampleStream stream(chunk, [&](const float* samples, std::size_t count) {
            seen.insert(seen.end(), samples, samples + count);
            largest = std::max(largest, count);
        });
        std::size_t at = 0;
        for (std::size_t piece = 0; at < ramp.size(); piece = (piece + 7) % 23) {
            const std::size_t count = std::min(piece, ramp.size() - at);
            stream.Add(ramp.data() + at, count);
            at += count;
        }
        stream.Finish();
        EXPECT_EQ(seen, ramp) << "chunks of " << chunk;
        EXPECT_LE(largest, chunk);
        stream.Finish();
        EXPECT_EQ(seen.size(), ramp.size()) << "a second Finish hands nothing over";
    }
}

// A failure on the consumer's thread reaches the caller once, at the next hand-over or at Finish, whichever
// chunk it came in; Stop drops it.
TEST(SampleStream, ConsumerFailureReachesTheCallerOnce) {
    const std::vector<float> piece(10, 0.5f);
    for (const int failing : {0, 2, 9}) {
        int chunks = 0;
        int caught = 0;
        SampleStream stream(10, [&](const float*, std::size_t) {
            if (chunks++ == failing) throw Failure(EXIT_OUTPUT, "no room");
        });
        for (int i = 0; i < 10; ++i) {
            try {
                stream.Add(piece.data(), piece.size());
            } catch (const Failure& failure) {
                EXPECT_EQ(failure.Code(), EXIT_OUTPUT);
                ++caught;
            }
        }
        try {
            stream.Finish();
        } catch (const Failure& failure) {
            EXPECT_STREQ(failure.what(), "no room");
            ++caught;
        }
        EXPECT_EQ(caught, 1) << "failing chunk " << failing;
    }
    SampleStream stopped(4, [](const float*, std::size_t) { throw Failure(EXIT_OUTPUT, "no room"); });
    stopped.Add(piece.data(), 4);
    EXPECT_NO_THROW(stopped.Stop());
    EXPECT_NO_THROW(stopped.Finish()) << "nothing waits after Stop";
}

TEST(Worker, JobsRunInTurnAndAFailureIsRethrownOnce) {
    Worker worker;
    std::vector<int> order;
    for (int job = 0; job < 5; ++job) worker.Start([&order, job] { order.push_back(job); });
    worker.Wait();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    worker.Start([] { throw std::runtime_error("broken"); });
    EXPECT_THROW(worker.Start([&order] { order.push_back(5); }), std::runtime_error) << "the next job waits for it";
    EXPECT_NO_THROW(worker.Wait());
    EXPECT_EQ(order.size(), 5u) << "a job after a failure does not start";
}

// ---- the summary ---------------------------------------------------------------------------------------------

// One JSON object for every mode and the batch: every warning, the plan's first; the figures' lines trimmed; the
// RMS over every sample of every channel; the loudness only where it was measured.
TEST(Summary, JsonCarriesEveryWarningInOrderAndTheFigures) {
    SummaryFacts facts;
    facts.stats.sum_squares = 2.0;
    facts.stats.samples = 8;
    facts.stats.peak = 0.75;
    facts.warnings = {"render 1", "render 2"};
    auto json = nlohmann::json::parse(SummaryJson(facts, {"plan 1"}, {"  figure    a.svg (SVG)\n", "  data b.csv\n"}));
    EXPECT_EQ(json["warnings"], (std::vector<std::string>{"plan 1", "render 1", "render 2"}));
    EXPECT_EQ(json["figures"], (std::vector<std::string>{"figure    a.svg (SVG)", "data b.csv"}));
    EXPECT_DOUBLE_EQ(json["rms"].get<double>(), 0.5);
    EXPECT_EQ(json["peak"], 0.75);
    EXPECT_FALSE(json.contains("loudness_lufs")) << "not measured";

    facts.warnings.clear();
    facts.loudness = Loudness{std::nullopt, 0.5};
    json = nlohmann::json::parse(SummaryJson(facts, {}, {}));
    EXPECT_TRUE(json["warnings"].is_array() && json["warnings"].empty()) << "present, and empty, with no warning";
    EXPECT_FALSE(json.contains("figures"));
    EXPECT_TRUE(json["loudness_lufs"].is_null()) << "under the gate";
    EXPECT_NEAR(json["true_peak_dbtp"].get<double>(), -6.0206, 1e-4);
}

TEST(SampleCodec, FormatNames) {
    EXPECT_EQ(SubtypeForName("pcm16", SF_FORMAT_WAV, 1, 48000), SF_FORMAT_PCM_16);
    EXPECT_EQ(SubtypeForName("float", SF_FORMAT_FLAC, 1, 48000), 0) << "not in that container";
    EXPECT_EQ(SubtypeForName("pcm8", SF_FORMAT_WAV, 1, 48000), SF_FORMAT_PCM_U8) << "WAV's 8 bits are unsigned";
    EXPECT_EQ(SubtypeForName("pcm8", SF_FORMAT_FLAC, 1, 48000), SF_FORMAT_PCM_S8);
    EXPECT_EQ(SubtypeForName("mp4", SF_FORMAT_WAV, 1, 48000), 0);
    // The nearest subtype that loses nothing, else the most precise the container holds.
    EXPECT_EQ(NearestSubtype(SF_FORMAT_PCM_16, SF_FORMAT_AIFF, 1, 48000), SF_FORMAT_PCM_16);
    EXPECT_EQ(NearestSubtype(SF_FORMAT_FLOAT, SF_FORMAT_FLAC, 1, 48000), SF_FORMAT_PCM_24);
    EXPECT_EQ(NearestSubtype(SF_FORMAT_PCM_32, SF_FORMAT_FLAC, 1, 48000), SF_FORMAT_PCM_24);
    EXPECT_EQ(NearestSubtype(SF_FORMAT_PCM_U8, SF_FORMAT_FLAC, 1, 48000), SF_FORMAT_PCM_S8);
    EXPECT_EQ(NearestSubtype(SF_FORMAT_VORBIS, SF_FORMAT_WAV, 1, 48000), SF_FORMAT_FLOAT);
    EXPECT_EQ(NearestSubtype(SF_FORMAT_PCM_24, SF_FORMAT_WAV, 1, 48000), SF_FORMAT_PCM_24);
    EXPECT_EQ(NearestSubtype(SF_FORMAT_PCM_24, SF_FORMAT_OGG, 1, 48000), SF_FORMAT_VORBIS);
    EXPECT_EQ(CodecForSubtype(SF_FORMAT_WAV | SF_FORMAT_PCM_24).bits, 24);
    EXPECT_FALSE(CodecForSubtype(SF_FORMAT_FLAC | SF_FORMAT_FLOAT).IsInteger());
    EXPECT_TRUE(CodecForSubtype(SF_FORMAT_OGG | SF_FORMAT_VORBIS).clips);
}

// ---- what the settings select ----------------------------------------------------------------------------------

EffectView View(const std::vector<std::string>& sets, float rate = 48000.0f) {
    const auto view = ViewEffect(Resolve(sets), rate);
    EXPECT_TRUE(view.has_value());
    return view.value_or(EffectView{});
}

TEST(Analysis, BufferLengthsFollowTheTableAndTheRateBands) {
    EXPECT_EQ(BufferLength(8, 44100.0f), 2048);
    EXPECT_EQ(BufferLength(8, 48000.0f), 2048);
    EXPECT_EQ(BufferLength(8, 48001.0f), 4096);
    EXPECT_EQ(BufferLength(8, 96000.0f), 4096);
    EXPECT_EQ(BufferLength(8, 176400.0f), 8192);
    EXPECT_EQ(BufferLength(0, 384000.0f), 4194304);
    EXPECT_EQ(BufferLength(11, 44100.0f), 256);
    // An index the list does not have folds to the nearest entry, as the module folds it.
    EXPECT_EQ(BufferLength(12, 48000.0f), 256);
    EXPECT_EQ(BufferLength(-1, 48000.0f), 524288);
    EXPECT_EQ(BufferLength(0, std::numeric_limits<float>::quiet_NaN()), 524288);
    EXPECT_EQ(TimeScale(0, 44100.0f), 441000.0f);
    EXPECT_EQ(TimeScale(1, 44100.0f), 441.0f);
    EXPECT_EQ(TimeScale(2, 44100.0f), 10.0f);
    EXPECT_EQ(TimeScale(3, 44100.0f), 0.0f);
}

// The fold itself is delay_law's (tests/delay_law/); here the view's pins reach it.
TEST(Analysis, TheViewsDelayFoldsIntoItsBuffer) {
    // 25 ms at 48 kHz is 1200 samples, beyond the default 2048-sample buffer only above 42.67 ms.
    EXPECT_EQ(TapDelayFor(View({"1 Time=25"}), effect_pins::PinFloat(25)).effective, 1200.0);
    EXPECT_TRUE(TapDelayFor(View({}), effect_pins::PinFloat(100)).beyond_buffer);
    // A shown 7 is the float 0.7, 6.9999999 samples: whole-sample reading truncates it.
    EXPECT_EQ(TapDelayFor(View({"Time Mode=Samples"}), effect_pins::PinFloat(7)).effective, 6.0);
}

// Each delay in a unit follows the settings' own "Time Mode", whatever order they were given in (the pin value
// for a delay is delay_law's: tests/delay_law/).
TEST(Analysis, DelayInUnitsFollowsTheSettingsTimeMode) {
    auto settings = Resolve({"1 Time=1102smp", "Time Mode=Time(s)"});
    ApplyDelayUnits(settings, 44100.0f, false);
    EXPECT_EQ(FindSetting(settings, "1 Time")->from, PinValueForDelay(1102.0, 441000.0f));
}

TEST(Analysis, TheLineChosenIsTheShortestThatHoldsEveryDelay) {
    EXPECT_EQ(ShortestHoldingMaxDelay(View({})), 6) << "100 ms at 48 kHz: 4800 samples need 8192";
    EXPECT_EQ(ShortestHoldingMaxDelay(View({"Time Mode=Samples", "1 Time=256"})), 11);
    EXPECT_EQ(ShortestHoldingMaxDelay(View({"Time Mode=Samples", "1 Time=257"})), 10);
    EXPECT_EQ(ShortestHoldingMaxDelay(View({"Time Mode=Samples", "1 Time=10..300"})), 10) << "ramps included";
    EXPECT_EQ(ShortestHoldingMaxDelay(View({"Time Mode=Samples", "1 Time=2048"}, 96000.0f)), 9) << "lines double above 48 kHz";
    EXPECT_EQ(ShortestHoldingMaxDelay(View({"Time Mode=Time(s)", "1 Time=11"})), std::nullopt);
}

TEST(Analysis, RoutineChoiceFollowsTheModulesRules) {
    struct Case {
        std::vector<std::string> sets;
        RoutingVariant variant;
        TimeReading reading;
    };
    const Case cases[] = {
        {{"Damping/Feedback Mode=Tap1", "Damping 0-10=5"}, RoutingVariant::Plain, TimeReading::WholeSample},
        {{"Damping/Feedback Mode=Input+Tap1", "Damping 0-10=5"}, RoutingVariant::InputTapFeedback, TimeReading::WholeSample},
        {{"Damping/Feedback Mode=Output", "Feedback +/-10=0..0"}, RoutingVariant::OutputFeedback, TimeReading::WholeSample},
        {{"Damping/Feedback Mode=Input+Output", "Feedback +/-10=-3"}, RoutingVariant::InputOutputFeedback, TimeReading::WholeSample},
        {{"Time Accuracy=Fraction(Full)"}, RoutingVariant::Plain, TimeReading::FractionPerBlock},
        {{"Time Accuracy=Fraction(Full)", "1 Time=1..2"}, RoutingVariant::Plain, TimeReading::FractionPerSample},
        {{"Time Accuracy=Fraction(Econ)", "1 Time=1..2"}, RoutingVariant::Plain, TimeReading::FractionPerBlock},
    };
    for (const Case& c : cases) {
        const EffectView view = View(c.sets);
        EXPECT_EQ(SelectRoutingVariant(view), c.variant) << c.sets.front();
        EXPECT_EQ(SelectTimeReading(view), c.reading) << c.sets.front();
    }
}

TEST(Analysis, DefaultTailCoversTheDecay) {
    const double delay_seconds = 1201.0 / 48000.0;
    EXPECT_DOUBLE_EQ(DefaultTailSeconds(View({"1 Time=25"})), delay_seconds);
    // Feedback 0.5 falls by 60 dB in 10 trips round the loop.
    EXPECT_DOUBLE_EQ(DefaultTailSeconds(View({"1 Time=25", "Feedback +/-10=5", "Damping/Feedback Mode=Tap1"})),
                     delay_seconds * 11.0);
    // Output feedback is scaled by the tap gain: 0.5 x 0.5 falls by 60 dB in 5 trips.
    EXPECT_DOUBLE_EQ(DefaultTailSeconds(View({"1 Time=25", "Feedback +/-10=5", "1 Volume 10=100%=5",
                                              "Damping/Feedback Mode=Output"})),
                     delay_seconds * 6.0);
    EXPECT_EQ(DefaultTailSeconds(View({"Feedback +/-10=10"})), MAX_DEFAULT_TAIL_SECONDS);
    EXPECT_EQ(DefaultTailSeconds(View({"Active=OFF"})), 0.0);

    // Whether the end may cut echoes, and the tail reaching the longest tap's first echo whatever the cap: a ramp
    // in either direction, and a line of 524288 samples at 4 kHz, 131 s.
    struct Case {
        std::vector<std::string> sets;
        float rate;
        double seconds;
        bool capped;
    };
    const std::vector<std::string> far{"Time Mode=Samples", "1 Time=200000", "Max Delay(s)=10.920"};
    const std::vector<std::string> far_ringing{"Time Mode=Samples", "1 Time=200000", "Max Delay(s)=10.920",
                                               "Feedback +/-10=10", "Damping/Feedback Mode=Tap1"};
    const Case cases[] = {
        {{"1 Time=25"}, 48000.0f, delay_seconds, false},
        {{"1 Time=5..40"}, 48000.0f, 1921.0 / 48000.0, false},
        {{"1 Time=40..5"}, 48000.0f, 1921.0 / 48000.0, false},
        {{"1 Time=25", "Feedback +/-10=5", "Damping/Feedback Mode=Tap1"}, 48000.0f, delay_seconds * 11.0, false},
        {{"Feedback +/-10=10", "Damping/Feedback Mode=Tap1"}, 48000.0f, MAX_DEFAULT_TAIL_SECONDS, true},
        {{"Feedback +/-10=9.99", "Damping/Feedback Mode=Tap1"}, 48000.0f, MAX_DEFAULT_TAIL_SECONDS, true},
        {far, 4000.0f, 200001.0 / 4000.0, false},
        {far_ringing, 4000.0f, 200001.0 / 4000.0, true},
        {{"Active=OFF", "Feedback +/-10=10", "Damping/Feedback Mode=Tap1"}, 48000.0f, 0.0, false},
    };
    for (const Case& c : cases) {
        const DefaultTail tail = DefaultTailFor(View(c.sets, c.rate));
        EXPECT_DOUBLE_EQ(tail.seconds, c.seconds) << c.sets.back() << " at " << c.rate;
        EXPECT_EQ(tail.capped, c.capped) << c.sets.back() << " at " << c.rate;
    }
    EXPECT_EQ(LongestTapDelay(View({"1 Time=40..5"})), 1920.0);
}

// ---- the impulse response's reading ----------------------------------------------------------------------------

TEST(Response, EnvelopeShowsTheLoudestSampleOfEachStretch) {
    std::vector<float> ir(10, 0.0f);
    ir[3] = -0.25f;
    ir[5] = 0.5f;
    ir[9] = 1.0f;
    const auto envelope = Envelope(ir, 1000.0f, 4);  // stretches of 3: [0, 3) [3, 6) [6, 9) [9, 10)
    ASSERT_EQ(envelope.size(), 4u);
    const double expected[][2] = {{0.0, ENVELOPE_FLOOR_DB}, {3.0, -6.0206}, {6.0, ENVELOPE_FLOOR_DB}, {9.0, 0.0}};
    for (std::size_t i = 0; i < envelope.size(); ++i) {
        EXPECT_DOUBLE_EQ(envelope[i].time_ms, expected[i][0]) << i;
        EXPECT_NEAR(envelope[i].level_db, expected[i][1], 1e-4) << i;
    }
}

// An echo is the loudest sample within half the spacing on either side; of a fractional delay's equal pair the
// first; nothing at or below the floor.
TEST(Response, EchoesAreTheLoudestSamplesWithinHalfTheSpacing) {
    std::vector<float> ir(1000, 0.0f);
    ir[100] = ir[101] = 0.5f;
    ir[250] = 0.1f;  // 50 samples before a louder one
    ir[300] = -0.25f;
    ir[350] = 0.2f;     // 50 after it
    ir[600] = 3.1e-5f;  // -90.2 dB
    ir[999] = 0.01f;
    auto samples = [&] {
        std::vector<std::int64_t> found;
        for (const Echo& echo : FindEchoes(ir, 2000.0f, 100.0)) found.push_back(echo.sample);
        return found;
    };
    EXPECT_EQ(samples(), (std::vector<std::int64_t>{100, 300, 999}));
    const auto echoes = FindEchoes(ir, 2000.0f, 100.0);
    ASSERT_EQ(echoes.size(), 3u);
    EXPECT_DOUBLE_EQ(echoes[0].time_ms, 50.0);
    EXPECT_NEAR(echoes[1].level_db, -12.0412, 1e-4);
    EXPECT_NEAR(echoes[2].level_db, -40.0, 1e-4);
    std::swap(ir[249], ir[250]);
    std::swap(ir[350], ir[351]);
    EXPECT_EQ(samples(), (std::vector<std::int64_t>{100, 249, 300, 351, 999})) << "51 samples away";
}

// A response that has died away goes into the transform as it is, which gives the exact response; one still
// ringing in its last eighth is faded out there with a half Hann window.
TEST(Response, TransformIsExactOnceTheResponseDiedAwayElseItsEndFades) {
    std::vector<float> ir(1024, 0.0f);
    ir[10] = 1.0f;
    Transform transform;
    auto response = MagnitudeResponse(ir, 48000.0f, 3000, transform);
    EXPECT_EQ(transform.length, 4096);
    EXPECT_EQ(transform.used, 1024);
    EXPECT_FALSE(transform.faded);
    ASSERT_FALSE(response.empty());
    EXPECT_NEAR(response.front().frequency_hz, 23.4375, 1e-9) << "the first bin from 20 Hz";
    EXPECT_EQ(response.back().frequency_hz, 24000.0);
    for (const ResponsePoint& point : response) ASSERT_NEAR(point.magnitude_db, 0.0, 1e-4) << point.frequency_hz;

    ir[10] = 0.0f;
    ir[1000] = 1.0f;  // 104 samples into the last eighth (896 to 1023)
    response = MagnitudeResponse(ir, 48000.0f, 0, transform);
    EXPECT_EQ(transform.length, 1024);
    EXPECT_TRUE(transform.faded);
    const double gain = 20.0 * std::log10(0.5 * (1.0 + std::cos(3.14159265358979323846 * 105.0 / 128.0)));
    for (const ResponsePoint& point : response) ASSERT_NEAR(point.magnitude_db, gain, 1e-3) << point.frequency_hz;

    ir[10] = 1.0f;
    ir[1000] = 0.000999f;  // just over 60 dB down: died away
    MagnitudeResponse(ir, 48000.0f, 0, transform);
    EXPECT_FALSE(transform.faded);
}

}  // namespace
}  // namespace er_render
