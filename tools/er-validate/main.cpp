// er-validate: randomized, seeded host sessions against the module library, every call checked. It prints what
// it ran and, for each fault, the session seed and the command that replays it.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <CLI/CLI.hpp>

#include "Host.h"
#include "Rng.h"
#include "Session.h"

namespace {

// A crash ends the run; the report says which session to replay.
extern "C" void OnCrash(int signal) {
    char text[160];
    std::snprintf(text, sizeof text, "\ner-validate: CRASH (signal %d) in session 0x%016llx, segment %lld\n", signal,
                  static_cast<unsigned long long>(er_validate::CurrentSeed()),
                  static_cast<long long>(er_validate::CurrentStep()));
    std::fputs(text, stderr);
    std::snprintf(text, sizeof text, "replay: er-validate --replay 0x%016llx --steps %lld --trace\n",
                  static_cast<unsigned long long>(er_validate::CurrentSeed()),
                  static_cast<long long>(er_validate::CurrentStep() + 1));
    std::fputs(text, stderr);
    std::fflush(stderr);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void CatchCrashes() {
    for (int signal : {SIGSEGV, SIGILL, SIGFPE, SIGABRT}) std::signal(signal, OnCrash);
#ifdef SIGBUS
    std::signal(SIGBUS, OnCrash);
#endif
}

std::uint64_t ParseSeed(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 0); }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs randomized host sessions against the early_reflection module and checks every call."};
    double seconds = 0.0;
    std::int64_t sessions = 0;
    std::string seed_text = "1";
    std::string replay_text;
    std::int64_t steps = -1;
    bool trace = false;
    std::int64_t max_findings = 1;
    std::string library_path = er_host::Library::DefaultModulePath();
    app.add_option("--seconds", seconds, "Time budget in seconds (0: no limit)");
    app.add_option("--sessions", sessions, "Number of sessions (0: no limit)");
    app.add_option("--seed", seed_text, "Master seed; session i runs the seed derived from it and i")->capture_default_str();
    app.add_option("--replay", replay_text, "Runs the one session with this seed (as printed for a finding)");
    app.add_option("--steps", steps, "With --replay: stop after this many segments");
    app.add_flag("--trace", trace, "Print every action of the sessions");
    app.add_option("--max-findings", max_findings, "Stop after this many findings (0: never)")->capture_default_str();
    app.add_option("--library", library_path, "The module library")->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    if (seconds <= 0.0 && sessions <= 0 && replay_text.empty()) sessions = 20;

    std::string error;
    std::unique_ptr<er_host::Library> library = er_host::Library::Load(library_path, error);
    if (!library) {
        std::fprintf(stderr, "er-validate: %s\n", error.c_str());
        return 2;
    }
    CatchCrashes();

    er_validate::SessionOptions options;
    options.trace = trace ? stdout : nullptr;
    er_validate::Totals totals;
    const auto started = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    const auto report = [](const er_validate::Finding& finding) {
        std::printf("FINDING in session 0x%016llx, segment %lld: %s\n  replay: er-validate %s\n",
                    static_cast<unsigned long long>(finding.seed), static_cast<long long>(finding.step),
                    finding.message.c_str(), er_validate::ReplayArguments(finding).c_str());
        std::fflush(stdout);
    };

    if (!replay_text.empty()) {
        options.max_steps = steps;
        if (auto finding = er_validate::RunSession(*library, ParseSeed(replay_text), options, totals)) report(*finding);
    } else {
        const std::uint64_t master = ParseSeed(seed_text);
        for (std::int64_t i = 0; (sessions <= 0 || i < sessions) && (seconds <= 0.0 || elapsed() < seconds); ++i) {
            const std::uint64_t seed = er_validate::Rng::Derive(master, static_cast<std::uint64_t>(i));
            if (auto finding = er_validate::RunSession(*library, seed, options, totals)) {
                report(*finding);
                if (max_findings > 0 && totals.findings >= max_findings) break;
            }
        }
    }
    std::printf(
        "er-validate: %lld sessions, %lld objects, %lld samples in %lld process calls, %lld events; "
        "%lld samples compared bit for bit, %lld checked finite, %lld poly resets checked; "
        "%lld findings (%.1f s)\n",
        static_cast<long long>(totals.sessions), static_cast<long long>(totals.instances),
        static_cast<long long>(totals.samples), static_cast<long long>(totals.process_calls),
        static_cast<long long>(totals.notifications), static_cast<long long>(totals.compared),
        static_cast<long long>(totals.finite_checked), static_cast<long long>(totals.resets_checked),
        static_cast<long long>(totals.findings), elapsed());
    return totals.findings == 0 ? 0 : 1;
}
