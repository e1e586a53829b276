// er-render end to end: --batch in worker processes, and the command-line habits around a render (presets, -n
// with --json, -q, --version, the pin listing, one usage block), each mode honouring the options it takes.
#include "RenderToolFixture.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cfloat>
#include <functional>
#include <map>
#include <thread>

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
    // A file name that is not UTF-8 is escaped in the JSON, a single render's and each of a batch's.
    const std::string stray = "stray\xFF.wav";
    fs::copy_file(m_dir / "c.wav", m_dir / stray);
    const ToolRun single = Tool({Path(stray), Path("single/" + stray), "--json"});
    ASSERT_EQ(single.exit_code, 0) << single.err;
    EXPECT_EQ(nlohmann::json::parse(single.out)["input"], Path("stray\\xFF.wav"));
    const ToolRun both = Tool({"--batch", Path("batch"), Path(stray), Path("a.wav"), "--json", "-q"});
    ASSERT_EQ(both.exit_code, 0) << both.err;
    const auto reports = nlohmann::json::parse(both.out);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0]["output"], Path("batch/stray\\xFF.wav"));
    EXPECT_EQ(Bytes(m_dir / "batch" / stray), Bytes(m_dir / "single" / stray));
    // -q silences the lines, not the warnings: each names its file.
    const ToolRun loud = Tool({"--batch", Path("batch"), Path("a.wav"), Path("c.wav"), "-q", "--gain", "40", "--format", "pcm16"});
    ASSERT_EQ(loud.exit_code, 0) << loud.err;
    for (const char* name : {"a.wav", "c.wav"}) {
        EXPECT_NE(loud.err.find("er-render: " + Path(name) + ": warning: "), std::string::npos) << loud.err;
    }
    EXPECT_EQ(loud.err.find(" -> "), std::string::npos) << loud.err;
}

// An interrupted batch: the workers stop with the tool, and no temporary file is left by the time it has gone.
TEST_F(RenderTool, InterruptedBatchLeavesNoTemporaryFile) {
    fs::create_directory(Path("out"));
    Write("long.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<std::int32_t>(48000 * 120, 300));
    for (const int signal_number : {SIGINT, SIGTERM}) {
        const pid_t pid = Start({"--batch", Path("out"), Path("long.wav"), "--jobs", "1", "--format", "float", "--block", "1"});
        ASSERT_GT(pid, 0);
        bool started = false;
        for (int wait = 0; wait < 5000 && !started; ++wait) {
            std::error_code error;
            started = !fs::is_empty(m_dir / "out", error);
            if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(started) << "the worker's temporary file appears";
        kill(pid, signal_number);
        EXPECT_EQ(Finish(pid).exit_code, 128 + signal_number);
        for (const auto& left : fs::directory_iterator(m_dir / "out")) ADD_FAILURE() << left.path() << " is left";
    }
}

// What users of sox, ffmpeg and lv2apply reach for: presets, -n with --json, -q, --version, a readable pin list,
// one usage block; and the warning when the default tail is cut while the echoes still ring.
TEST_F(RenderTool, HabitsOfSoxUsers) {
    ASSERT_EQ(Tool({"--test-signal", "0.5", Path("dry.wav")}).exit_code, 0);
    const ToolRun presets = Tool({"--list-presets"});
    EXPECT_NE(presets.out.find("room "), std::string::npos) << presets.out;
    ASSERT_EQ(Tool({Path("dry.wav"), Path("preset.wav"), "--preset", "room"}).exit_code, 0);
    ASSERT_EQ(Tool({Path("dry.wav"), Path("file.wav"), "--settings", std::string(ER_RENDER_EXAMPLES) + "/room.settings"})
                  .exit_code,
              0);
    EXPECT_EQ(Bytes(m_dir / "preset.wav"), Bytes(m_dir / "file.wav"));
    EXPECT_EQ(Tool({Path("dry.wav"), Path("x.wav"), "--preset", "cathedral"}).exit_code, 2);
    // A tool without the presets it ships with says so, rather than listing nothing.
    const fs::path lone = m_root / "lone";
    fs::create_directory(lone);
    fs::copy_file(ER_RENDER_PATH, lone / "er-render");
    for (const std::vector<std::string> args :
         {std::vector<std::string>{"--list-presets"}, {Path("dry.wav"), "-n", "--preset", "room"}}) {
        std::vector<std::string> all{(lone / "er-render").string()};
        all.insert(all.end(), args.begin(), args.end());
        const ToolRun missing = Spawn(all);
        EXPECT_EQ(missing.exit_code, 3) << args.front() << "\n"
                                        << missing.err;
        EXPECT_NE(missing.err.find("the presets shipped with er-render are missing"), std::string::npos) << missing.err;
    }

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
    // "--" ends the options: names that start with "-" are files.
    fs::copy_file(m_dir / "dry.wav", m_dir / "-dry.wav");
    ASSERT_EQ(Shell("$R -q -- -dry.wav -wet.wav").exit_code, 0);
    EXPECT_EQ(Bytes(m_dir / "-wet.wav"), Bytes(m_dir / "q.wav"));
    const ToolRun version = Tool({"--version"});
    EXPECT_EQ(version.out.rfind("er-render ", 0), 0u) << version.out;
    const ToolRun pins = Tool({"--list-pins"});
    EXPECT_NE(pins.out.find("-10 .. 10"), std::string::npos) << pins.out;
    EXPECT_NE(pins.out.find("0 or more"), std::string::npos) << pins.out;
    EXPECT_EQ(pins.out.find("10,0,10,0"), std::string::npos) << pins.out;
    const ToolRun help = Tool({"--help"});
    EXPECT_EQ(help.out.find("Usage"), help.out.rfind("Usage")) << "one usage block\n"
                                                               << help.out;
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
    // A tap ramped to a longer delay rings at that delay by the end: the cut is reported all the same, in blocks
    // of any size (a single click, whose echoes are single samples, at 8 kHz).
    std::vector<std::int32_t> click(100, 0);
    click[10] = 16384;
    Write("click.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, click, {}, 8000);
    for (const std::string block : {"512", "1", "7"}) {
        const ToolRun ramped = Tool({Path("click.wav"), Path("ring.wav"), "-q", "--set", "Feedback +/-10=10", "--set",
                                     "Damping/Feedback Mode=Tap1", "--set", "1 Time=5ms..400ms", "--block", block});
        EXPECT_EQ(ramped.err.rfind("er-render: warning: the default tail stops at 30 s", 0), 0u)
            << "block " << block << ": " << ramped.err;
    }
}

// Each mode honours every option it takes: -q silences every mode's summary, --json gives every mode's summary on
// stdout (with the mix and every warning), repeated options take the later value, units and preset names in any
// case.
TEST_F(RenderTool, EveryModeHonoursTheOptionsItTakes) {
    ASSERT_EQ(Tool({"--test-signal", "0.5", Path("in.wav")}).exit_code, 0);
    fs::create_directory(Path("wet"));
    struct Case {
        std::vector<std::string> args;
        std::function<void(const ToolRun&)> check;
        int code = 0;
    };
    auto json = [](const ToolRun& run) { return nlohmann::json::parse(run.out.empty() ? "null" : run.out); };
    auto quiet = [](const ToolRun& run) { EXPECT_EQ(run.err + run.out, ""); };
    const std::string in = Path("in.wav");
    const Case cases[] = {
        {{"--plot", Path("a.svg"), "--json"},
         [&](const ToolRun& run) {
             const auto summary = json(run);
             EXPECT_EQ(summary["input"], "unit impulse");
             EXPECT_NE(summary["figures"][0].get<std::string>().find(Path("a.svg") + " (SVG)"), std::string::npos);
             EXPECT_EQ(run.err, "");
         }},
        {{"--plot-data", Path("a.csv"), "--json", "--set", "1 Time=10ms"},
         [&](const ToolRun& run) {
             EXPECT_EQ(json(run)["tap_delay_samples"], 480.0);
             EXPECT_NE(json(run)["figures"][0].get<std::string>().find("data"), std::string::npos);
         }},
        {{in, Path("b.wav"), "--json", "--plot", Path("b.svg")},
         [&](const ToolRun& run) {
             EXPECT_EQ(json(run)["output"], Path("b.wav"));
             EXPECT_EQ(json(run)["figures"].size(), 1u);
         }},
        {{"--plot", Path("c.svg"), "-q"}, quiet},
        {{"--test-signal", "0.25", Path("t.wav"), "-q"}, quiet},
        {{"--impulse", "0.2", Path("i.wav"), "-q"}, quiet},
        {{"--batch", Path("wet"), in, "-q"}, quiet},
        {{"--test-signal", "0.25", Path("t.flac"), "--json", "--rate", "8000"},
         [&](const ToolRun& run) {
             EXPECT_EQ(json(run)["frames"], 2000);
             EXPECT_EQ(json(run)["format"], "FLAC (Free Lossless Audio Codec), pcm16");
         }},
        {{"--impulse", "0.1", "-n", "--json", "--rate", "96000"},
         [&](const ToolRun& run) { EXPECT_EQ(json(run)["input_frames"], 9600); }},
        {{"--batch", Path("wet"), in, Path("missing.wav"), "--json", "--type", "flac"},
         [&](const ToolRun& run) {
             const auto files = json(run);
             ASSERT_EQ(files.size(), 2u) << run.out;
             EXPECT_EQ(files[0]["output"], Path("wet/in.flac"));
             EXPECT_GT(files[0]["peak"].get<double>(), 0.1);
             EXPECT_EQ(files[1]["exit_code"], 3);
             EXPECT_NE(files[1]["error"].get<std::string>().find("cannot read the input"), std::string::npos);
         },
         7},
        // The mix and the warnings in the JSON: a line too short for the tap wraps, and says so.
        {{in, "-n", "--json", "--dry", "-6dB", "--wet", "off", "--gain", "+1.5 DB", "--set", "1 Time=25ms", "--set",
          "Max Delay(s)=0.005 (256sm)"},
         [&](const ToolRun& run) {
             const auto summary = json(run);
             EXPECT_DOUBLE_EQ(summary["mix"]["dry_db"].get<double>(), -6.0);
             EXPECT_EQ(summary["mix"]["wet_db"], "off");
             EXPECT_DOUBLE_EQ(summary["mix"]["gain_db"].get<double>(), 1.5);
             ASSERT_EQ(summary["warnings"].size(), 1u) << run.out;
             EXPECT_NE(run.err.find(summary["warnings"][0].get<std::string>()), std::string::npos) << run.err;
         }},
        // Repeated: the later value; units of --tail as of --gate, in any case.
        {{in, "-n", "--json", "--tail", "soon", "--tail", "1200SMP"},
         [&](const ToolRun& run) { EXPECT_EQ(json(run)["tail_frames"], 1200); }},
        {{in, "-n", "--json", "--tail", "250ms"}, [&](const ToolRun& run) { EXPECT_EQ(json(run)["tail_frames"], 12000); }},
        {{in, "-n", "--json", "--tail", "0.5S"}, [&](const ToolRun& run) { EXPECT_EQ(json(run)["tail_frames"], 24000); }},
        {{in, "-n", "--json", "--tail", "0"}, [&](const ToolRun& run) { EXPECT_EQ(json(run)["tail_frames"], 0); }},
        {{in, "-n", "--json", "--preset", "ROOM", "--preset", "Slapback"},
         [&](const ToolRun& run) { EXPECT_EQ(json(run)["tap_delay_ms"], 110.0); }},
        {{in, "-n", "--json", "--block", "7", "--block", "64", "--gain", "-3", "--gain", "-6dB"},
         [&](const ToolRun& run) { EXPECT_DOUBLE_EQ(json(run)["mix"]["gain_db"].get<double>(), -6.0); }},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, c.code) << c.args.back() << "\n"
                                         << run.err;
        c.check(run);
    }
    // The same bytes whichever way a value is spelt.
    ASSERT_EQ(Tool({in, Path("g1.wav"), "--gain", "-6", "--preset", "room"}).exit_code, 0);
    ASSERT_EQ(Tool({in, Path("g2.wav"), "--gain", "-6dB", "--preset", "Room"}).exit_code, 0);
    EXPECT_EQ(Bytes(m_dir / "g1.wav"), Bytes(m_dir / "g2.wav"));

    // Every preset's whole description: the comment lines at its top, joined.
    const ToolRun presets = Tool({"--list-presets"});
    for (const auto& entry : fs::directory_iterator(ER_RENDER_EXAMPLES)) {
        std::ifstream file(entry.path());
        std::string description, line;
        while (std::getline(file, line) && line.rfind("#", 0) == 0) {
            description += (description.empty() ? "" : " ") + line.substr(line.find_first_not_of("# "));
        }
        EXPECT_NE(presets.out.find(entry.path().stem().string() + " "), std::string::npos);
        EXPECT_NE(presets.out.find(description + "\n"), std::string::npos) << description << "\n"
                                                                           << presets.out;
    }
}

// The recipes in docs/, run as written: every block of them, wherever a page holds one (the indented lines after a
// line starting "Recipes, run from the repository"; one command per line, "\\" continuing it), each checked
// against what its comment promises.
std::vector<std::string> DocRecipes() {
    std::vector<fs::path> pages;
    for (const auto& entry : fs::directory_iterator(ER_DOCS)) {
        if (entry.path().extension() == ".md") pages.push_back(entry.path());
    }
    std::sort(pages.begin(), pages.end());
    std::vector<std::string> commands;
    for (const fs::path& page : pages) {
        std::ifstream text(page);
        for (std::string line; std::getline(text, line);) {
            if (line.rfind("Recipes, run from the repository", 0) != 0) continue;
            while (std::getline(text, line) && line.rfind("    ", 0) != 0) {
            }
            for (std::string command; !line.empty() && line.rfind("    ", 0) == 0; std::getline(text, line)) {
                command += line.substr(4);
                if (command.ends_with("\\")) {
                    command.pop_back();
                    continue;
                }
                if (command.rfind("#", 0) != 0) commands.push_back(command);
                command.clear();
            }
        }
    }
    return commands;
}

TEST_F(RenderTool, DocRecipesDoWhatTheySay) {
    const std::vector<std::string> commands = DocRecipes();
    ASSERT_GE(commands.size(), 8u);
    const std::string tools = fs::path(ER_RENDER_PATH).parent_path().string();
    std::map<std::string, std::string> printed;
    for (const std::string& command : commands) {
        const ToolRun run = Shell("PATH='" + tools + "':$PATH; " + command);
        ASSERT_EQ(run.exit_code, 0) << command << "\n"
                                    << run.err;
        printed[command] = run.out;
    }
    struct Promise {
        std::string file;
        int format;
        sf_count_t frames;  // 0: any
        int rate;
    };
    const Promise promises[] = {
        {"in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 144000, 48000},
        {"slap.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 48000},
        {"d.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 48000},
        {"sweep.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 0, 48000},  // "into 24-bit FLAC"
        {"room.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0, 48000},
        {"wet/in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 48000},  // "as 16-bit WAV"
        {"wet/slap.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 48000},
        {"ir.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 96000},  // "0.5 s at 96 kHz"
    };
    for (const Promise& promise : promises) {
        SF_INFO info{};
        Read(promise.file, &info);
        EXPECT_EQ(info.format, promise.format) << promise.file;
        EXPECT_EQ(info.samplerate, promise.rate) << promise.file;
        if (promise.frames > 0) {
            EXPECT_EQ(info.frames, promise.frames) << promise.file;
        }
    }
    // The raw recipe: the samples of the same render into WAV, without a header.
    ASSERT_EQ(Tool({Path("in.wav"), Path("room.wav"), "--preset", "room"}).exit_code, 0);
    const std::string wav = Bytes(m_dir / "room.wav"), raw = Bytes(m_dir / "room.raw");
    ASSERT_GT(raw.size(), 288000u);
    EXPECT_EQ(raw, wav.substr(wav.size() - raw.size()));
    // "analyse without writing: the summary as JSON"; "1102 samples, to within a step of the float"
    for (const auto& [command, out] : printed) {
        if (command.find("--json") != std::string::npos) {
            EXPECT_TRUE(nlohmann::json::accept(out)) << command << "\n"
                                                     << out;
        }
    }
    const ToolRun delay = Tool({Path("in.wav"), "-n", "--json", "--set", "1 Time=1102smp", "--set", "Time Accuracy=Fraction(Econ)"});
    EXPECT_NEAR(nlohmann::json::parse(delay.out)["tap_delay_samples"].get<double>(), 1102.0, 1102.0 * FLT_EPSILON);
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
    EXPECT_NE(info.out.find("er-render: samples reach the module and leave it as 32-bit floats"), std::string::npos)
        << "the about text's double precision is the module's inside, not the files' path";
}

}  // namespace
