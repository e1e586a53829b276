// er-render end to end: formats and pipes. Every container and sample format libsndfile writes, the input's
// format kept, clipping counted, exact renders bit-transparent and undithered, pipes both ways, and outputs that
// exist already (FIFO, symbolic link, read-only file) treated as Unix tools do.
#include "RenderToolFixture.h"

#include <algorithm>
#include <cmath>
#include <map>

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

}  // namespace
