// er-render end to end: --batch in worker processes, and the command-line habits around a render (presets, -n
// with --json, -q, --version, the pin listing, one usage block).
#include "RenderToolFixture.h"

#include <cmath>

#include <nlohmann/json.hpp>

namespace {

using namespace er_render_tests;

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
    EXPECT_LT(json["loudness_lufs"].get<double>(), -10.0);
    EXPECT_GE(json["true_peak_dbtp"].get<double>(), 20.0 * std::log10(json["peak"].get<double>()) - 0.01)
        << "a true peak is never below the sample peak";
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
    const ToolRun ringing_quiet = Tool({Path("dry.wav"), Path("ring.wav"), "-q", "--set", "Feedback +/-10=10", "--set",
                                        "Damping/Feedback Mode=Tap1", "--set", "1 Time=100ms"});
    EXPECT_EQ(ringing_quiet.err.rfind("er-render: warning: the default tail stops at 30 s", 0), 0u) << ringing_quiet.err;
    const ToolRun decayed = Tool({Path("dry.wav"), Path("ring.wav"), "--set", "Feedback +/-10=5", "--set",
                                  "Damping/Feedback Mode=Tap1", "--set", "1 Time=100ms"});
    EXPECT_EQ(decayed.err.find("warning"), std::string::npos) << decayed.err;
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

}  // namespace
