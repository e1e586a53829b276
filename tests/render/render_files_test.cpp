// er-render end to end: formats and pipes. Every container and sample format libsndfile writes, the input's
// format kept, clipping counted, exact renders bit-transparent and undithered, pipes both ways, and outputs that
// exist already (FIFO, symbolic link, read-only file) treated as Unix tools do; what a render did that nobody
// asked for (a file cut short, precision dropped, a delay between samples) is said.
#include "RenderToolFixture.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <map>

#include <nlohmann/json.hpp>

#include "SampleCodec.h"

namespace {

using namespace er_render_tests;

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

// What a file says besides its samples goes with them where the output's container can hold it, read back with
// libsndfile and with sox: the texts of a FLAC (as libsndfile writes them and as sox does), into FLAC, Ogg and WAV
// (the room's render too); the speakers of a 6-channel WAVE_FORMAT_EXTENSIBLE file (sox's default 5.1 and a side
// layout) into a WAV that stays extensible with the same channel mask, and 5.1 into CAF. A container that holds none
// (a FLAC's channel layout) goes without, and a file without a layout stays a plain WAV.
TEST_F(RenderTool, TextsAndChannelLayoutGoWhereTheContainerHoldsThem) {
    const std::vector<std::pair<int, std::string>> texts{
        {SF_STR_TITLE, "Take 7"}, {SF_STR_ARTIST, "The Early Reflections"}, {SF_STR_ALBUM, "Rooms"},
        {SF_STR_COMMENT, "ambience, \u00e9t\u00e9"}, {SF_STR_DATE, "2026-12-08"}, {SF_STR_GENRE, "Ambient"}};
    const std::vector<int> side{SF_CHANNEL_MAP_LEFT, SF_CHANNEL_MAP_RIGHT, SF_CHANNEL_MAP_CENTER,
                                SF_CHANNEL_MAP_LFE, SF_CHANNEL_MAP_SIDE_LEFT, SF_CHANNEL_MAP_SIDE_RIGHT};
    const std::vector<int> five_one{SF_CHANNEL_MAP_LEFT, SF_CHANNEL_MAP_RIGHT, SF_CHANNEL_MAP_CENTER,
                                    SF_CHANNEL_MAP_LFE, SF_CHANNEL_MAP_REAR_LEFT, SF_CHANNEL_MAP_REAR_RIGHT};
    auto write = [&](const std::string& name, int format, int channels, bool with_texts, const std::vector<int>& map) {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = channels;
        info.format = format;
        SNDFILE* file = sf_open(Path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        if (with_texts) {
            for (const auto& [kind, text] : texts) ASSERT_EQ(sf_set_string(file, kind, text.c_str()), 0) << text;
        }
        std::vector<int> layout = map;
        if (!map.empty()) sf_command(file, SFC_SET_CHANNEL_MAP_INFO, layout.data(), static_cast<int>(map.size() * sizeof(int)));
        std::vector<float> samples(static_cast<std::size_t>(480 * channels), 0.0f);
        samples[0] = 0.5f;
        sf_writef_float(file, samples.data(), 480);
        sf_close(file);
    };
    write("tags.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, true, {});
    write("side.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 6, false, side);
    write("plain.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, false, {});
    ASSERT_EQ(Spawn({"sox", "-n", "-r", "48000", "-c", "2", "-b", "16", "--comment", "title=Take 7",
                     Path("sox.flac"), "synth", "0.01", "sine", "440"})
                  .exit_code,
              0);
    ASSERT_EQ(Spawn({"sox", "-n", "-r", "48000", "-c", "6", "-b", "16", Path("surround.wav"), "synth", "0.01", "sine",
                     "440"})
                  .exit_code,
              0);
    // The texts libsndfile reads from a file, and its channel layout.
    auto texts_of = [&](const std::string& name) {
        SF_INFO info{};
        SNDFILE* file = sf_open(Path(name).c_str(), SFM_READ, &info);
        std::map<int, std::string> found;
        for (int kind = SF_STR_FIRST; file != nullptr && kind <= SF_STR_LAST; ++kind) {
            if (const char* text = sf_get_string(file, kind)) found[kind] = text;
        }
        sf_close(file);
        return found;
    };
    auto layout_of = [&](const std::string& name) {
        SF_INFO info{};
        SNDFILE* file = sf_open(Path(name).c_str(), SFM_READ, &info);
        std::vector<int> map(static_cast<std::size_t>(std::max(info.channels, 1)));
        const bool given = file != nullptr &&
                           sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int)));
        sf_close(file);
        return given ? map : std::vector<int>{};
    };
    // A WAVE_FORMAT_EXTENSIBLE header's dwChannelMask (0: none); the bits as Microsoft numbers the speakers.
    auto channel_mask = [&](const std::string& name) -> std::uint32_t {
        const std::string bytes = ReadText(Path(name));
        const std::size_t fmt = bytes.find("fmt ");
        if (fmt == std::string::npos || bytes.size() < fmt + 32) return 0;
        if (static_cast<unsigned char>(bytes[fmt + 8]) != 0xFE || static_cast<unsigned char>(bytes[fmt + 9]) != 0xFF) return 0;
        std::uint32_t mask = 0;
        for (int i = 3; i >= 0; --i) mask = mask << 8 | static_cast<unsigned char>(bytes[fmt + 28 + i]);
        return mask;
    };
    const std::map<int, std::string> all(texts.begin(), texts.end());
    const std::map<int, std::string> title{{SF_STR_TITLE, "Take 7"}};
    struct Case {
        const char* in;
        const char* out;
        std::vector<std::string> options;
        std::map<int, std::string> texts;  // what libsndfile reads back
        const char* soxi;                  // a line soxi -a shows; empty: none asked
        std::vector<int> layout;
        std::uint32_t mask;  // the WAV's channel mask; 0: not an extensible WAV
    };
    const Case cases[] = {
        {"tags.flac", "out.flac", {}, all, "artist=The Early Reflections", {}, 0},
        {"tags.flac", "out.ogg", {}, all, "TITLE=Take 7", {}, 0},
        {"tags.flac", "out.wav", {}, all, "", {}, 0},
        {"tags.flac", "room.flac", {"--room", "studio"}, all, "album=Rooms", {}, 0},
        {"sox.flac", "out.flac", {}, title, "title=Take 7", {}, 0},
        {"surround.wav", "out.wav", {}, {}, "", five_one, 0x3F},
        {"side.wav", "out.wav", {}, {}, "", side, 0x60F},
        {"surround.wav", "out.caf", {}, {}, "", five_one, 0},
        {"side.wav", "out.flac", {}, {}, "", {}, 0},
        {"plain.wav", "out.wav", {}, {}, "", {}, 0},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.in) + " to " + c.out;
        std::vector<std::string> args{Path(c.in), Path(c.out)};
        const std::vector<std::string> delay{"--set", "1 Time=1"};
        args.insert(args.end(), c.options.empty() ? delay.begin() : c.options.begin(),
                    c.options.empty() ? delay.end() : c.options.end());
        const ToolRun run = Tool(args);
        ASSERT_EQ(run.exit_code, 0) << label << ": " << run.err;
        EXPECT_EQ(texts_of(c.out), c.texts) << label;
        EXPECT_EQ(layout_of(c.out), c.layout) << label;
        EXPECT_EQ(channel_mask(c.out), c.mask) << label;
        SF_INFO info{};
        Read(c.out, &info);
        EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, c.mask != 0                        ? SF_FORMAT_WAVEX
                                                    : std::string(c.out) == "out.wav" ? SF_FORMAT_WAV
                                                                                      : info.format & SF_FORMAT_TYPEMASK)
            << label;
        const ToolRun soxi = Spawn({"soxi", Path(c.out)});
        EXPECT_EQ(soxi.exit_code, 0) << label << ": " << soxi.err;
        EXPECT_NE(soxi.out.find(c.layout.empty() ? "Channels" : "Channels       : 6"), std::string::npos) << soxi.out;
        if (std::string(c.soxi).empty()) continue;
        const ToolRun comments = Spawn({"soxi", "-a", Path(c.out)});
        EXPECT_NE(comments.out.find(c.soxi), std::string::npos) << label << ": " << comments.out;
    }
}

// Samples past full scale are counted wherever they go: clipped in 16 bits (full scale itself is no clip), kept in
// floats, counted with -n; the count reaches stderr also with -q and --json, as sox's warning does.
TEST_F(RenderTool, Pcm16ReportsEverySampleTheGainPushesPastFullScale) {
    std::vector<std::int32_t> input{16384, -16384, 16385, -16385, 0};  // x2: full scale both ways, then one past
    for (std::size_t n = 0; input.size() < 4800; ++n) {
        input.push_back(static_cast<std::int32_t>(std::lround(24000.0 * std::sin(0.01 * static_cast<double>(n)))));
    }
    // Without a tail, the last ten input samples never come out. Past full scale is past +-1.0; pcm16 clips those
    // and +1.0 itself, which it stores as 32767.
    std::int64_t expected = 0, clipped = 0;
    for (std::size_t n = 0; n + 10 < input.size(); ++n) {
        expected += (2 * input[n] > 32768 || 2 * input[n] < -32768) ? 1 : 0;
        clipped += (2 * input[n] > 32767 || 2 * input[n] < -32768) ? 1 : 0;
    }
    Write("sine.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, input);
    const std::vector<std::string> loud{"--tail", "0", "--set", "Time Mode=Samples", "--set", "1 Time=10", "--set",
                                        "1 Volume 10=100%=20"};
    auto render = [&](std::vector<std::string> args) {
        args.insert(args.begin(), Path("sine.wav"));
        args.insert(args.end(), loud.begin(), loud.end());
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        return run;
    };
    ASSERT_GT(expected, 0);
    ASSERT_GT(clipped, expected);
    const std::string count = std::to_string(expected), clip_count = std::to_string(clipped);
    const ToolRun run = render({Path("loud.wav"), "--format", "pcm16"});
    EXPECT_NE(run.err.find(" " + clip_count + " samples clipped"), std::string::npos) << run.err;
    const auto out = ReadInts("loud.wav", 16);
    for (std::size_t n = 10; n < out.size(); ++n) {
        EXPECT_EQ(out[n], std::clamp(2 * input[n - 10], -32768, 32767)) << n;
    }
    struct Case {
        std::vector<std::string> args;
        std::string err;  // the whole of stderr, or a part of the summary
        bool whole;
    };
    const Case cases[] = {
        {{Path("q.wav"), "-q"}, "er-render: warning: " + clip_count + " samples clipped at full scale; lower --gain or --wet\n", true},
        {{"-n", "-q"}, "er-render: warning: " + count + " samples past full scale, which an integer format would clip\n", true},
        {{"-n"}, "nothing (-n)", false},
        {{"-n"}, " " + count + " samples past full scale", false},
        {{Path("f.wav"), "--format", "float"}, "0 samples clipped, " + count + " samples past full scale kept as floats", false},
    };
    for (const Case& c : cases) {
        const ToolRun got = render(c.args);
        if (c.whole) {
            EXPECT_EQ(got.err, c.err) << c.args.front();
        } else {
            EXPECT_NE(got.err.find(c.err), std::string::npos) << c.err << "\n"
                                                              << got.err;
        }
    }
    EXPECT_EQ(render({Path("f.wav"), "--format", "float"}).err.find("warning"), std::string::npos) << "floats keep them";
    const ToolRun json = render({"-n", "--json"});
    EXPECT_EQ(nlohmann::json::parse(json.out)["past_full_scale"], expected);
    EXPECT_NE(json.err.find("warning: " + count + " samples past full scale"), std::string::npos) << json.err;
    EXPECT_EQ(nlohmann::json::parse(render({Path("j.wav"), "--json"}).out)["clipped"], clipped);
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
    // /dev/stdout, /dev/fd/1 and /dev/stderr into a pipe carry what "-" does.
    ASSERT_EQ(Shell("$R in.wav - --type wav" + settings + " | cat > dash.wav").exit_code, 0);
    for (const std::string out : {"/dev/stdout | cat > named.wav", "/dev/fd/1 | cat > named.wav",
                                  "/dev/stderr 2>&1 >/dev/null | cat > named.wav"}) {
        fs::remove(Path("named.wav"));
        const ToolRun named = Shell("$R in.wav -q --type wav" + settings + " " + out);
        EXPECT_EQ(named.exit_code, 0) << out;
        EXPECT_EQ(Bytes(m_dir / "named.wav"), Bytes(m_dir / "dash.wav")) << out;
    }
    // A named pipe as IN (as a process substitution gives) reads as "-" does, in every container and raw.
    ASSERT_EQ(Shell("$R in.wav in.flac --tail 0 && $R in.wav in.ogg --tail 0 && $R in.wav in.raw --tail 0").exit_code, 0);
    for (const std::string in : {"in.wav", "in.flac", "in.ogg", "in.raw"}) {
        const std::string raw = in == "in.raw" ? " --rate 48000 --channels 1 --format pcm16" : "";
        ASSERT_EQ(Shell("cat " + in + " | $R - piped.wav" + raw + settings).exit_code, 0) << in;
        fs::remove(Path("fifo"));
        const ToolRun fifo = Shell("mkfifo fifo && { cat " + in + " > fifo & } && $R fifo named.wav" + raw + settings);
        ASSERT_EQ(fifo.exit_code, 0) << in << "\n"
                                     << fifo.err;
        EXPECT_EQ(Bytes(m_dir / "named.wav"), Bytes(m_dir / "piped.wav")) << in;
    }
}

// Headerless PCM for pipes, as sox writes it: a raw OUT holds exactly the samples a WAV OUT holds, and a raw IN
// described by --rate, --channels and --format (a .raw name, or "-" with --rate) renders as that WAV does.
TEST_F(RenderTool, RawSamplesInAndOutForPipes) {
    std::vector<std::int32_t> input(4000);
    for (std::size_t n = 0; n < input.size(); ++n) input[n] = static_cast<std::int32_t>((n * 7919) % 20000) - 10000;
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, input, {}, 44100);
    const std::string settings = " --set '1 Time=3ms' --set 'Feedback +/-10=5' --dither none";
    const std::string raw = " --rate 44100 --channels 2 --format pcm16";
    ASSERT_EQ(Shell("$R in.wav out.wav" + settings).exit_code, 0);
    ASSERT_EQ(Shell("$R in.wav out.raw" + settings).exit_code, 0);
    const std::string wav = Bytes(m_dir / "out.wav");
    EXPECT_EQ(Bytes(m_dir / "out.raw"), wav.substr(wav.size() - Bytes(m_dir / "out.raw").size())) << "the data alone";
    EXPECT_EQ(ReadInts("out.wav", 16).size() * 2, Bytes(m_dir / "out.raw").size());

    // The input's samples, headerless, back through each spelling of a raw input.
    ASSERT_EQ(Shell("$R in.wav in.raw --set Active=OFF --set '1 Volume 10=100%=10'"
                    " --dry 0 --wet off --dither none")
                  .exit_code,
              0);
    const std::string in_wav = Bytes(m_dir / "in.wav");
    ASSERT_EQ(Bytes(m_dir / "in.raw"), in_wav.substr(in_wav.size() - input.size() * 2)) << "a dry pass is exact";
    const std::pair<std::string, std::string> forms[] = {{"$R in.raw again.wav", "out.wav"},
                                                         {"cat in.raw | $R - again.wav", "out.wav"},
                                                         {"cat in.raw | $R - - --type raw > again.raw", "out.raw"}};
    for (const auto& [form, same] : forms) {
        const ToolRun run = Shell(form + raw + settings);
        ASSERT_EQ(run.exit_code, 0) << form << "\n"
                                    << run.err;
        const std::string written = same == "out.wav" ? "again.wav" : "again.raw";
        EXPECT_EQ(Bytes(m_dir / written), Bytes(m_dir / same)) << form;
        fs::remove(m_dir / written);
    }
    // Without --rate, "-" is a sound file with a header, whatever --type says of OUT.
    const ToolRun headed = Shell("cat in.wav | $R - - --type raw" + settings + " > headed.raw");
    ASSERT_EQ(headed.exit_code, 0) << headed.err;
    EXPECT_EQ(Bytes(m_dir / "headed.raw"), Bytes(m_dir / "out.raw"));
    // A raw input's --format is the input's: a FLAC OUT takes the nearest it holds, as from a float WAV.
    ASSERT_EQ(Shell("$R in.wav float.raw --format float --tail 0 && $R in.wav float.wav --format float --tail 0").exit_code, 0);
    ASSERT_EQ(Shell("$R float.raw from-raw.flac --rate 44100 --channels 2 --format float" + settings).exit_code, 0);
    ASSERT_EQ(Shell("$R float.wav from-wav.flac" + settings).exit_code, 0);
    SF_INFO info{};
    EXPECT_EQ(Read("from-raw.flac", &info), Read("from-wav.flac"));
    EXPECT_EQ(info.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
}

// Encoder settings as sox's -C: FLAC's compression level (every level decodes to the same samples), Vorbis
// quality (a higher one keeps more and takes more bytes).
TEST_F(RenderTool, CompressionLevelReachesTheEncoder) {
    std::vector<float> noise(48000);
    std::uint32_t state = 1;
    for (float& sample : noise) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(static_cast<int>(state >> 16) - 32768) / 65536.0f;
    }
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, {}, noise);
    std::map<std::string, std::size_t> sizes;
    for (const char* level : {"0", "8"}) {
        ASSERT_EQ(Tool({Path("in.wav"), Path(std::string("l") + level + ".flac"), "-C", level, "--format", "pcm24"}).exit_code, 0);
        sizes[std::string("flac") + level] = Bytes(m_dir / (std::string("l") + level + ".flac")).size();
    }
    EXPECT_LT(sizes["flac8"], sizes["flac0"]);
    EXPECT_EQ(Read("l0.flac"), Read("l8.flac"));
    for (const char* quality : {"1", "9"}) {
        ASSERT_EQ(Tool({Path("in.wav"), Path(std::string("q") + quality + ".ogg"), "--compression", quality}).exit_code, 0);
        sizes[std::string("ogg") + quality] = Bytes(m_dir / (std::string("q") + quality + ".ogg")).size();
    }
    EXPECT_LT(sizes["ogg1"] * 2, sizes["ogg9"]);
    ASSERT_EQ(Tool({"--test-signal", "2", Path("t1.ogg"), "-C", "1"}).exit_code, 0);
    ASSERT_EQ(Tool({"--test-signal", "2", Path("t9.ogg"), "-C", "9"}).exit_code, 0);
    EXPECT_LT(Bytes(m_dir / "t1.ogg").size(), Bytes(m_dir / "t9.ogg").size()) << "--test-signal honours it too";
}

// A FIFO OUT opens at the start, as sox does: its reader sees the stream end when the run fails, at once, and
// the whole file when it succeeds. Spool files for pipes are made in TMPDIR.
TEST_F(RenderTool, FifoReaderIsNeverLeftWaiting) {
    Write("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<std::int32_t>(2000, 1000));
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
    for (const std::string failing : {"--set Bogus=1", "--tail soon", "--format mp3", "--module nothing.so"}) {
        const ToolRun run = Shell("timeout 20 cat fifo > got & $R in.wav fifo " + failing + "; code=$?; wait $!; echo $? $code");
        EXPECT_EQ(run.out, "0 " + std::string(failing.find("module") != std::string::npos ? "5" : "2") + "\n")
            << failing << ": the reader ended by itself\n"
            << run.err;
        EXPECT_EQ(Bytes(m_dir / "got"), "") << failing;
    }
    const ToolRun signal = Shell("timeout 20 cat fifo > got & $R --test-signal 0.5 fifo --type wav; wait $!; echo $?");
    EXPECT_EQ(signal.out, "0\n") << signal.err;
    EXPECT_EQ(Bytes(m_dir / "got").substr(0, 4), "RIFF");
    // A figure or its data into a FIFO likewise, in --plot's own mode and beside a render; the FIFO stays one.
    ASSERT_EQ(mkfifo(Path("fifo.svg").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo(Path("fifo.csv").c_str(), 0644), 0);
    struct Case {
        std::string command;
        std::string fifo;
        int code;
        std::string start;  // of what the reader gets
    };
    const Case plots[] = {
        {"$R --plot fifo.svg --set Bogus=1", "fifo.svg", 2, ""},
        {"$R in.wav out.wav --plot fifo.svg --set Bogus=1", "fifo.svg", 2, ""},
        {"$R in.wav -n --plot-data fifo.csv --tail soon", "fifo.csv", 2, ""},
        {"$R --plot fifo.svg --module nothing.so", "fifo.svg", 5, ""},
        {"$R --plot fifo.svg", "fifo.svg", 0, "<?xml"},
        {"$R in.wav out.wav -q --plot-data fifo.csv", "fifo.csv", 0, "series"},
    };
    for (const Case& c : plots) {
        const ToolRun run = Shell("timeout 20 cat " + c.fifo + " > got & " + c.command + "; code=$?; wait $!; echo $? $code");
        EXPECT_EQ(run.out, "0 " + std::to_string(c.code) + "\n") << c.command << ": the reader ended by itself\n"
                                                                 << run.err;
        EXPECT_EQ(Bytes(m_dir / "got").substr(0, c.start.size()), c.start) << c.command;
        EXPECT_TRUE(fs::is_fifo(m_dir / c.fifo)) << c.command;
    }

    const ToolRun no_spool = Shell("cat in.wav | TMPDIR=" + Path("nowhere") + " $R - - --type wav > out.wav");
    EXPECT_EQ(no_spool.exit_code, 4) << no_spool.err;  // the work folder, not the input
    EXPECT_NE(no_spool.err.find("No such file or directory"), std::string::npos) << no_spool.err;
    fs::create_directory(Path("spool"));
    EXPECT_EQ(Shell("cat in.wav | TMPDIR=" + Path("spool") + " $R - - --type wav > out.wav").exit_code, 0);
    EXPECT_EQ(Shell("TMPDIR=" + Path("nowhere") + " $R in.wav - --type wav > out.wav").exit_code, 4)
        << "the output's spool too";
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

// Every container (by its extension) and sample format libsndfile writes: OUT takes it, and a lossless one carries
// a one-sample delay of the input exactly. Unset, the format is the input's where the container holds it, else
// the nearest it does.
// Every pair libsndfile writes: read back by libsndfile and by sox, each has the rate, channels and length the
// summary states; lossless ones give back each sample, every integer one keeps the sign at both extremes and
// stops at its own (a 1 kHz square wave at full scale, then twice that). An odd length, as some containers pad
// to even. The pairs whose files libsndfile itself does not read back as written are refused.
TEST_F(RenderTool, EveryContainerAndSampleFormatLibsndfileWritesRoundTrips) {
    constexpr std::size_t square_start = 1000;
    std::vector<float> grid(square_start + 961);
    for (std::size_t n = 0; n < square_start; ++n) grid[n] = static_cast<float>(static_cast<int>(n % 201) - 100) / 128;
    for (std::size_t n = square_start; n < grid.size(); ++n) {
        grid[n] = (n / 24 % 2 == 0 ? 1.0f : -1.0f) * (n < square_start + 480 ? 1.0f : 2.0f);
    }
    Write("grid.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, {}, grid);
    // The largest magnitude each integer codec stores; samples past it are clipped to it.
    const std::map<std::string, double> extremes{
        {"pcm8", 127.0 / 128}, {"pcm8u", 127.0 / 128}, {"dpcm8", 127.0 / 128}, {"pcm16", 32767.0 / 32768}, {"dpcm16", 32767.0 / 32768}, {"dwvw16", 32767.0 / 32768}, {"alac16", 32767.0 / 32768}, {"dwvw12", 2047.0 / 2048}, {"alac20", 524287.0 / 524288}, {"pcm24", 1.0 - 1.0 / 8388608}, {"dwvw24", 1.0 - 1.0 / 8388608}, {"alac24", 1.0 - 1.0 / 8388608}, {"pcm32", 1.0}, {"alac32", 1.0}, {"ulaw", 32124.0 / 32768}, {"alaw", 32256.0 / 32768}};
    auto expected = [&](const std::string& name, float value) {
        const auto extreme = extremes.find(name);
        if (extreme == extremes.end()) return value;  // floats hold it
        return std::clamp(value, -1.0f, static_cast<float>(extreme->second));
    };
    const std::set<std::string> lossy{"ulaw", "alaw", "vorbis", "opus", "mp1", "mp2", "mp3", "other"};
    int majors = 0, subtypes = 0, pairs = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof(majors));
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &subtypes, sizeof(subtypes));
    std::set<std::string> extensions, refused;
    // What sox has no reader for (by extension, or extension and format).
    const std::set<std::string> sox_cannot{"iff",         "m1a",         "mpc",         "oga opus",   "caf alac16",
                                           "caf alac20", "caf alac24", "aiff dwvw16", "aiff dwvw24"};
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
            if (run.exit_code != 0) {
                refused.insert(label);
                EXPECT_EQ(run.exit_code, 2) << label << "\n"
                                            << run.err;
                EXPECT_TRUE(run.err.find("does not read back as written") != std::string::npos ||
                            run.err.find(" Hz, not 48000;") != std::string::npos)
                    << label << "\n"
                    << run.err;
                continue;
            }
            ++pairs;
            const std::string frames = std::to_string(grid.size());
            EXPECT_NE(run.err.find("= " + frames + " (0.041 s) at 48000 Hz, 1 channel"), std::string::npos) << label << "\n"
                                                                                                          << run.err;
            EXPECT_EQ(Listing(), (std::set<std::string>{"grid.wav", out})) << label << ": nothing beside the output";
            // Raw has no header to read it by.
            if ((check.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW) {
                EXPECT_GT(fs::file_size(Path(out)), 0u);
                fs::remove(Path(out));
                continue;
            }
            SF_INFO info{};
            const auto samples = Read(out, &info);
            EXPECT_EQ(info.format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK), check.format) << label;
            EXPECT_EQ(info.samplerate, 48000) << label;
            EXPECT_EQ(info.channels, 1) << label;
            EXPECT_EQ(std::to_string(info.frames), frames) << label;
            // sox reads the whole file (some headers leave the length to the data).
            if (sox_cannot.count(major.extension) == 0 && sox_cannot.count(std::string(major.extension) + " " + name) == 0) {
                const ToolRun sox = Shell("soxi -r " + out + " && soxi -c " + out + " && sox " + out + " -t s32 - | wc -c");
                EXPECT_EQ(sox.out, "48000\n1\n" + std::to_string(4 * grid.size()) + "\n") << label << "\n"
                                                                                          << sox.err;
            }
            if (lossy.count(name) == 0) {
                ASSERT_EQ(samples.size(), grid.size()) << label;
                for (std::size_t n = 1; n < grid.size(); ++n) {
                    ASSERT_EQ(samples[n], expected(name, grid[n - 1])) << label << " " << n;
                }
            }
            if ((name == "ulaw" || name == "alaw") && samples.size() == grid.size()) {
                for (std::size_t n = square_start + 1; n < grid.size(); ++n) {
                    ASSERT_EQ(samples[n], static_cast<float>(std::copysign(extremes.at(name), grid[n - 1]))) << label << " " << n;
                }
            }
            fs::remove(Path(out));
        }
    }
    EXPECT_GT(pairs, 40);
    // What libsndfile does not read back as written, and why: an odd length of 8-bit mono AIFF reads a frame
    // longer (the pad byte), as do mu-law and A-law in VOC; ALAC 32 in CAF reads back silence; HTK keeps the
    // rate as a period of 100 ns (48076 Hz); PARIS 24-bit and MIDI sample dumps go in blocks and packets and drop
    // a partial one; DWVW without a header has no length; SD2's rate and length are in a resource fork beside
    // it; unsigned 8-bit VOC reads 50000 Hz; WVE is 8000 Hz and XI 44100 Hz alone.
    const std::set<std::string> unreadable{
        "pair.aiff alaw",  "pair.aiff pcm8",  "pair.aiff pcm8u", "pair.aiff ulaw",  "pair.caf alac32",
        "pair.htk pcm16",  "pair.paf pcm24",  "pair.raw dwvw12", "pair.raw dwvw16", "pair.raw dwvw24",
        "pair.sd2 pcm16",  "pair.sd2 pcm24",  "pair.sd2 pcm32",  "pair.sd2 pcm8",   "pair.sds pcm16",
        "pair.sds pcm24",  "pair.sds pcm8",   "pair.voc alaw",   "pair.voc pcm8u",  "pair.voc ulaw",
        "pair.wve alaw",   "pair.xi dpcm16",  "pair.xi dpcm8"};
    EXPECT_EQ(refused, unreadable);

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
        {{Path("grid.wav"), Path("o.opus")}, "o.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
        {{Path("grid.wav"), Path("o"), "--type", "opus"}, "o", SF_FORMAT_OGG | SF_FORMAT_OPUS},
        {{Path("v.ogg"), Path("from-ogg.wav")}, "from-ogg.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {{"--impulse", "0.01", Path("ir.flac")}, "ir.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {{Path("grid.wav"), "-", "--type", "au"}, "", 0},
    };
    for (const Default& d : defaults) {
        const ToolRun run = Tool(d.args);
        ASSERT_EQ(run.exit_code, 0) << d.out << "\n"
                                    << run.err;
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

// What the render did that the user did not ask for is said: a file cut short, input precision the float path
// drops, a delay between whole samples, a plain value one sample short, a line no "Max Delay(s)" makes long
// enough, an impulse response that ends before its first echo. Where nothing of the kind happened, nothing is said.
TEST_F(RenderTool, WarningsAndNotesSayWhatTheRenderDid) {
    std::vector<std::int32_t> noise(48000);
    for (std::size_t n = 0; n < noise.size(); ++n) noise[n] = static_cast<std::int32_t>((n * 7919) % 30000) - 15000;
    Write("cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, noise);
    fs::resize_file(Path("cut.wav"), 44 + 2 * 1000 + 1);  // 1000 frames and half a sample of 48000
    Write("cut.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, noise);
    fs::resize_file(Path("cut.flac"), fs::file_size(Path("cut.flac")) / 2);
    Write("whole.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, std::vector<std::int32_t>(100, 5), {}, 44100);
    {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_32;
        SNDFILE* file = sf_open(Path("i32.wav").c_str(), SFM_WRITE, &info);
        const int samples[] = {INT32_MAX, -INT32_MAX, INT32_MIN, 256, (1 << 30) + 1, 1 << 30};  // 3 need 25 bits or more
        sf_write_int(file, samples, 6);
        sf_close(file);
        info.format = SF_FORMAT_WAV | SF_FORMAT_DOUBLE;
        file = sf_open(Path("f64.wav").c_str(), SFM_WRITE, &info);
        const double values[] = {0.5, 0.1, -0.25, 1.0 / 3.0};
        sf_write_double(file, values, 4);
        sf_close(file);
    }
    // EBU R128's reference: a 1 kHz sine in both channels reads its peak level in LUFS (-20 dBFS: -20.0 LUFS).
    std::vector<float> tone(2 * 96000);
    for (std::size_t n = 0; n < tone.size(); ++n) tone[n] = static_cast<float>(0.1 * std::sin(2.0 * M_PI * 1000.0 * (n / 2) / 48000.0));
    Write("tone.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, {}, tone);
    const std::string ms = "Time Mode=Time(ms)", smp = "Time Mode=Samples";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> said;
        std::vector<std::string> unsaid;
    };
    const Case cases[] = {
        {{Path("cut.wav"), "-n", "-q"}, {"warning: \"" + Path("cut.wav") + "\" is shorter than its header says (cut short?); 1000 whole frames"}, {}},
        {{Path("cut.flac"), "-n", "-q"}, {"warning: \"" + Path("cut.flac") + "\" is shorter than its header says (cut short?); "}, {}},
        {{Path("whole.wav"), "-n", "-q"}, {}, {"warning"}},
        {{Path("tone.wav"), "-n", "--tail", "0", "--dry", "0", "--wet", "off"}, {"loudness    -20.0 LUFS integrated (EBU R128), true peak -20.0 dBTP"}, {}},
        {{Path("tone.wav"), "-n", "--gain", "off"}, {"loudness    below -70 LUFS integrated (EBU R128), true peak -inf dBTP"}, {}},
        {{Path("tone.wav"), "-n", "--tail", "0", "--dry", "0", "--wet", "off", "--gain", "-3"}, {"loudness    -23.0 LUFS", "true peak -23.0 dBTP"}, {}},
        {{Path("i32.wav"), Path("o.wav"), "--set", "1 Time=1smp"},
         {"pcm32: peak 1.0000 (0.0 dBFS)", "0 samples clipped", "precision   the input's 32-bit samples pass through the module's 24-bit float path: 3 rounded"},
         {"warning"}},
        {{Path("f64.wav"), "-n"}, {"53-bit samples pass through the module's 24-bit float path: 2 rounded"}, {}},
        {{Path("whole.wav"), "-n"}, {}, {"precision", "nearest"}},
        {{Path("whole.wav"), "-n", "--set", "1 Time=22.675736ms"}, {"tap delay   1000 samples"}, {"nearest", "note"}},
        {{Path("whole.wav"), "-n", "--set", "1 Time=25ms"},
         {"tap delay   1103 samples (25.011 ms), the whole sample nearest 25ms (1102.5 samples; 0.5 samples, 0.0113 ms away)"},
         {}},
        {{Path("whole.wav"), "-n", "--set", "1 Time=25.0113ms"}, {"tap delay   1103 samples", "nearest 25.0113ms"}, {}},
        {{Path("whole.wav"), "-n", "--set", "1 Time=25.0113ms", "--set", "Time Accuracy=Fraction(Econ)"}, {"tap delay   1102.99"}, {"nearest"}},
        {{Path("whole.wav"), "-n", "--set", "1 Time=1102.49smp"}, {"tap delay   1102 samples"}, {}},
        {{Path("whole.wav"), "-n", "--set", smp, "--set", "1 Time=1102"},
         {"note: \"1 Time=1102\" asks the module for 1101.99997 samples, which it truncates to 1101 as a host does; "
          "\"1 Time=1102smp\" gives exactly 1102",
          "tap delay   1101 samples"},
         {}},
        {{Path("whole.wav"), "-n", "-q", "--set", smp, "--set", "1 Time=1102"}, {}, {"note"}},
        {{Path("whole.wav"), "-n", "--set", smp, "--set", "1 Time=1102smp"}, {"tap delay   1102 samples"}, {"note"}},
        {{Path("whole.wav"), "-n", "--set", smp, "--set", "1 Time=1102.6"}, {"truncated from 1102.6"}, {"note"}},
        {{Path("whole.wav"), "-n", "--set", ms, "--set", "1 Time=100"}, {}, {"note"}},
        {{Path("whole.wav"), "-n", "--set", "1 Time=12s", "--allow-unsafe"},
         {"exceeds the \"Max Delay(s)\" line of 524288 samples", "(no \"Max Delay(s)\" holds it at this rate)",
          "Max Delay(s)=10.920 (the longest line; the delay wraps round it)"},
         {"choose a longer", "chosen to hold"}},
        {{Path("whole.wav"), "-n", "--set", "1 Time=11.8s", "--set", "Max Delay(s)=5.46"}, {"(choose a longer \"Max Delay(s)\")"}, {}},
        {{"--impulse", "0.025", Path("ir.wav"), "--set", "1 Time=25ms"}, {"warning: --impulse 0.025 is 1200 samples, and the first echo comes at 1200 samples"}, {}},
        {{"--impulse", "0.02502", Path("ir.wav"), "--set", "1 Time=25ms"}, {}, {"warning"}},
        {{"--impulse", "0.1", Path("ir.wav"), "--set", "1 Time=25.5smp", "--set", "Time Accuracy=Fraction(Econ)"}, {}, {"warning"}},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, 0) << c.args[0] << " " << c.args.back() << "\n"
                                    << run.err;
        for (const std::string& text : c.said) EXPECT_NE(run.err.find(text), std::string::npos) << text << "\n"
                                                                                                << run.err;
        for (const std::string& text : c.unsaid) EXPECT_EQ(run.err.find(text), std::string::npos) << text << "\n"
                                                                                                  << run.err;
    }
    // A file cut short stops where its data does, whatever the container: the dry signal alone is every frame
    // libsndfile decodes and no more (FLAC's decoder would read silence up to its header's length).
    for (const std::string cut : {"cut.wav", "cut.flac"}) {
        SF_INFO info{};
        SNDFILE* file = sf_open(Path(cut).c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr);
        std::vector<float> decoded(static_cast<std::size_t>(info.frames));
        decoded.resize(static_cast<std::size_t>(std::max<sf_count_t>(sf_readf_float(file, decoded.data(), info.frames), 0)));
        sf_close(file);
        ASSERT_LT(decoded.size(), 48000u) << cut;
        ASSERT_EQ(Tool({Path(cut), Path("dry.wav"), "--tail", "0", "--dry", "0", "--wet", "off", "--format", "float"}).exit_code, 0);
        SF_INFO written{};
        EXPECT_EQ(Read("dry.wav", &written), decoded) << cut;
    }
    // The delay read is the one reported.
    ASSERT_EQ(Tool({"--impulse", "0.03", Path("ir.wav"), "--rate", "44100", "--set", "1 Time=25ms"}).exit_code, 0);
    EXPECT_EQ(NonZero(Read("ir.wav")), (Echoes{{1103, 1.0f}}));
    ASSERT_EQ(Tool({"--impulse", "0.03", Path("ir.wav"), "--rate", "44100", "--set", "1 Time=22.675736ms"}).exit_code, 0);
    EXPECT_EQ(NonZero(Read("ir.wav")), (Echoes{{1000, 1.0f}}));
    ASSERT_EQ(Tool({"--impulse", "11", Path("ir.wav"), "--set", "1 Time=524288smp", "--set", "Time Mode=Samples"}).exit_code, 0)
        << "the longest line holds its own length";
    EXPECT_EQ(NonZero(Read("ir.wav")), (Echoes{{524288, 1.0f}}));
}

}  // namespace
