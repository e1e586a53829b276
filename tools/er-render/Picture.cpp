#include "Picture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include <nlohmann/json.hpp>

#include "Failure.h"
#include "Signals.h"
#include "Summary.h"
#include "Text.h"

namespace er_render {

using namespace er_text;

// How the numbers behind the figure are written.
struct DataKind {
    std::string_view extension;
    std::string_view name;
    void (*write)(const ImpulseAnalysis& analysis, const FigureText& text, std::FILE* out);
};

namespace {

// One row per point, all three series in one table: "series,x,y". Envelope and echo rows hold a time in ms and
// a level in dB, response rows a frequency in Hz and a magnitude in dB.
void WriteCsv(const ImpulseAnalysis& analysis, const FigureText&, std::FILE* out) {
    std::fputs("series,x,y\n", out);
    for (const EnvelopePoint& point : analysis.envelope) {
        std::fprintf(out, "envelope,%.4f,%.4f\n", point.time_ms, point.level_db);
    }
    for (const Echo& echo : analysis.echoes) std::fprintf(out, "echo,%.4f,%.4f\n", echo.time_ms, echo.level_db);
    for (const ResponsePoint& point : analysis.response) {
        std::fprintf(out, "response,%.4f,%.4f\n", point.frequency_hz, point.magnitude_db);
    }
}

// One object: what was drawn (title, rate, transform) and each series as arrays of equal length.
void WriteJson(const ImpulseAnalysis& analysis, const FigureText& text, std::FILE* out) {
    nlohmann::ordered_json json;
    json["title"] = text.title;
    json["subtitle"] = text.subtitle;
    json["rate"] = analysis.rate;
    json["frames"] = analysis.frames;
    json["floor_db"] = {{"envelope", ENVELOPE_FLOOR_DB}, {"response", RESPONSE_FLOOR_DB}};
    json["transform"] = {{"length", analysis.transform.length},
                         {"used", analysis.transform.used},
                         {"last_eighth_faded", analysis.transform.faded}};
    auto& envelope = json["envelope"] = {{"time_ms", nlohmann::json::array()}, {"level_db", nlohmann::json::array()}};
    for (const EnvelopePoint& point : analysis.envelope) {
        envelope["time_ms"].push_back(point.time_ms);
        envelope["level_db"].push_back(point.level_db);
    }
    auto& echoes = json["echoes"] = {{"sample", nlohmann::json::array()},
                                     {"time_ms", nlohmann::json::array()},
                                     {"level_db", nlohmann::json::array()}};
    for (const Echo& echo : analysis.echoes) {
        echoes["sample"].push_back(echo.sample);
        echoes["time_ms"].push_back(echo.time_ms);
        echoes["level_db"].push_back(echo.level_db);
    }
    auto& response = json["response"] = {{"frequency_hz", nlohmann::json::array()},
                                         {"magnitude_db", nlohmann::json::array()}};
    for (const ResponsePoint& point : analysis.response) {
        response["frequency_hz"].push_back(point.frequency_hz);
        response["magnitude_db"].push_back(point.magnitude_db);
    }
    const std::string dumped = JsonText(json) + "\n";
    std::fwrite(dumped.data(), 1, dumped.size(), out);
}

constexpr DataKind DATA_KINDS[] = {{"csv", "CSV", WriteCsv}, {"json", "JSON", WriteJson}};

const DataKind* DataKindForPath(const std::string& path) {
    const std::string extension = ExtensionOf(path);
    for (const DataKind& kind : DATA_KINDS) {
        if (kind.extension == extension) return &kind;
    }
    return nullptr;
}

std::string FigureLine(const ImpulseAnalysis& analysis, const PicturePlan& picture) {
    const Transform& transform = analysis.transform;
    return Printf("  %-11s ", "figure") + picture.figure->Path() + " (" +
           std::string(FigureKindName(*picture.figure_kind)) +
           Printf(
               "): %.3f s of impulse response, %zu echo%s above %.0f dB; response %g to %g Hz from a "
               "%lld-point transform, ",
               static_cast<double>(analysis.frames) / analysis.rate, analysis.echoes.size(),
               analysis.echoes.size() == 1 ? "" : "es", ENVELOPE_FLOOR_DB, ResponseLowHz(analysis.rate),
               analysis.rate / 2.0, static_cast<long long>(transform.length)) +
           (transform.faded ? "the response's last eighth faded out (it had not died away by 60 dB)"
                            : "unwindowed (the response died away)") +
           "\n";
}

std::string DataLine(const ImpulseAnalysis& analysis, const PicturePlan& picture) {
    return Printf("  %-11s ", "data") + picture.data->Path() + " (" + std::string(picture.data_kind->name) +
           Printf("): %zu envelope points, %zu echoes, %zu response points\n", analysis.envelope.size(),
                  analysis.echoes.size(), analysis.response.size());
}

}  // namespace

std::optional<PicturePlan> PlanPicture(const Options& options, const RenderPlan& plan) {
    if (options.plot.empty() && options.plot_data.empty()) return std::nullopt;
    PicturePlan picture;
    if (!options.plot.empty()) {
        picture.figure_kind = FigureKindForPath(options.plot);
        if (picture.figure_kind == nullptr) {
            throw Failure(EXIT_USAGE, "--plot " + Quoted(options.plot) + ": the extension names the kind of figure, " +
                                          FigureExtensions());
        }
    }
    if (!options.plot_data.empty()) {
        picture.data_kind = DataKindForPath(options.plot_data);
        if (picture.data_kind == nullptr) {
            throw Failure(EXIT_USAGE, "--plot-data " + Quoted(options.plot_data) +
                                          ": the extension names the kind of data, .csv or .json");
        }
    }

    picture.alone = plan.output_path.empty();
    picture.view = plan.view;
    picture.job = plan.job;
    if (plan.input) {
        // A sound file's render: the same settings answer a unit impulse at the file's rate, without the gates,
        // which are moments of the file.
        std::int64_t tail = plan.tail_frames;
        if (options.tail.empty() && plan.view) {
            tail = static_cast<std::int64_t>(std::ceil(PictureTailSeconds(*plan.view) * plan.job.rate));
        }
        picture.job.channels = 1;
        picture.job.input_frames = 1;
        picture.job.total_frames = std::min<std::int64_t>(1 + tail, INT32_MAX);
        picture.job.gates.clear();
    }
    picture.text.title = ChosenSettingsText(plan.job.settings);
    if (!plan.view) {
        picture.text.subtitle = Printf("impulse response at %g Hz", static_cast<double>(plan.job.rate));
    } else if (!plan.view->active) {
        picture.text.subtitle = "\"Active\" is OFF: the output is silent";
    } else {
        const EffectView& view = *plan.view;
        picture.spacing =
            std::min(TapDelayFor(view, view.time.from).effective, TapDelayFor(view, view.time.to).effective);
        picture.text.subtitle = "tap delay " + TapDelayText(view) +
                                Printf(" at %g Hz; ", static_cast<double>(view.rate)) + RoutineText(view);
    }
    // Made last: nothing above may fail once they exist, and they exist before anything is rendered.
    if (picture.figure_kind != nullptr) picture.figure = std::make_unique<ReplacingFile>(options.plot, "the figure");
    if (picture.data_kind != nullptr) {
        picture.data = std::make_unique<ReplacingFile>(options.plot_data, "the plot data");
    }
    return picture;
}

PictureReport MakePicture(const er_host::Library& library, PicturePlan& picture, const Progress& progress) {
    const auto started = std::chrono::steady_clock::now();
    std::vector<float> samples;
    samples.reserve(static_cast<std::size_t>(picture.job.total_frames));
    Renderer renderer(library, picture.job);
    std::int64_t position = 0;
    const RenderStats stats = renderer.Run(
        [&](float* input, std::int32_t frames) {
            for (std::int32_t i = 0; i < frames; ++i) input[i] = ImpulseSample(position + i);
            position += frames;
        },
        [&](const float* output, std::int32_t frames) { samples.insert(samples.end(), output, output + frames); },
        progress);
    // A loop that gains on each trip overflows: the renderer stops at the first sample that is not finite
    // (EXIT_NOT_FINITE), so every sample here is a number.
    const bool interpolated = picture.view && picture.view->active && SelectTimeReading(*picture.view) != TimeReading::WholeSample;
    const ImpulseAnalysis analysis = AnalyseImpulse(samples, picture.job.rate, picture.spacing, interpolated);
    if (picture.figure) DrawFigure(analysis, picture.text, *picture.figure_kind, picture.figure->Stream());
    if (picture.data) picture.data_kind->write(analysis, picture.text, picture.data->Stream());
    if (picture.figure) picture.figure->Commit();
    if (picture.data) picture.data->Commit();

    PictureReport report;
    if (picture.alone) {
        SummaryFacts facts;
        facts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        facts.input = "unit impulse";
        facts.output = picture.figure ? picture.figure->Path() : picture.data->Path();
        if (picture.figure && picture.data) facts.output += ", " + picture.data->Path();
        facts.output_format = "impulse response, drawn and not written as sound";
        facts.rate = picture.job.rate;
        facts.input_frames = picture.job.input_frames;
        facts.tail_frames = picture.job.total_frames - picture.job.input_frames;
        facts.settings = picture.job.settings;
        facts.view = picture.view;
        facts.stats = stats;
        report.alone = facts;
    }
    if (picture.figure) report.lines.push_back(FigureLine(analysis, picture));
    if (picture.data) report.lines.push_back(DataLine(analysis, picture));
    return report;
}

}  // namespace er_render
