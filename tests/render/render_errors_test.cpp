// er-render end to end: every refusal has its message and exit code and leaves no file behind, and each stop
// signal removes the temporary file and ends the tool by that signal.
#include "RenderToolFixture.h"

#include <fstream>
#include <csignal>
#include <limits>
#include <map>
#include <thread>

namespace {

using namespace er_render_tests;

TEST_F(RenderTool, BadInputGivesItsMessageAndCodeAndNoFile) {
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<std::int32_t>(480, 100));
    Write("keep.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<std::int32_t>(10, 7));
    Write("in44.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<std::int32_t>(441, 100), {}, 44100);
    std::ofstream(Path("notes.txt")) << "not a sound file\n";
    std::ofstream(Path("bad.txt")) << "1 Time=5\nTime Mode\n";
    fs::create_directory(Path("folder"));
    fs::create_symlink(Path("in.wav"), Path("link.wav"));
    std::vector<float> stereo(2 * 40010, 0.25f);
    stereo[2 * 40000 + 1] = std::numeric_limits<float>::quiet_NaN();  // past the first chunk the tool reads
    Write("nan.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, {}, stereo);
    Write("inf.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 1, {}, {-std::numeric_limits<float>::infinity(), 0.5f});
    std::vector<float> right(2 * 3000, 0.0f);
    for (std::size_t i = 1; i < right.size(); i += 2) right[i] = 0.25f;
    Write("right.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, {}, right);
    const std::string in = Path("in.wav"), out = Path("out.wav");
    // Files a run reads under names a run might write: settings, a room, the module, through links.
    for (const char* name : {"s.csv", "s.wav"}) std::ofstream(Path(name)) << "1 Time=20\n";
    for (const char* name : {"r.wav", "r.json"}) std::ofstream(Path(name)) << "{\"size\": [4, 5, 3]}\n";
    fs::copy_file(fs::path(ER_RENDER_PATH).parent_path() / "early_reflection.so", Path("mod.svg"));
    fs::create_symlink(Path("s.csv"), Path("slink.txt"));
    fs::create_hard_link(Path("s.csv"), Path("hard.csv"));
    fs::create_directory(Path("wet"));
    fs::create_symlink(Path("keep.wav"), Path("wet/in.wav"));
    const std::vector<std::string> read_only_here = {"s.csv", "s.wav", "r.wav", "r.json", "mod.svg", "wet/in.wav"};
    std::map<std::string, std::string> read_bytes;
    for (const std::string& name : read_only_here) read_bytes[name] = Bytes(m_dir / name);
    const std::string never = "; er-render never overwrites a file it reads";
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
        {{in, out, "--set", "1 Time=1200samples"}, 2, "\"1200samples\" is not a number nor a delay: the units are s, ms and smp (samples), as \"1200smp\""},
        {{in, out, "--set", "1 Time=25 msec"}, 2, "the units are s, ms and smp (samples), as \"25ms\""},
        {{in, out, "--set", "Time Mode=0..2"}, 2, "\"Time Mode\" is a choice pin; only float pins can ramp"},
        {{in, out, "--set", "1 Time"}, 2, "expected Name=value"},
        {{in, out, "--block", "0"}, 2, "--block must be a whole number from 1"},
        {{in, out, "--block", "-64"}, 2, "--block must be a whole number from 1"},
        {{"--impulse", "0.1", out, "--rate", "0"}, 2, "--rate must be a whole number from 1"},
        {{"--impulse", "0.1", out, "--rate", "-48000"}, 2, "--rate must be a whole number from 1"},
        {{in, out, "--gate", "2"}, 2, "--gate 2 lies outside the render"},
        {{in, out, "--gate", "-1smp"}, 2, "lies outside the render"},
        {{in, out, "--gate", "soon"}, 2, "\"soon\" is not a time"},
        {{in, out, "--tail", "-1"}, 2, "--tail takes a time from 0 to 3600 s, not \"-1\""},
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
          "Time Mode=Samples", "--set", "1 Time=10"},
         6,
         "the output becomes infinite at 0.0"},
        {{in, Path("out.flac"), "--format", "float"}, 2, "--format for a FLAC (Free Lossless Audio Codec) file takes"},
        {{in, out, "--settings", Path("nothing.txt")}, 2, "cannot read the settings file"},
        {{in, out, "--settings", Path("bad.txt")}, 2, Path("bad.txt") + ":2: expected Name=value"},
        {{in, out, "--module", Path("nothing.so")}, 5, "cannot load the module"},
        {{in, out, "--module", Path("notes.txt")}, 5, "cannot load the module"},
        {{in, in}, 4, "is the input file; er-render never overwrites a file it reads"},
        // No output of any kind replaces an input of any kind, whatever the names and links.
        {{"--plot-data", Path("s.csv"), "--settings", Path("s.csv")}, 4, "--plot-data \"" + Path("s.csv") + "\" is the settings file" + never},
        {{in, Path("s.wav"), "--settings", Path("s.wav")}, 4, "the output \"" + Path("s.wav") + "\" is the settings file" + never},
        {{"--impulse", "0.1", Path("s.wav"), "--settings", Path("s.wav")}, 4, "is the settings file" + never},
        {{"--plot-data", Path("hard.csv"), "--settings", Path("slink.txt")}, 4,
         "--plot-data \"" + Path("hard.csv") + "\" is the settings file \"" + Path("slink.txt") + "\""},
        {{"--room", Path("r.json"), "--pattern-out", Path("r.json")}, 4, "--pattern-out \"" + Path("r.json") + "\" is the room file" + never},
        {{in, Path("r.wav"), "--room", Path("r.wav")}, 4, "is the room file" + never},
        {{"--plot", Path("mod.svg"), "--module", Path("mod.svg")}, 4, "--plot \"" + Path("mod.svg") + "\" is the module" + never},
        {{in, Path("mod.svg"), "--type", "wav", "--module", Path("mod.svg")}, 4, "is the module" + never},
        {{"--batch", Path("wet"), in, Path("keep.wav")}, 4,
         "the batch's output \"" + Path("wet/in.wav") + "\" is the input file \"" + Path("keep.wav") + "\"" + never},
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
        // No two outputs are one file, nor any output the input: the one check before anything is opened covers
        // the picture's files and the room's as it does OUT.
        {{in, Path("fig.svg"), "--type", "wav", "--plot", Path("fig.svg")}, 4,
         "--plot \"" + Path("fig.svg") + "\" is the output \"" + Path("fig.svg") + "\"; each file er-render writes is its own"},
        {{in, out, "--plot", in}, 4, "--plot \"" + in + "\" is the input file" + never},
        {{in, out, "--plot-data", Path("fig.csv"), "--plot", Path("./fig.csv")}, 4,
         "--plot-data \"" + Path("fig.csv") + "\" is --plot \"" + Path("./fig.csv") + "\""},
        {{in, Path("o.wav"), "--room", "studio", "--pattern-out", in}, 4, "--pattern-out \"" + in + "\" is the input file" + never},
        {{in, Path("o.wav"), "--room", "studio", "--plot", Path("o.wav")}, 4, "--plot \"" + Path("o.wav") + "\" is the output"},
        {{in, Path("o.wav"), "--room", "studio", "--pattern-out", Path("p.json"), "--plot", Path("sub/../p.json")}, 4,
         "--pattern-out \"" + Path("p.json") + "\" is --plot \"" + Path("sub/../p.json") + "\""},
        {{"--plot", Path("fig.svg"), "--plot-data", Path("fig.svg")}, 4, "--plot-data \"" + Path("fig.svg") + "\" is --plot"},
        {{"--plot", Path("fig.svg"), "--set", "Bogus=1"}, 2, "no pin"},
        {{"--test-signal", "1", out, "--plot", Path("fig.svg")}, 2, "--plot does not apply to --test-signal"},
        {{"--plot", Path("fig.svg"), "--tail", "0.1", "--set", "1 Time=25", "--set", "Damping/Feedback Mode=Output",
          "--set", "Feedback +/-10=10", "--set", "1 Volume 10=100%=1e37"},
         6,
         "the output becomes infinite at 0.050000 s (sample 2400, channel 1)"},
        {{Path("right.wav"), out, "--tail", "0.1", "--set", "1 Time=25", "--set", "Damping/Feedback Mode=Output",
          "--set", "Feedback +/-10=10", "--set", "1 Volume 10=100%=1e37"},
         6,
         "the output becomes infinite at 0.050000 s (sample 2400, channel 2)"},
        {{in, out, "--no-such-option"}, 2, "--no-such-option"},
        {{Path("nan.wav"), out}, 3, "input sample 40000 of channel 2 is not a number (at 0.833333 s)"},
        {{Path("inf.wav"), out}, 3, "input sample 0 of channel 1 is infinite"},
        {{in, out, "--set", "1 Time=524289smp"}, 2,
         "--set \"1 Time=524289smp\": a delay of 524289 samples (10.923 s) at "
         "48000 Hz is longer than the longest \"Max Delay(s)\" line, 524288"},
        {{in, out, "--set", "Time Mode=Time(s)", "--set", "1 Time=11"}, 2, "is longer than the longest"},
        {{in, out, "--set", "1 Time=5ms..11s"}, 2, "a delay of 528000 samples"},
        // Each mode refuses what it would ignore, whichever option it is and wherever it stands.
        {{}, 2, "expected IN OUT, IN -n, or one of the modes"},
        {{"--batch", Path("folder"), in, "-n"}, 2, "-n does not apply to --batch OUTDIR"},
        {{"-n", "--batch", Path("folder"), in}, 2, "-n does not apply to --batch OUTDIR"},
        {{"--batch", Path("folder"), in, "--plot", Path("fig.svg")}, 2, "--plot does not apply to --batch"},
        {{in, "-n", "--format", "pcm16"}, 2, "--format does not apply to IN -n"},
        {{in, "-n", "--dither", "none"}, 2, "--dither does not apply to IN -n"},
        {{in, "-n", "--type", "flac"}, 2, "--type does not apply to IN -n"},
        {{"--impulse", "0.1", "-n", "--format", "pcm16"}, 2, "--format does not apply to -n, which writes nothing"},
        {{"--impulse", "0.1", "-n", "--dither", "tpdf"}, 2, "--dither does not apply to -n"},
        {{"--impulse", "0.1", "-n", "-C", "5"}, 2, "--compression does not apply to -n"},
        {{in, out, "--rate", "44100"}, 2, "--rate and --channels describe a raw input"},
        {{in, out, "--channels", "2"}, 2, "--rate and --channels describe a raw input"},
        {{in, out, "--jobs", "2"}, 2, "--jobs does not apply to a render of IN OUT"},
        {{"--impulse", "0.1", out, "--tail", "1"}, 2, "--tail does not apply to --impulse"},
        {{"--impulse", "0.1", out, "--test-signal", "1"}, 2, "--test-signal SECONDS and --impulse are different modes"},
        {{"--test-signal", "1", out, "--set", "1 Time=5"}, 2, "--set does not apply to --test-signal"},
        {{"--test-signal", "1", out, "--dither", "tpdf"}, 2, "--dither does not apply to --test-signal"},
        {{"--plot", Path("fig.svg"), "--format", "pcm16"}, 2, "--format does not apply to --plot"},
        {{"--plot", Path("fig.svg"), "--compression", "5"}, 2, "--compression does not apply to --plot"},
        {{"--list-pins", "--json"}, 2, "--json does not apply to --list-pins"},
        {{"--list-pins", "-q"}, 2, "--quiet does not apply to --list-pins"},
        {{"--list-presets", "--set", "1 Time=5"}, 2, "--set does not apply to --list-presets"},
        {{"--list-pins", "--info"}, 2, "--list-pins and --info are different modes"},
        {{"--version", in}, 2, "--version takes"},
        // OUT's container: its extension, else --type; a contradiction or an unknown extension is refused.
        {{in, Path("out.xyz")}, 2, "no container has the extension .xyz; name one with --type"},
        // A container or format whose file libsndfile does not read back as written is refused, with the reason.
        {{in, Path("out.xi")}, 2, "libsndfile writes no XI (FastTracker 2) file at 48000 Hz, 1 channel that reads back as written"},
        {{in, Path("out.sd2")}, 2, "libsndfile writes no SD2 (Sound Designer II) file at 48000 Hz"},
        {{in, Path("out.sd2"), "--format", "pcm16"}, 2, "file of pcm16 samples at 48000 Hz, 1 channel does not read back as written"},
        {{in, Path("out.aiff"), "--format", "pcm8"}, 2, "file of pcm8 samples at 48000 Hz, 1 channel does not read back as written"},
        {{Path("in44.wav"), Path("out.ogg"), "--format", "opus"}, 2,
         "opus samples in a OGG (OGG Container format) file take 8000, 12000, 16000, 24000, 48000 Hz, not 44100; it takes vorbis"},
        {{in, out, "--type", "flac"}, 2, "--type flac contradicts OUT"},
        {{in, out, "--format", "mp3"}, 2, "takes pcm8u, pcm16, pcm24, pcm32, float, double, ulaw, alaw; not \"mp3\""},
        {{in, out, "--compression", "5"}, 2, "--compression applies to FLAC, Vorbis and Opus output, not WAV"},
        {{in, Path("out.flac"), "--compression", "9"}, 2, "FLAC takes a level from 0 to 8, not \"9\""},
        {{in, Path("out.flac"), "--compression", "-1"}, 2, "FLAC takes a level from 0 to 8"},
        {{in, Path("out.ogg"), "--compression", "10.5"}, 2, "Vorbis and Opus takes a quality from 0 to 10"},
        // A raw input is described in full, in its own words.
        {{Path("in.raw"), out}, 2, "needs --rate, --channels and --format"},
        {{Path("in.raw"), out, "--rate", "48000", "--channels", "1"}, 2, "needs --rate, --channels and --format"},
        {{Path("in.raw"), out, "--rate", "48000", "--channels", "0", "--format", "pcm16"}, 2, "--channels must be a whole number from 1"},
        {{Path("in.raw"), out, "--rate", "48000", "--channels", "1", "--format", "vorbis"}, 2, "--format for a raw input takes"},
        // An empty value (a script's unset variable) is refused, never read as the option left out.
        {{in, out, "--dry", ""}, 2, "--dry takes DB, not an empty value"},
        {{in, out, "--gain", ""}, 2, "--gain takes DB, not an empty value"},
        {{in, out, "--tail", ""}, 2, "--tail takes TIME, not an empty value"},
        {{in, out, "--format", ""}, 2, "--format takes FORMAT, not an empty value"},
        {{in, Path("out.flac"), "-C", ""}, 2, "--compression takes LEVEL, not an empty value"},
        {{in, out, "--set", "1 Time=5", "--set", ""}, 2, "--set takes NAME=VALUE, not an empty value"},
        {{"--batch", "", in}, 2, "--batch takes OUTDIR, not an empty value"},
        {{in, out, "--tail", "1", "--tail", ""}, 2, "--tail takes TIME, not an empty value"},
        // A repeated option takes its later value, checked as any value is.
        {{in, out, "--tail", "1", "--tail", "soon"}, 2, "\"soon\" is not a time"},
        {{in, out, "--preset", "room", "--preset", "cathedral"}, 2, "no preset \"cathedral\""},
    };
    const auto before = Listing();
    const auto kept = ReadInts("keep.wav", 16);
    for (const Case& c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, c.code) << c.args.back() << "\n"
                                         << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.message << "\n"
                                                              << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(Listing(), before) << "a failed run leaves no file: " << c.message;
    }
    // An input on stdin, and stdout appending to an input.
    for (const std::string command : {"$R - keep.wav --type wav < keep.wav", "$R in.wav - --type wav --settings s.csv >> s.csv"}) {
        const ToolRun run = Shell(command);
        EXPECT_EQ(run.exit_code, 4) << command << "\n"
                                    << run.err;
        EXPECT_NE(run.err.find(never), std::string::npos) << command << "\n"
                                                          << run.err;
    }
    // An output name as long as Linux allows: the temporary name beside it is shortened, not refused.
    const std::string longest = std::string(251, 'n') + ".wav";
    const ToolRun long_name = Tool({in, Path(longest), "-q"});
    EXPECT_EQ(long_name.exit_code, 0) << long_name.err;
    EXPECT_EQ(ReadInts(longest, 16).size(), ReadInts("in.wav", 16).size() + 4801);
    fs::remove(Path(longest));
    // An unusable $TMPDIR is named as such, for stdin and for a stream OUT, never as a fault of the input.
    for (const std::string command : {"TMPDIR=/nonexistent $R - out.wav < in.wav", "TMPDIR=/nonexistent $R in.wav - --type wav > /dev/null"}) {
        const ToolRun run = Shell(command);
        EXPECT_NE(run.exit_code, 0) << command;
        EXPECT_NE(run.err.find("cannot make a spool file in \"/nonexistent\" ($TMPDIR): No such file or directory"), std::string::npos)
            << command << "\n"
            << run.err;
    }
    EXPECT_EQ(Shell("TMPDIR=/nonexistent $R - out.wav < in.wav").exit_code, 4);
    // A device both read and written is no file to lose.
    EXPECT_EQ(Shell("$R - - --type raw --rate 48000 --channels 1 --format pcm16 < /dev/null > /dev/null").exit_code, 0);
    EXPECT_EQ(ReadInts("keep.wav", 16), kept);
    EXPECT_EQ(ReadInts("in.wav", 16), std::vector<std::int32_t>(480, 100));
    for (const std::string& name : read_only_here) EXPECT_EQ(Bytes(m_dir / name), read_bytes[name]) << name;
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

// Every write error fails the run with its message, stdout included.
TEST_F(RenderTool, WriteErrorsFailTheRun) {
    ASSERT_EQ(Tool({"--test-signal", "0.25", Path("in.wav")}).exit_code, 0);
    for (const std::string command :
         {"$R --help", "$R --list-pins", "$R --list-presets", "$R --info", "$R --version", "$R in.wav -n --json",
          "$R --plot a.svg --json", "$R --test-signal 0.1 t.wav --json", "$R in.wav - --type wav",
          "$R --batch . in.wav --type flac --json", "$R --test-signal 0.1 /dev/full --type wav"}) {
        const ToolRun run = Shell(command + " > /dev/full");
        EXPECT_EQ(run.exit_code, 4) << command << "\n"
                                    << run.err;
        EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << command << "\n"
                                                                              << run.err;
    }
    // The output's samples are written beside the render: a file that stops growing (a size limit, here of
    // 64 KiB, hit by the first chunk or by the last) fails the run, leaves no temporary file and the old output
    // as it was, and the summary's loudness beside it changes nothing.
    ASSERT_EQ(Tool({"--test-signal", "3", Path("long.wav")}).exit_code, 0);
    std::ofstream(Path("out.wav")) << "keep";
    const std::set<std::string> files = Listing();
    for (const std::string command : {"$R long.wav out.wav", "$R long.wav out.wav -q --format float",
                                      "$R in.wav out.wav --format double --tail 0.1"}) {
        std::ofstream(Path("out.wav")) << "keep";
        const ToolRun run = Shell("trap '' XFSZ; ulimit -f 64; " + command);
        EXPECT_EQ(run.exit_code, 4) << command << "\n"
                                    << run.err;
        EXPECT_NE(run.err.find("cannot "), std::string::npos) << command << "\n"
                                                              << run.err;
        EXPECT_EQ(Bytes(m_dir / "out.wav"), "keep") << command;
        EXPECT_EQ(Listing(), files) << command;
    }
}

}  // namespace
