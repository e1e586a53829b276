// er-render: runs sound files through the early-reflection module from the command line, through the same
// binary interface a modular host uses. The command line chooses one mode and is checked against it
// (CommandLine.h); this file hands it to that mode's runner and turns a failure into its message and exit code.
#include <cstdio>
#include <new>

#include "Batch.h"
#include "CommandLine.h"
#include "Failure.h"
#include "Interrupts.h"
#include "Modes.h"
#include "Plan.h"

using namespace er_render;

namespace {

int PrintVersion(const Options&) {
    WriteStdout("er-render " ER_VERSION "\n");
    return EXIT_OK;
}

struct Runner {
    Mode mode;
    int (*run)(const Options&);
};

constexpr Runner RUNNERS[] = {
    {Mode::RENDER, RunRenderMode},
    {Mode::ANALYSE, RunRenderMode},
    {Mode::IMPULSE, RunRenderMode},
    {Mode::PLOT, RunRenderMode},
    {Mode::TEST_SIGNAL, RunTestSignalMode},
    {Mode::BATCH, RunBatchMode},
    {Mode::LIST_PINS, RunListPinsMode},
    {Mode::LIST_PRESETS, RunListPresetsMode},
    {Mode::INFO, RunInfoMode},
    {Mode::ROOM, RunRoomMode},
    {Mode::VERSION, PrintVersion},
};

int Run(const Options& options) {
    for (const Runner& runner : RUNNERS) {
        if (runner.mode == options.mode) return runner.run(options);
    }
    throw Failure(EXIT_INTERNAL, "no runner for the mode the command line chose");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int code = ParseCommandLine(argc, argv, options); code >= 0) return code;
    InstallInterruptCleanup();
    try {
        RefuseOverwritingInputs(options);
        return Run(options);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "er-render: %s\n", failure.what());
        return failure.Code();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "er-render: out of memory\n");
        return EXIT_INTERNAL;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "er-render: %s\n", error.what());
        return EXIT_INTERNAL;
    }
}
