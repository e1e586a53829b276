// er-render: runs sound files through the early-reflection module from the command line, through the same
// binary interface a modular host uses. The pieces live in the er_render library; this file reads the command
// line, puts them together and reports.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <csignal>
#include <cstdio>
#include <cmath>
#include <iostream>
#include <map>
#include <memory>

#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "AudioFile.h"
#include "Failure.h"
#include "Host.h"
#include "Interrupts.h"
#include "ListText.h"
#include "Loudness.h"
#include "Picture.h"
#include "Plan.h"
#include "Render.h"
#include "SampleCodec.h"
#include "Signals.h"
#include "Summary.h"
#include "Text.h"

using namespace er_render;
using namespace er_text;

namespace {

constexpr double PROGRESS_MIN_SECONDS = 10.0;  // renders shorter than this (of audio) show no progress line
constexpr double PROGRESS_INTERVAL = 0.25;     // seconds of wall time between progress updates
constexpr double TAIL_DECAY = 1.0e-3;          // 60 dB: a tail that has fallen this far has rung out

// One usage block, with examples, in place of the library's generated line.
class UsageFormatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App*, std::string) const override {
        return R"(Usage:
  er-render IN OUT [options]                 IN or OUT "-" is stdin or stdout
  er-render IN -n [options]                  render and analyse, write nothing
  er-render --batch OUTDIR IN... [options]   every IN into OUTDIR, --jobs at a time
  er-render --impulse SECONDS OUT [options]  the setting's response to a unit impulse
  er-render --plot FILE [--plot-data FILE] [options]
  er-render --test-signal SECONDS OUT        a dry test signal, without the module
  er-render --list-pins | --list-presets | --info | --version
Examples:
  er-render in.wav out.wav --preset room --dry 0 --wet -3
  er-render in.wav out.flac --set "1 Time=25ms" --set "Feedback +/-10=4"
  cat in.wav | er-render - - --type wav --preset slapback > out.wav
)";
    }
};

const char* const USAGE_FOOTER = R"(
Pin values are as the module shows them: choices by their text (any case) or number, float pins in shown units
(10 is 1.0, so "1 Volume 10=100%=10" is unity gain); "1 Time" also takes a delay with a unit, "25ms", "0.5s"
or "1102smp", which er-render turns into the value that gives exactly that delay. A float pin ramps linearly
over the render with "Name=FROM..TO"; the host then streams it. Unset pins keep the module's defaults, except "Active", which is ON.
--gate takes seconds ("1.5"), milliseconds ("250ms") or samples ("12000smp").

Exit codes: 0 done, 1 internal fault, 2 bad command line or settings, 3 unreadable input, 4 output cannot be
written, 5 module cannot be loaded or lacks a pin, 6 the output became infinite or not a number, 7 a file of a
--batch failed; a signal ends the tool by that signal (130 for Ctrl-C). A failed run leaves no output file.)";

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

// Each preset's name and the first line of its comment.
void PrintPresets() {
    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(PresetFolder(), error)) {
        if (entry.path().extension() == ".settings") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::ifstream text(file);
        std::string line;
        std::getline(text, line);
        const std::size_t hash = line.find('#');
        std::printf("%-14s %s\n", file.stem().c_str(), hash == 0 ? std::string(Trim(line.substr(1))).c_str() : "");
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
                                                         : RangeText(pin);
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
    ~ProgressLine() { Clear(); }
    // Takes the line off the terminal, so that what follows starts on a clean line.
    void Clear() {
        if (m_drawn) std::fprintf(stderr, "\r\033[K");
        m_drawn = false;
    }
    bool Update(std::int64_t done) {
        if (m_enabled) {
            const auto now = std::chrono::steady_clock::now();
            const bool last = done >= m_total;  // the end is always shown
            if (!m_drawn || last || std::chrono::duration<double>(now - m_last).count() >= PROGRESS_INTERVAL) {
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
    bool m_enabled;  // a terminal, and a render long enough to be worth watching
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

SummaryFacts Render(const er_host::Library& library, RenderPlan plan, const Options& options) {
    for (const std::string& warning : plan.warnings) std::cerr << "er-render: warning: " << warning << "\n";
    if (!options.quiet) {
        for (const std::string& note : plan.notes) std::cerr << "er-render: note: " << note << "\n";
    }
    std::optional<OutputFile> output;
    if (!options.null_output) {
        output.emplace(plan.output_path, plan.protected_path, plan.format, plan.job.channels,
                       static_cast<int>(plan.job.rate), plan.dither);
    }
    Renderer renderer(library, plan.job);
    // Loudness is measured for the summary and the JSON only: -q skips its cost.
    std::optional<LoudnessMeter> meter;
    if (!options.quiet || options.json) meter.emplace(plan.job.channels, plan.job.rate);
    ProgressLine progress(options.quiet ? 0 : plan.job.total_frames, plan.job.rate);
    std::int64_t impulse_position = 0;
    const Source source = [&](float* interleaved, std::int32_t frames) {
        if (plan.input) return plan.input->Read(interleaved, frames);
        for (std::int32_t i = 0; i < frames; ++i) interleaved[i] = ImpulseSample(impulse_position + i);
        impulse_position += frames;
    };
    const auto started = std::chrono::steady_clock::now();
    const RenderStats stats = renderer.Run(
        source, [&](const float* interleaved, std::int32_t frames) {
            if (output) output->Write(interleaved, frames);
            if (meter) meter->Add(interleaved, frames);
        },
        [&](std::int64_t done) { return progress.Update(done); });
    if (output) output->Commit();
    progress.Clear();

    SummaryFacts facts;
    facts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    facts.input = plan.input_label;
    facts.output = options.null_output ? "nothing (-n)" : plan.output_path;
    facts.output_format = options.null_output ? "not written"
                                              : MajorFormatName(plan.format) + ", " + std::string(SubtypeName(plan.format));
    facts.dither = options.null_output ? "" : plan.dither_reason;
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
            facts.warnings.push_back(Printf("%s ends after %lld of the %lld frames its header gives (cut short?); the "
                                            "rest was read as silence", Quoted(plan.input_label).c_str(),
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
        facts.warnings.push_back(Printf("the default tail stops at %g s while the echoes are still at ", MAX_DEFAULT_TAIL_SECONDS) +
                                 Decibels(stats.end_peak) + Printf(" (%.1f dB re the peak); set --tail SECONDS for more",
                                 20.0 * std::log10(stats.end_peak / stats.peak)));
    }
    return facts;
}

void Report(const SummaryFacts& facts, const Options& options) {
    if (options.json) {
        std::cout << SummaryJson(facts) << "\n";
    }
    if (!options.quiet && !options.json) {
        std::cerr << FormatSummary(facts);
        return;
    }
    // Warnings reach stderr in every mode, as sox's do.
    for (const std::string& warning : facts.warnings) std::cerr << "er-render: warning: " << warning << "\n";
}

// One file of a batch, in a worker process of its own: the module's sample rate and time scales are shared by
// every instance in a process, so files at different rates must not render side by side in one. Writes its
// summary line into `report` and ends the process with the render's exit code.
[[noreturn]] void RenderInWorker(const er_host::Library& library, const std::vector<er_host::PinDescription>& pins,
                                 Options options, const std::string& input, const std::string& output, int report) {
    int code = EXIT_OK;
    std::string line;
    try {
        options.files = {input, output};
        options.quiet = true;
        const SummaryFacts facts = Render(library, PlanRender(options, pins), options);
        const double rms = facts.stats.samples > 0 ? std::sqrt(facts.stats.sum_squares / facts.stats.samples) : 0.0;
        line = input + " -> " + output + Printf(": %.3f s, peak ", static_cast<double>(facts.input_frames + facts.tail_frames) / facts.rate) +
               Decibels(facts.stats.peak) + ", RMS " + Decibels(rms) + Printf(", %lld clipped", static_cast<long long>(facts.clipped));
        for (const std::string& warning : facts.warnings) line += "; warning: " + warning;
    } catch (const Failure& failure) {
        code = failure.Code();
        line = input + ": failed: " + failure.what();
    } catch (const std::exception& error) {
        code = EXIT_INTERNAL;
        line = input + ": failed: " + error.what();
    }
    line += "\n";
    if (write(report, line.data(), line.size()) < 0) code = EXIT_INTERNAL;
    _exit(code);
}

// --batch OUTDIR IN...: each input rendered into OUTDIR under its own name (the extension --type gives, if any)
// by up to --jobs worker processes; one line per file in input order, then a total. Fails at the end if any
// file failed.
int RunBatch(const er_host::Library& library, const Options& options) {
    std::error_code error;
    if (!std::filesystem::is_directory(options.batch, error)) {
        throw Failure(EXIT_OUTPUT, "--batch takes an existing folder, not " + Quoted(options.batch));
    }
    if (options.files.empty()) throw Failure(EXIT_USAGE, "--batch OUTDIR takes the input files after it");
    long jobs = options.jobs.empty() ? sysconf(_SC_NPROCESSORS_ONLN) : 0;
    if (!options.jobs.empty()) {
        const auto parsed = ParseInteger(options.jobs);
        if (!parsed || *parsed < 1 || *parsed > 256) throw Failure(EXIT_USAGE, "--jobs takes 1 to 256, not " + Quoted(options.jobs));
        jobs = static_cast<long>(*parsed);
    }
    std::vector<std::string> outputs;
    for (const std::string& input : options.files) {
        std::filesystem::path name = std::filesystem::path(input).filename();
        if (!options.type.empty()) name.replace_extension(options.type);
        const std::string output = (std::filesystem::path(options.batch) / name).string();
        if (std::find(outputs.begin(), outputs.end(), output) != outputs.end()) {
            throw Failure(EXIT_USAGE, "two inputs would both be written to " + Quoted(output));
        }
        outputs.push_back(output);
    }
    const auto pins = DescribePins(library);
    const std::size_t count = options.files.size();
    std::vector<std::string> lines(count);
    std::vector<bool> done(count, false);
    std::vector<int> codes(count, EXIT_OK);
    struct Worker {
        std::size_t index;
        int report;
    };
    std::map<pid_t, Worker> running;
    std::size_t next = 0, printed = 0;
    const auto started = std::chrono::steady_clock::now();
    while (next < count || !running.empty()) {
        while (next < count && static_cast<long>(running.size()) < jobs) {
            int ends[2];
            if (pipe(ends) != 0) throw Failure(EXIT_INTERNAL, "cannot make a pipe for a worker");
            const pid_t pid = fork();
            if (pid < 0) throw Failure(EXIT_INTERNAL, "cannot start a worker process");
            if (pid == 0) {
                close(ends[0]);
                ForgetAllWorkers();
                RenderInWorker(library, pins, options, options.files[next], outputs[next], ends[1]);
            }
            close(ends[1]);
            RegisterWorker(pid);
            running[pid] = {next++, ends[0]};
        }
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) continue;
        ForgetWorker(pid);
        const auto found = running.find(pid);
        if (found == running.end()) continue;
        const Worker worker = found->second;
        running.erase(found);
        char buffer[4096];
        for (ssize_t got; (got = read(worker.report, buffer, sizeof(buffer))) > 0;) lines[worker.index].append(buffer, static_cast<std::size_t>(got));
        close(worker.report);
        codes[worker.index] = WIFEXITED(status) ? WEXITSTATUS(status) : EXIT_INTERNAL;
        if (lines[worker.index].empty()) lines[worker.index] = options.files[worker.index] + ": failed: the worker ended without a report\n";
        done[worker.index] = true;
        for (; printed < count && done[printed]; ++printed) std::cerr << "er-render: " << lines[printed];
    }
    const auto failed = static_cast<std::size_t>(std::count_if(codes.begin(), codes.end(), [](int code) { return code != EXIT_OK; }));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cerr << Printf("er-render: %zu files, %zu rendered, %zu failed, %.3f s with %ld jobs\n", count, count - failed, failed, seconds, jobs);
    return failed == 0 ? EXIT_OK : EXIT_BATCH;
}

int Run(const Options& options) {
    if (!options.test_signal.empty()) {
        WriteTestSignal(PlanTestSignal(options));
        return EXIT_OK;
    }
    if (options.version) {
        std::cout << "er-render " ER_VERSION "\n";
        return EXIT_OK;
    }
    if (options.list_presets) {
        PrintPresets();
        return EXIT_OK;
    }
    const auto library = LoadLibrary(options);
    if (!options.batch.empty()) return RunBatch(*library, options);
    if (options.info || options.list_pins) {
        if (options.info) PrintInfo(*library);
        if (options.list_pins) PrintPins(DescribePins(*library));
        return EXIT_OK;
    }
    RenderPlan plan = PlanRender(options, DescribePins(*library));
    std::optional<PicturePlan> picture = PlanPicture(options, plan);
    if (!plan.output_path.empty() || options.null_output) Report(Render(*library, std::move(plan), options), options);
    if (picture) {
        ProgressLine progress(picture->job.total_frames, picture->job.rate);
        std::cerr << MakePicture(*library, *picture, [&](std::int64_t done) { return progress.Update(done); });
    }
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"er-render: runs sound files through the early-reflection module, as a modular host would.",
                 "er-render"};
    app.formatter(std::make_shared<UsageFormatter>());
    app.footer(USAGE_FOOTER);
    app.add_option("files", options.files, "IN OUT; OUT alone with --impulse or --test-signal; IN... with --batch");
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
    app.add_option("--format", options.format, "output samples: pcm8, pcm16, pcm24, pcm32, float, double, vorbis, "
                                               "... (default: the input's, or the nearest OUT's container holds)")
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
    app.add_option("--preset", options.presets, "the settings of a preset shipped with er-render (--list-presets)")
        ->allow_extra_args(false)->type_name("NAME");
    app.add_option("--batch", options.batch, "render every IN after it into OUTDIR, same settings")->type_name("OUTDIR");
    app.add_option("--jobs", options.jobs, "worker processes for --batch (default: the number of cores)")->type_name("N");
    app.add_flag("-n", options.null_output, "render and analyse, write nothing (in place of OUT)");
    app.add_flag("-q,--quiet", options.quiet, "no progress and no summary; warnings and errors still show");
    app.add_flag("--json", options.json, "the summary as one JSON object on stdout");
    app.add_flag("--list-presets", options.list_presets, "print the presets and exit");
    app.add_flag("--version", options.version, "print the version and exit");
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
