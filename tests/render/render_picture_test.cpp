// er-render end to end: the pictures. --plot draws the figure in each kind of file; --plot-data gives the numbers
// behind it, each echo at its level and the magnitude response the setting predicts.
#include "RenderToolFixture.h"

#include <cmath>
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

// A whole-sample loop without damping: echo k arrives k tap delays after the impulse at V x F^(k-1), in both
// routings that feed the tap back, with either sign of feedback.
TEST_F(RenderTool, PlotDataMarksEachEchoOfALoopAtItsLevel) {
    struct Case {
        const char* routing;
        double feedback;
        double volume;
        const char* time;  // "Samples" mode: 300 is 30 samples' worth of the pin's float x 10
        const char* accuracy;
        double tolerance_db;  // a tap between samples is split over two; their sum is the echo
    };
    const Case cases[] = {
        {"Input+Tap1", 0.5, 1.0, "300smp", "Sample", 0.01},
        {"Tap1", -0.7, 0.8, "300smp", "Sample", 0.01},
        {"Input+Tap1", 0.9, 0.5, "300smp", "Sample", 0.01},
        {"Tap1", 0.5, 1.0, "300.5smp", "Fraction(Econ)", 0.1},
        {"Tap1", -0.7, 0.8, "300.25smp", "Fraction(Econ)", 0.1},
        {"Input+Tap1", 0.9, 0.5, "300.7smp", "Fraction(Full)", 0.1},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.routing) + " F " + Shown(c.feedback) + " V " + Shown(c.volume) + " " +
                                  c.time + " " + c.accuracy;
        const ToolRun run = Tool({"--plot-data", Path("ir.csv"), "--set", "Time Mode=Samples", "--set",
                                  std::string("1 Time=") + c.time, "--set", std::string("Time Accuracy=") + c.accuracy,
                                  "--set", std::string("Damping/Feedback Mode=") + c.routing, "--set",
                                  "Feedback +/-10=" + Shown(c.feedback), "--set",
                                  "1 Volume 10=100%=" + Shown(c.volume)});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const auto echoes = ReadPlotCsv(Path("ir.csv"))["echo"];
        const double delay = std::stod(c.time);
        // At least every echo until the loop has fallen by 60 dB; each at its place and level.
        std::size_t audible = 1;
        while (std::pow(std::fabs(c.feedback), static_cast<double>(audible)) >= 1.0e-3) ++audible;
        ASSERT_GE(echoes.size(), audible) << label;
        for (std::size_t k = 1; k <= echoes.size(); ++k) {
            const double level = 20.0 * std::log10(std::fabs(c.volume * std::pow(c.feedback, k - 1.0)));
            EXPECT_NEAR(echoes[k - 1].x, std::floor(delay * k + 0.5 - 1.0e-9) / 48.0, 1.0 / 48.0 + 1.0e-4) << label << ", echo " << k;
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

}  // namespace
