// er-render: runs sound files through the early-reflection module from the command line, through the same
// binary interface a modular host uses. The pieces live in the er_render library; this file reads the command
// line, puts them together and reports.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "AudioFile.h"
#include "Failure.h"
#include "Host.h"
#include "Interrupts.h"
#include "ListText.h"
#include "Picture.h"
#include "Plan.h"
#include "Render.h"
#include "SampleCodec.h"
#include "Signals.h"
#include "Summary.h"

using namespace er_render;

namespace {

constexpr double PROGRESS_MIN_SECONDS = 10.0;  // renders shorter than this (of audio) show no progress line
constexpr double PROGRESS_INTERVAL = 0.25;     // seconds of wall time between progress updates

const char* const USAGE_FOOTER = R"(
Pin values are as the module shows them: choices by their text (any case) or number, float pins in shown units
(10 is 1.0, so "1 Volume 10=100%=10" is unity gain). A float pin ramps linearly over the render with
"Name=FROM..TO"; the host then streams it. Unset pins keep the module's defaults, except "Active", which is ON.
--gate takes seconds ("1.5"), milliseconds ("250ms") or samples ("12000smp").

Exit codes: 0 done, 1 internal fault, 2 bad command line or settings, 3 unreadable input, 4 output cannot be
written, 5 module cannot be loaded or lacks a pin, 6 the output became infinite or not a number; a signal ends
the tool by that signal (130 for Ctrl-C). A failed run leaves no output file.)";

std::unique_ptr<er_host::Library> LoadLibrary(const Options& options) {
    const std::string path = options.module.empty() ? er_host::Library::DefaultModulePath() : options.module;
    std::string error;
    auto library = er_host::Library::Load(path, error);
    if (!library) throw Failure(EXIT_MODULE, "cannot load the module: " + error);
    return library;
}

void PrintInfo(const er_host::Library& library) {
    SEModuleIdentity identity{};
    if (library.GetModuleProperties(0, &identity) == 0) {
        throw Failure(EXIT_MODULE, "the module library describes no module");
    }
    auto text = [](const char* value) { return std::string(value != nullptr ? value : ""); };
    std::cout << "id:    " << text(identity.unique_id) << "\nname:  " << text(identity.name) << "\nabout:\n"
              << text(identity.about) << "\n";
}

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

void PrintPins(const std::vector<er_host::PinDescription>& pins) {
    std::printf("%3s  %-34s %-8s %-7s %-18s %s\n", "#", "name", "dir", "kind", "default",
                "choices (value text) or range");
    for (const auto& pin : pins) {
        std::string default_text = pin.has_default ? pin.default_value : "-";
        if (pin.datatype == DT_LIST) {
            const auto entries = ParseListText(pin.extra_text);
            if (const ListEntry* entry = FindChoice(entries, pin.default_value)) default_text += " " + entry->text;
        }
        const std::string extra = pin.datatype == DT_LIST ? DescribeChoices(ParseListText(pin.extra_text))
                                                         : (pin.has_extra ? "range " + pin.extra_text : "");
        std::printf("%3d  %-34s %-8s %-7s %-18s %s\n", static_cast<int>(pin.index), pin.name.c_str(),
                    DirectionText(pin.direction).c_str(), KindText(pin).c_str(), default_text.c_str(), extra.c_str());
    }
}

std::vector<er_host::PinDescription> DescribePins(const er_host::Library& library) {
    er_host::InstanceOptions probe;
    probe.open = false;
    probe.echo_errors = false;
    er_host::Instance instance(library, probe);
    if (!instance.Valid()) throw Failure(EXIT_MODULE, "the module library gave no processing object");
    return instance.Pins();
}

// Draws "rendering 42% ..." on the terminal, at most a few times a second.
class ProgressLine {
public:
    ProgressLine(std::int64_t total, float rate)
        : m_total(total), m_rate(rate),
          m_enabled(isatty(STDERR_FILENO) != 0 && static_cast<double>(total) / rate >= PROGRESS_MIN_SECONDS) {}
    ~ProgressLine() {
        if (m_drawn) std::fprintf(stderr, "\r\033[K");
    }
    bool Update(std::int64_t done) {
        if (m_enabled) {
            const auto now = std::chrono::steady_clock::now();
            if (!m_drawn || std::chrono::duration<double>(now - m_last).count() >= PROGRESS_INTERVAL) {
                std::fprintf(stderr, "\rer-render: %3.0f%% (%.1f of %.1f s)", 100.0 * done / m_total, done / m_rate,
                             m_total / m_rate);
                std::fflush(stderr);
                m_last = now;
                m_drawn = true;
            }
        }
        return true;
    }

private:
    std::int64_t m_total;
    double m_rate;
    bool m_enabled;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_last;
};

// Writes the dry test signal; the module is not involved.
void WriteTestSignal(const SignalPlan& plan) {
    OutputFile output(plan.path, "", plan.format, 1, static_cast<int>(plan.rate));
    std::vector<float> block;
    for (std::int64_t position = 0; position < plan.frames; position += static_cast<std::int64_t>(block.size())) {
        block.resize(static_cast<std::size_t>(std::min<std::int64_t>(4096, plan.frames - position)));
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = TestSignalSample(position + static_cast<std::int64_t>(i), plan.rate);
        }
        output.Write(block.data(), static_cast<std::int32_t>(block.size()));
    }
    output.Commit();
    std::cerr << "er-render: wrote the test signal " << plan.path << " (" << plan.frames << " frames at "
              << plan.rate << " Hz)\n";
}

void Render(const er_host::Library& library, RenderPlan plan) {
    for (const std::string& warning : plan.warnings) std::cerr << "er-render: warning: " << warning << "\n";
    OutputFile output(plan.output_path, plan.protected_path, plan.format, plan.job.channels,
                      static_cast<int>(plan.job.rate), plan.dither);
    Renderer renderer(library, plan.job);
    ProgressLine progress(plan.job.total_frames, plan.job.rate);
    std::int64_t impulse_position = 0;
    const Source source = [&](float* interleaved, std::int32_t frames) {
        if (plan.input) return plan.input->Read(interleaved, frames);
        for (std::int32_t i = 0; i < frames; ++i) interleaved[i] = ImpulseSample(impulse_position + i);
        impulse_position += frames;
    };
    const auto started = std::chrono::steady_clock::now();
    const RenderStats stats = renderer.Run(
        source, [&](const float* interleaved, std::int32_t frames) { output.Write(interleaved, frames); },
        [&](std::int64_t done) { return progress.Update(done); });
    output.Commit();

    SummaryFacts facts;
    facts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    facts.input = plan.input_label;
    facts.output = plan.output_path;
    facts.output_format = MajorFormatName(plan.format) + ", " + std::string(SubtypeName(plan.format));
    facts.dither = plan.dither_reason;
    facts.mix = plan.job.mix;
    facts.rate = plan.job.rate;
    facts.channels = plan.job.channels;
    facts.input_frames = plan.job.input_frames;
    facts.tail_frames = plan.tail_frames;
    facts.settings = plan.job.settings;
    facts.view = plan.view;
    facts.stats = stats;
    facts.clipped = output.Clipped();
    std::cerr << FormatSummary(facts);
}

int Run(const Options& options) {
    if (!options.test_signal.empty()) {
        WriteTestSignal(PlanTestSignal(options));
        return EXIT_OK;
    }
    const auto library = LoadLibrary(options);
    if (options.info || options.list_pins) {
        if (options.info) PrintInfo(*library);
        if (options.list_pins) PrintPins(DescribePins(*library));
        return EXIT_OK;
    }
    RenderPlan plan = PlanRender(options, DescribePins(*library));
    std::optional<PicturePlan> picture = PlanPicture(options, plan);
    if (!plan.output_path.empty()) Render(*library, std::move(plan));
    if (picture) {
        ProgressLine progress(picture->job.total_frames, picture->job.rate);
        std::cerr << MakePicture(*library, *picture, [&](std::int64_t done) { return progress.Update(done); });
    }
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"er-render: runs sound files through the early-reflection module, as a modular host would.\n"
                 "  er-render IN OUT [options]\n  er-render --impulse SECONDS OUT [options]\n"
                 "  er-render --plot FILE [--plot-data FILE] [options]\n"
                 "  er-render --test-signal SECONDS OUT\n  er-render --list-pins | --info"};
    app.footer(USAGE_FOOTER);
    app.add_option("files", options.files, "IN OUT, or OUT alone with --impulse or --test-signal");
    app.add_option("--set", options.sets, "set a pin: \"Name=value\" or \"Name=FROM..TO\" (repeatable)")
        ->allow_extra_args(false)->type_name("NAME=VALUE");
    app.add_option("--settings", options.settings_files, "read Name=value lines from FILE (# comments)")
        ->allow_extra_args(false)->type_name("FILE");
    app.add_option("--gate", options.gates, "a positive gate for one block at TIME: poly reset (repeatable)")
        ->allow_extra_args(false)->type_name("TIME");
    app.add_option("--block", options.block, "the host's block size in samples (default 512)")->type_name("N");
    app.add_option("--tail", options.tail, "silence appended so echoes ring out (default: from the settings)")
        ->type_name("SECONDS");
    app.add_option("--impulse", options.impulse, "render the response to a unit impulse, SECONDS long")
        ->type_name("SECONDS");
    app.add_option("--test-signal", options.test_signal, "write a dry test signal of clicks and tone bursts")
        ->type_name("SECONDS");
    app.add_option("--rate", options.rate, "sample rate for --impulse, --test-signal, --plot alone (default 48000)")
        ->type_name("HZ");
    app.add_option("--format", options.format, "output samples: pcm16, pcm24 or float (default: the input's)")
        ->type_name("FORMAT");
    app.add_option("--module", options.module, "the module library (default: early_reflection beside er-render)")
        ->type_name("PATH");
    app.add_option("--plot", options.plot, "draw the setting's impulse and magnitude response: .svg, .png or .pdf")
        ->type_name("FILE");
    app.add_option("--plot-data", options.plot_data, "write the numbers behind the figure: .csv or .json")
        ->type_name("FILE");
    app.add_option("--dither", options.dither, "none or tpdf (default: TPDF for 16 bits or fewer unless exact)")
        ->type_name("KIND");
    app.add_option("--dry", options.dry, "mix the input in at DB decibels (default: none)")->type_name("DB");
    app.add_option("--wet", options.wet, "the module's output at DB decibels, or off (default 0)")->type_name("DB");
    app.add_option("--gain", options.gain, "scale the result by DB decibels (default 0)")->type_name("DB");
    app.add_option("--type", options.type, "OUT's container as a file extension, for \"-\" or another name")
        ->type_name("EXT");
    app.add_flag("--allow-unsafe", options.allow_unsafe,
                 "accept \"Feedback +/-10\", \"Damping 0-10\" and \"1 Time\" outside their stable ranges");
    app.add_flag("--list-pins", options.list_pins, "print the module's pins and exit");
    app.add_flag("--info", options.info, "print the module's identity and about text and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        std::cerr << "er-render: " << error.what() << " (see er-render --help)\n";
        return EXIT_USAGE;
    }

    InstallInterruptCleanup();
    try {
        return Run(options);
    } catch (const Failure& failure) {
        std::cerr << "er-render: " << failure.what() << "\n";
        return failure.Code();
    } catch (const std::bad_alloc&) {
        std::cerr << "er-render: out of memory\n";
        return EXIT_INTERNAL;
    } catch (const std::exception& error) {
        std::cerr << "er-render: " << error.what() << "\n";
        return EXIT_INTERNAL;
    }
}
