// What each mode of er-render does, once the command line has chosen it and checked its options
// (CommandLine.h). Each runner returns the exit code or throws Failure; main dispatches to them by mode.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "CommandLine.h"
#include "Host.h"
#include "Plan.h"
#include "Summary.h"

namespace er_render {

int RunRenderMode(const Options& options);  // IN OUT, IN -n, --impulse, --plot alone
int RunRoomMode(const Options& options);    // --room
int RunTestSignalMode(const Options& options);
int RunListPinsMode(const Options& options);
int RunListPresetsMode(const Options& options);
int RunInfoMode(const Options& options);

// The module library --module names, else the one beside the tool. Throws Failure (EXIT_MODULE).
std::unique_ptr<er_host::Library> LoadLibrary(const Options& options);
std::vector<er_host::PinDescription> DescribePins(const er_host::Library& library);

// Renders a checked plan into its output (none for -n) and answers the facts of the summary. `progress_on`
// false draws no progress line; `measure_loudness` false leaves the loudness unmeasured.
SummaryFacts RenderSound(const er_host::Library& library, RenderPlan plan, bool progress_on, bool measure_loudness);

// The same with another runner of the plan's job (a room's taps): the source, the sink and the progress in, the
// output's statistics out.
using RenderRun = std::function<RenderStats(const Source&, const Sink&, const Progress&)>;
SummaryFacts RenderSound(RenderPlan plan, bool progress_on, bool measure_loudness, const RenderRun& run);

// Writes all of `text` to stdout. Throws Failure (EXIT_OUTPUT) naming the reason when it cannot: a full disk,
// a closed descriptor.
void WriteStdout(std::string_view text);

}  // namespace er_render
