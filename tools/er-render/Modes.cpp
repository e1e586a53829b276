#include "Modes.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "AudioFile.h"
#include "Failure.h"
#include "ListText.h"
#include "Loudness.h"
#include "Picture.h"
#include "Progress.h"
#include "ReplacingFile.h"
#include "RoomRender.h"
#include "SampleCodec.h"
#include "Signals.h"
#include "Text.h"

namespace er_render {

using namespace er_text;

namespace {

void Warn(const std::string& warning) { std::fprintf(stderr, "er-render: warning: %s\n", warning.c_str()); }

std::string KindText(const er_host::PinDescription& pin) {
    if (pin.datatype == DT_LIST) return "choice";
    if (pin.datatype == DT_FSAMPLE) return "float";
    return "type " + std::to_string(pin.datatype);
}

std::string DirectionText(std::int32_t direction) {
    switch (direction) {
    case DR_IN: return "in";
    case DR_OUT: return "out";
    case DR_SETTING: return "setting";
    default: return std::to_string(direction);
    }
}

// A float pin's range in shown units: the stable range er-render accepts where it has one, else the slider range
// the module gives the host ("max,min,max,min").
std::string RangeText(const er_host::PinDescription& pin) {
    if (const ValueLimit* limit = FindValueLimit(pin.name)) return DescribeLimit(*limit);
    if (!pin.has_extra) return "";
    const std::string_view text = pin.extra_text;
    const std::size_t comma = text.find(',');
    const auto high = ParseNumber(text.substr(0, comma));
    const auto low = comma == std::string_view::npos ? std::nullopt : ParseNumber(text.substr(comma + 1, text.find(',', comma + 1) - comma - 1));
    if (!high || !low) return "range " + pin.extra_text;
    return FormatNumber(*low) + " .. " + FormatNumber(*high);
}

std::string PinsText(const std::vector<er_host::PinDescription>& pins) {
    std::string text = Printf("%3s  %-34s %-8s %-7s %-18s %s\n", "#", "name", "dir", "kind", "default",
                              "choices (value text) or range");
    for (const auto& pin : pins) {
        std::string default_text = pin.has_default ? pin.default_value : "-";
        if (pin.datatype == DT_LIST) {
            const auto entries = ParseListText(pin.extra_text);
            if (const ListEntry* entry = FindChoice(entries, pin.default_value)) default_text += " " + entry->text;
        }
        const std::string extra = pin.datatype == DT_LIST ? DescribeChoices(ParseListText(pin.extra_text))
                                                          : RangeText(pin);
        text += Printf("%3d  %-34s %-8s %-7s %-18s ", static_cast<int>(pin.index), pin.name.c_str(),
                       DirectionText(pin.direction).c_str(), KindText(pin).c_str(), default_text.c_str()) +
                extra + "\n";
    }
    return text;
}

// Prints a summary where the options say: JSON on stdout, text on stderr, or (-q) its warnings alone. The
// plan's warnings were shown before the render; the JSON carries them too.
void Report(const SummaryFacts& facts, const std::vector<std::string>& plan_warnings,
            const std::vector<std::string>& figure_lines, const Options& options) {
    if (options.json) WriteStdout(SummaryJson(facts, plan_warnings, figure_lines) + "\n");
    if (!options.quiet && !options.json) {
        std::string text = FormatSummary(facts);
        for (const std::string& line : figure_lines) text += line;
        std::fputs(text.c_str(), stderr);
        return;
    }
    // Warnings reach stderr in every mode, as sox's do.
    for (const std::string& warning : facts.warnings) Warn(warning);
}

}  // namespace

void WriteStdout(std::string_view text) {
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t wrote = write(STDOUT_FILENO, text.data() + sent, text.size() - sent);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) throw Failure(EXIT_OUTPUT, std::string("cannot write to stdout: ") + std::strerror(errno));
        sent += static_cast<std::size_t>(wrote);
    }
}

std::unique_ptr<er_host::Library> LoadLibrary(const Options& options) {
    const std::string path = options.module.empty() ? er_host::Library::DefaultModulePath() : options.module;
    std::string error;
    auto library = er_host::Library::Load(path, error);
    if (!library) throw Failure(EXIT_MODULE, "cannot load the module: " + error);
    return library;
}

std::vector<er_host::PinDescription> DescribePins(const er_host::Library& library) {
    er_host::InstanceOptions probe;
    probe.open = false;
    probe.echo_errors = false;
    er_host::Instance instance(library, probe);
    if (!instance.Valid()) throw Failure(EXIT_MODULE, "the module library gave no processing object");
    return instance.Pins();
}

SummaryFacts RenderSound(const er_host::Library& library, RenderPlan plan, bool progress_on, bool measure_loudness) {
    Renderer renderer(library, plan.job);
    return RenderSound(std::move(plan), progress_on, measure_loudness,
                       [&](const Source& source, const Sink& sink, const Progress& progress) {
                           return renderer.Run(source, sink, progress);
                       });
}

SummaryFacts RenderSound(RenderPlan plan, bool progress_on, bool measure_loudness, const RenderRun& run) {
    const bool write = !plan.output_path.empty();
    std::optional<OutputFile> output;
    if (write) {
        output.emplace(plan.output_path, plan.protected_path, plan.format, plan.job.channels,
                       static_cast<int>(plan.job.rate), plan.dither, plan.encoder, plan.metadata);
    }
    std::optional<LoudnessMeter> meter;
    if (measure_loudness) meter.emplace(plan.job.channels, plan.job.rate);
    ProgressLine progress(plan.job.total_frames, plan.job.rate, progress_on);
    std::int64_t impulse_position = 0;
    const Source source = [&](float* interleaved, std::int32_t frames) {
        if (plan.input) return plan.input->Read(interleaved, frames);
        for (std::int32_t i = 0; i < frames; ++i) interleaved[i] = ImpulseSample(impulse_position + i);
        impulse_position += frames;
    };
    const auto started = std::chrono::steady_clock::now();
    const RenderStats stats = run(
        source, [&](const float* interleaved, std::int32_t frames) {
            if (output) output->Write(interleaved, frames);
            if (meter) meter->Add(interleaved, frames); },
        [&](std::int64_t done) { return progress.Update(done); });
    if (output) output->Commit();
    progress.Clear();

    SummaryFacts facts;
    facts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    facts.input = plan.input_label;
    facts.output = write ? plan.output_path : "nothing (-n)";
    facts.output_format = write ? MajorFormatName(plan.format) + ", " + std::string(SubtypeName(plan.format)) : "not written";
    facts.dither = write ? plan.dither_reason : "";
    facts.mix = plan.job.mix;
    facts.rate = plan.job.rate;
    facts.channels = plan.job.channels;
    facts.input_frames = plan.job.input_frames;
    facts.tail_frames = plan.tail_frames;
    facts.settings = plan.job.settings;
    facts.view = plan.view;
    facts.stats = stats;
    facts.clipped = output ? output->Clipped() : 0;
    facts.written = output.has_value();
    if (meter) facts.loudness = meter->Result();
    if (plan.input) {
        facts.input_bits = plan.input->PrecisionBits();
        facts.input_rounded = plan.input->Rounded();
        if (plan.input->EndedEarlyAt() >= 0) {
            facts.warnings.push_back(Printf(
                "%s ends after %lld of the %lld frames its header gives (cut short?); the "
                "rest was read as silence",
                Quoted(plan.input_label).c_str(),
                static_cast<long long>(plan.input->EndedEarlyAt()),
                static_cast<long long>(plan.job.input_frames)));
        }
    }
    if (facts.clipped > 0) {
        facts.warnings.push_back(Printf("%lld samples clipped at full scale; lower --gain or --wet",
                                        static_cast<long long>(facts.clipped)));
    } else if (!facts.written && stats.past_full_scale > 0) {
        facts.warnings.push_back(Printf("%lld samples past full scale, which an integer format would clip",
                                        static_cast<long long>(stats.past_full_scale)));
    }
    if (plan.tail_capped && stats.end_peak > 0.0) {
        facts.warnings.push_back(Printf("the default tail stops at %g s while the echoes are still at ",
                                        static_cast<double>(plan.tail_frames) / plan.job.rate) +
                                 Decibels(stats.end_peak) + Printf(" (%.1f dB re the peak); set --tail SECONDS for more", 20.0 * std::log10(stats.end_peak / stats.peak)));
    }
    return facts;
}

int RunRenderMode(const Options& options) {
    // A FIFO OUT, figure or plot data opens first, so that its reader learns of any failure from here on as the
    // end of the stream.
    if (options.mode != Mode::PLOT && !options.null_output) OpenFifoEarly(options.files.back());
    for (const std::string& path : {options.plot, options.plot_data}) {
        if (!path.empty()) OpenFifoEarly(path);
    }
    const auto library = LoadLibrary(options);
    RenderPlan plan = PlanRender(options, DescribePins(*library));
    std::optional<PicturePlan> picture = PlanPicture(options, plan);
    const bool progress_on = !options.quiet;
    // The plan's warnings and notes come before the render, whatever else is printed; the JSON carries the warnings.
    for (const std::string& warning : plan.warnings) Warn(warning);
    if (!options.quiet) {
        for (const std::string& note : plan.notes) std::fprintf(stderr, "er-render: note: %s\n", note.c_str());
    }
    const std::vector<std::string> warnings = plan.warnings;
    std::optional<SummaryFacts> facts;
    // Loudness is measured for the summary and the JSON only: -q skips its cost.
    if (options.mode != Mode::PLOT) facts = RenderSound(*library, std::move(plan), progress_on, !options.quiet || options.json);
    PictureReport drawn;
    if (picture) {
        ProgressLine progress(picture->job.total_frames, picture->job.rate, progress_on);
        drawn = MakePicture(*library, *picture, [&](std::int64_t done) { return progress.Update(done); });
        if (drawn.alone) facts = drawn.alone;
    }
    if (facts) Report(*facts, warnings, drawn.lines, options);
    return EXIT_OK;
}

// The room's taps rendered by one module instance each and summed, the pattern as data, the figure. The pattern
// and figure files are made before anything is rendered and committed at the end.
int RunRoomMode(const Options& options) {
    const bool writes_sound = !options.files.empty() && !options.null_output;
    if (writes_sound) OpenFifoEarly(options.files.back());
    const auto library = LoadLibrary(options);
    RoomPlan plan = PlanRoom(options, DescribePins(*library));
    const FigureKind* kind = nullptr;
    if (!options.plot.empty()) {
        kind = FigureKindForPath(options.plot);
        if (kind == nullptr) throw Failure(EXIT_USAGE, "--plot writes " + FigureExtensions() + ", not " + Quoted(options.plot));
    }
    std::unique_ptr<ReplacingFile> pattern_file, figure_file;
    if (!options.pattern_out.empty()) pattern_file = std::make_unique<ReplacingFile>(options.pattern_out, "the pattern");
    if (kind != nullptr) figure_file = std::make_unique<ReplacingFile>(options.plot, "the figure");

    if (plan.render) {
        for (const std::string& warning : plan.render->warnings) Warn(warning);
        const std::vector<std::string> warnings = plan.render->warnings;
        RoomRenderer renderer(plan.render->job, plan.pattern, plan.input_channels);
        SummaryFacts facts = RenderSound(std::move(*plan.render), !options.quiet, !options.quiet || options.json,
                                         [&](const Source& source, const Sink& sink, const Progress& progress) {
                                             return renderer.Run(source, sink, progress);
                                         });
        facts.room = DescribePattern(plan.pattern);
        facts.settings_text = RoomSettingsText(plan.pattern);
        Report(facts, warnings, {}, options);
    } else if (!options.quiet) {
        std::fprintf(stderr, "er-render: room %s\n", DescribePattern(plan.pattern).c_str());
    }
    if (pattern_file) {
        const std::string text = PatternText(plan.pattern, options.pattern_out);
        std::fwrite(text.data(), 1, text.size(), pattern_file->Stream());
        pattern_file->Commit();
    }
    if (figure_file) {
        DrawPatternFigure(PatternFigureOf(plan.pattern), *kind, figure_file->Stream());
        figure_file->Commit();
    }
    return EXIT_OK;
}

int RunTestSignalMode(const Options& options) {
    OpenFifoEarly(options.files.back());
    const SignalPlan plan = PlanTestSignal(options);
    OutputFile output(plan.path, "", plan.format, 1, static_cast<int>(plan.rate), {}, plan.encoder);
    std::vector<float> block;
    for (std::int64_t position = 0; position < plan.frames; position += static_cast<std::int64_t>(block.size())) {
        block.resize(static_cast<std::size_t>(std::min<std::int64_t>(4096, plan.frames - position)));
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = TestSignalSample(position + static_cast<std::int64_t>(i), plan.rate);
        }
        output.Write(block.data(), static_cast<std::int32_t>(block.size()));
    }
    output.Commit();
    if (options.json) {
        nlohmann::ordered_json json;
        json["output"] = plan.path;
        json["format"] = MajorFormatName(plan.format) + ", " + std::string(SubtypeName(plan.format));
        json["rate"] = plan.rate;
        json["channels"] = 1;
        json["frames"] = plan.frames;
        WriteStdout(JsonText(json) + "\n");
    } else if (!options.quiet) {
        std::fprintf(stderr, "er-render: wrote the test signal %s (%lld frames at %g Hz)\n", plan.path.c_str(),
                     static_cast<long long>(plan.frames), static_cast<double>(plan.rate));
    }
    return EXIT_OK;
}

int RunListPinsMode(const Options& options) {
    WriteStdout(PinsText(DescribePins(*LoadLibrary(options))));
    return EXIT_OK;
}

int RunListPresetsMode(const Options&) {
    std::string text;
    for (const auto& [name, description] : Presets()) text += Printf("%-14s ", name.c_str()) + description + "\n";
    WriteStdout(text);
    return EXIT_OK;
}

int RunInfoMode(const Options& options) {
    const auto library = LoadLibrary(options);
    SEModuleIdentity identity{};
    if (library->GetModuleProperties(0, &identity) == 0) {
        throw Failure(EXIT_MODULE, "the module library describes no module");
    }
    auto text = [](const char* value) { return std::string(value != nullptr ? value : ""); };
    // The about text is the module's own; what er-render's files go through is the tool's to say.
    WriteStdout("id:    " + text(identity.unique_id) + "\nname:  " + text(identity.name) + "\nabout:\n" +
                text(identity.about) +
                "\ner-render: samples reach the module and leave it as 32-bit floats, its pins' type: 32-bit integer "
                "and double input samples are rounded to the float's 24 bits (the summary counts them)\n");
    return EXIT_OK;
}

}  // namespace er_render
