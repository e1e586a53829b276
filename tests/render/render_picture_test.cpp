// er-render end to end: the pictures. --plot draws the figure in each kind of file; --plot-data gives the numbers
// behind it, each echo at its level and the magnitude response the setting predicts.
#include "RenderToolFixture.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <map>

#include <cairo.h>
#include <nlohmann/json.hpp>

namespace {

using namespace er_render_tests;

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

// A loop without damping: echo k arrives k tap delays after the impulse at V x F^(k-1), in both routings that
// feed the tap back, with either sign of feedback, at several rates. A whole-sample tap's echo stands at its
// sample; an interpolated tap's is split over neighbouring samples, and its mark stands at the tap's true time
// (k x the fractional delay), not at the louder of its samples.
TEST_F(RenderTool, PlotDataMarksEachEchoOfALoopAtItsTimeAndLevel) {
    struct Case {
        const char* routing;
        double feedback;
        double volume;
        const char* time;  // "1 Time" with its unit
        const char* accuracy;
        int rate;
        double delay;         // the tap delay in samples at that rate
        double tolerance_db;  // a tap between samples is split over two; their sum is the echo
    };
    const Case cases[] = {
        {"Input+Tap1", 0.5, 1.0, "300smp", "Sample", 48000, 300.0, 0.01},
        {"Tap1", -0.7, 0.8, "300smp", "Sample", 48000, 300.0, 0.01},
        {"Input+Tap1", 0.9, 0.5, "300smp", "Sample", 48000, 300.0, 0.01},
        {"Tap1", 0.5, 1.0, "25ms", "Sample", 44100, 1103.0, 0.01},  // 1102.5 rounds up
        {"Tap1", 0.5, 1.0, "300.5smp", "Fraction(Econ)", 48000, 300.5, 0.1},
        {"Tap1", -0.7, 0.8, "300.25smp", "Fraction(Econ)", 48000, 300.25, 0.1},
        {"Input+Tap1", 0.9, 0.5, "300.7smp", "Fraction(Full)", 48000, 300.7, 0.1},
        {"Tap1", 0.5, 1.0, "25ms", "Fraction(Econ)", 44100, 1102.5, 0.1},
        {"Tap1", -0.6, 1.0, "10.3ms", "Fraction(Econ)", 96000, 988.8, 0.1},
        {"Input+Tap1", 0.7, 0.9, "7.77ms", "Fraction(Econ)", 22050, 171.3285, 0.1},
        {"Tap1", 0.8, 1.0, "40.1smp", "Fraction(Econ)", 8000, 40.1, 0.1},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.routing) + " F " + Shown(c.feedback) + " V " + Shown(c.volume) + " " +
                                  c.time + " " + c.accuracy + " at " + std::to_string(c.rate) + " Hz";
        const ToolRun run = Tool({"--plot-data", Path("ir.csv"), "--rate", std::to_string(c.rate), "--set",
                                  std::string("1 Time=") + c.time, "--set", std::string("Time Accuracy=") + c.accuracy,
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
            // The CSV's four decimals of a millisecond, and the delay's float.
            EXPECT_NEAR(echoes[k - 1].x, c.delay * k * 1000.0 / c.rate, 2.0e-4) << label << ", echo " << k;
            EXPECT_NEAR(echoes[k - 1].y, level, c.tolerance_db) << label << ", echo " << k;
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
        {"pure delay at half volume", {"1 Time=25", "Damping/Feedback Mode=Tap1", "1 Volume 10=100%=5"}, [](double) { return 0.5; }, 0.0},
        {"damping 0.5", {"1 Time=25", "Damping 0-10=5"}, [](double w) { return 0.5 / std::sqrt(1.0 - std::cos(w) + 0.25); }, 0.0},
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
    EXPECT_EQ(json["title"],
              "Feedback +/-10=4, Damping 0-10=3, Damping/Feedback Mode=Input+Tap1, Time Mode=Time(ms), "
              "1 Time=25, 1 Volume 10=100%=8, Max Delay(s)=0.170");
    EXPECT_EQ(json["echoes"]["sample"][0], 1200);

    ASSERT_EQ(Tool({"--plot", Path("fig.png"), "--set", "1 Time=25"}).exit_code, 0);
    cairo_surface_t* png = cairo_image_surface_create_from_png(Path("fig.png").c_str());
    EXPECT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(png), 1000);
    EXPECT_EQ(cairo_image_surface_get_height(png), 720);
    cairo_surface_destroy(png);

    ASSERT_EQ(Tool({"--impulse", "0.05", Path("ir.wav"), "--plot", Path("fig.PDF"), "--plot-data", Path("ir.json"),
                    "--set", "1 Time=25"})
                  .exit_code,
              0);
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

// The words a figure shows, with their boxes (pdftotext reads them back from a PDF figure).
struct Word {
    double left, top, right, bottom;
    std::string text;
};
// pdftotext -bbox's page of words: <word xMin="..." yMin="..." xMax="..." yMax="...">text</word>.
std::vector<Word> ParseWords(const std::string& page) {
    std::vector<Word> words;
    auto number = [&](std::size_t from, const char* key) {
        const std::size_t at = page.find(key, from) + std::strlen(key);
        return std::stod(page.substr(at, page.find('"', at) - at));
    };
    for (std::size_t at = page.find("<word "); at != std::string::npos; at = page.find("<word ", at + 1)) {
        const std::size_t text = page.find('>', at) + 1;
        words.push_back({number(at, "xMin=\""), number(at, "yMin=\""), number(at, "xMax=\""), number(at, "yMax=\""),
                         page.substr(text, page.find("</word>", text) - text)});
    }
    return words;
}

std::string Joined(const std::vector<Word>& words) {
    std::string text;
    for (const Word& word : words) text += (text.empty() ? "" : " ") + word.text;
    return text;
}

std::string WithoutSpaces(std::string text) {
    std::erase(text, ' ');
    return text;
}

// The figure says which mark is which: the outline is the loudest sample of each stretch, the red marks the
// echoes, which for an interpolated tap are the split samples summed (6 dB above either half for a tap halfway
// between samples). A title of any length stays readable: it wraps, never below 11 points, and only what still
// does not fit is cut, with an ellipsis, never shrunk.
TEST_F(RenderTool, FigureKeysItsMarksAndKeepsLongTitlesReadable) {
    constexpr double SMALLEST_POINTS = 11.0;
    constexpr double HEIGHT_PER_POINT = 1.16;  // pdftotext's box of a DejaVu Sans line, per point of size
    constexpr double ABOVE_THE_PANELS = 76.0;  // the headings' tops
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* key;  // the red marks' entry; empty: the figure of a room, which keys its sides
        bool whole;       // the title and subtitle are shown whole
    };
    // Two room files, whose figures name them in the title and the subtitle: one whose path wraps, one whose
    // path is so long that the subtitle is cut.
    auto room_file = [&](std::size_t folder_length) {
        const std::string folder = Path(std::string(folder_length, 'r'));
        fs::create_directories(folder);
        const std::string file = folder + "/a_room_with_a_name_long_enough_to_need_a_line_of_its_own.json";
        std::ofstream(file) << R"({"size": [6, 3.5, 2.6], "source": [1.5, 1.2, 1.4], "listener": [3, 2.8, 1.2],
            "walls": {"all": {"absorption": 0.1, "cutoff_hz": 0}}, "spacing": 0.2, "max_order": 2})";
        return file;
    };
    const std::string wrapped_room = room_file(30), cut_room = room_file(200);
    const Case cases[] = {
        {"a fractional tap",
         {"--set", "1 Time=25", "--rate", "44100", "--set", "Time Accuracy=Fraction(Econ)"},
         "echo: its split samples summed, at their centre",
         true},
        {"a whole-sample tap", {"--set", "1 Time=25"}, "echo: its peak sample", true},
        {"every pin set",
         {"--set", "Active=ON", "--set", "Feedback +/-10=1.23456789", "--set", "Damping 0-10=2.3456789", "--set",
          "Damping/Feedback Mode=Input+Output", "--set", "Time Accuracy=Fraction(Full)", "--set",
          "Time Mode=Time(ms)", "--set", "1 Time=12.3456789..23.456789", "--set", "1 Volume 10=100%=7.654321",
          "--set", "Max Delay(s)=10.920", "--set", "Volume Mode=Analogue", "--set",
          "Midi_to_CV:Mono Mode(Poly Reset)=On", "--tail", "0.1"},
         "echo: its split samples summed, at their centre",
         true},
        {"a room named by a long path", {"--room", wrapped_room, "--pattern-out", Path("p.json")}, "", true},
        {"a room named by a longer path still", {"--room", cut_room, "--pattern-out", Path("p.json")}, "", false},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--plot", Path("fig.pdf")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (!std::string(c.key).empty()) args.insert(args.end(), {"--plot-data", Path("fig.json")});
        const ToolRun run = Tool(args);
        ASSERT_EQ(run.exit_code, 0) << c.what << ": " << run.err;
        const ToolRun read = Spawn({"pdftotext", "-bbox", Path("fig.pdf"), "-"});
        ASSERT_EQ(read.exit_code, 0) << read.err;
        const std::vector<Word> words = ParseWords(read.out);
        std::vector<Word> heading;
        for (const Word& word : words) {
            if (word.bottom < ABOVE_THE_PANELS) heading.push_back(word);
        }
        ASSERT_FALSE(heading.empty()) << c.what;
        for (const Word& word : heading) {
            EXPECT_GE(word.bottom - word.top, SMALLEST_POINTS * HEIGHT_PER_POINT - 0.01) << c.what << ": " << word.text;
            EXPECT_LE(word.right, 1000.0) << c.what << ": " << word.text;
        }
        if (!std::string(c.key).empty()) {
            std::ifstream data(Path("fig.json"));
            const auto json = nlohmann::json::parse(data);
            const std::string title = json["title"], subtitle = json["subtitle"];
            EXPECT_EQ(WithoutSpaces(Joined(heading)), WithoutSpaces(title + subtitle)) << c.what;
            const std::string all = Joined(words);
            EXPECT_NE(all.find("loudest sample of each stretch"), std::string::npos) << c.what << ": " << all;
            EXPECT_NE(all.find(c.key), std::string::npos) << c.what << ": " << all;
        } else {
            const std::string shown = WithoutSpaces(Joined(heading));
            const std::string& room = c.args[1];
            EXPECT_EQ(shown.find("Room" + room + ":"), 0u) << c.what << ": " << shown;
            EXPECT_EQ(shown.find("\u2026") == std::string::npos, c.whole) << c.what << ": " << shown;
        }
    }
}

}  // namespace
