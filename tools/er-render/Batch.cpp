#include "Batch.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>

#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "Failure.h"
#include "Interrupts.h"
#include "Modes.h"
#include "Text.h"

namespace er_render {

using namespace er_text;

namespace {

constexpr long long MAX_JOBS = 256;

// One file of a batch, in a worker process of its own. Sends its report, one JSON object, into `report` and
// ends the process with the render's exit code.
[[noreturn]] void RenderInWorker(const er_host::Library& library, const std::vector<er_host::PinDescription>& pins,
                                 Options options, const std::string& input, const std::string& output, int report) {
    int code = EXIT_OK;
    nlohmann::ordered_json result;
    try {
        options.files = {input, output};
        options.mode = Mode::RENDER;
        RenderPlan plan = PlanRender(options, pins);
        const std::vector<std::string> plan_warnings = plan.warnings;
        const SummaryFacts facts = RenderSound(library, std::move(plan), false, options.json);
        const double rms = facts.stats.Rms();
        std::string line = input + " -> " + output +
                           Printf(": %.3f s, peak ", static_cast<double>(facts.input_frames + facts.tail_frames) / facts.rate) +
                           Decibels(facts.stats.peak) + ", RMS " + Decibels(rms) +
                           Printf(", %lld clipped", static_cast<long long>(facts.clipped));
        for (const std::string& warning : plan_warnings) line += "; warning: " + warning;
        for (const std::string& warning : facts.warnings) line += "; warning: " + warning;
        result["line"] = line;
        result["summary"] = nlohmann::ordered_json::parse(SummaryJson(facts, plan_warnings, {}));
    } catch (const Failure& failure) {
        code = failure.Code();
        result["error"] = failure.what();
    } catch (const std::exception& error) {
        code = EXIT_INTERNAL;
        result["error"] = error.what();
    }
    const std::string text = JsonText(result);
    if (write(report, text.data(), text.size()) != static_cast<ssize_t>(text.size())) code = EXIT_INTERNAL;
    _exit(code);
}

struct FileResult {
    int code = EXIT_OK;
    std::string report;  // the worker's JSON
    bool done = false;
};

// What a finished worker said about its file, as the JSON of --json.
nlohmann::ordered_json ResultJson(const FileResult& result, const std::string& input, const std::string& output) {
    nlohmann::ordered_json report = nlohmann::ordered_json::parse(result.report, nullptr, false);
    if (result.code == EXIT_OK && report.is_object() && report.contains("summary")) return report["summary"];
    nlohmann::ordered_json failed;
    failed["input"] = input;
    failed["output"] = output;
    failed["error"] = report.is_object() && report.contains("error") ? report["error"].get<std::string>()
                                                                     : "the worker ended without a report";
    failed["exit_code"] = result.code == EXIT_OK ? EXIT_INTERNAL : result.code;
    return failed;
}

// Under -q, a rendered file's warnings alone, each naming the file (warnings show in every mode).
std::string ResultWarnings(const FileResult& result, const std::string& input) {
    const nlohmann::ordered_json report = nlohmann::ordered_json::parse(result.report, nullptr, false);
    std::string text;
    if (!report.is_object() || !report.contains("summary")) return text;
    for (const auto& warning : report["summary"]["warnings"]) {
        text += "er-render: " + input + ": warning: " + warning.get<std::string>() + "\n";
    }
    return text;
}

std::string ResultLine(const FileResult& result, const std::string& input) {
    const nlohmann::ordered_json report = nlohmann::ordered_json::parse(result.report, nullptr, false);
    if (result.code == EXIT_OK && report.is_object() && report.contains("line")) return report["line"];
    const std::string error = report.is_object() && report.contains("error") ? report["error"].get<std::string>()
                                                                             : "the worker ended without a report";
    return input + ": failed: " + error;
}

}  // namespace

std::vector<std::string> BatchOutputs(const Options& options) {
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
    return outputs;
}

int RunBatchMode(const Options& options) {
    long jobs = sysconf(_SC_NPROCESSORS_ONLN);
    if (!options.jobs.empty()) {
        const auto parsed = ParseInteger(options.jobs);
        if (!parsed || *parsed < 1 || *parsed > MAX_JOBS) {
            throw Failure(EXIT_USAGE, "--jobs takes 1 to " + std::to_string(MAX_JOBS) + ", not " + Quoted(options.jobs));
        }
        jobs = static_cast<long>(*parsed);
    }
    std::error_code error;
    if (!std::filesystem::is_directory(options.batch, error)) {
        throw Failure(EXIT_OUTPUT, "--batch takes an existing folder, not " + Quoted(options.batch));
    }
    const std::vector<std::string> outputs = BatchOutputs(options);
    const auto library = LoadLibrary(options);
    const auto pins = DescribePins(*library);
    const std::size_t count = options.files.size();
    std::vector<FileResult> results(count);
    std::map<pid_t, std::pair<std::size_t, int>> running;  // worker: file index, report pipe
    std::size_t next = 0, printed = 0;
    const auto started = std::chrono::steady_clock::now();
    while (next < count || !running.empty()) {
        while (next < count && static_cast<long>(running.size()) < jobs) {
            int ends[2];
            if (pipe(ends) != 0) throw Failure(EXIT_INTERNAL, "cannot make a pipe for a worker");
            const pid_t pid = ForkWorker();
            if (pid < 0) throw Failure(EXIT_INTERNAL, "cannot start a worker process");
            if (pid == 0) {
                close(ends[0]);
                RenderInWorker(*library, pins, options, options.files[next], outputs[next], ends[1]);
            }
            close(ends[1]);
            running[pid] = {next++, ends[0]};
        }
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) continue;
        ForgetWorker(pid);
        const auto found = running.find(pid);
        if (found == running.end()) continue;
        const auto [index, report] = found->second;
        running.erase(found);
        FileResult& result = results[index];
        char buffer[4096];
        for (ssize_t got; (got = read(report, buffer, sizeof(buffer))) > 0;) result.report.append(buffer, static_cast<std::size_t>(got));
        close(report);
        result.code = WIFEXITED(status) ? WEXITSTATUS(status) : EXIT_INTERNAL;
        result.done = true;
        for (; printed < count && results[printed].done; ++printed) {
            if (!options.quiet || results[printed].code != EXIT_OK) {
                std::fprintf(stderr, "er-render: %s\n", ResultLine(results[printed], options.files[printed]).c_str());
            } else {
                std::fputs(ResultWarnings(results[printed], options.files[printed]).c_str(), stderr);
            }
        }
    }
    const auto failed = static_cast<std::size_t>(
        std::count_if(results.begin(), results.end(), [](const FileResult& result) { return result.code != EXIT_OK; }));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!options.quiet) {
        std::fprintf(stderr, "er-render: %zu files, %zu rendered, %zu failed, %.3f s with %ld jobs\n", count,
                     count - failed, failed, seconds, jobs);
    }
    if (options.json) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < count; ++i) array.push_back(ResultJson(results[i], options.files[i], outputs[i]));
        WriteStdout(JsonText(array) + "\n");
    }
    return failed == 0 ? EXIT_OK : EXIT_BATCH;
}

}  // namespace er_render
