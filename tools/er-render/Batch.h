// --batch OUTDIR IN...: each input rendered into OUTDIR under its own name (the extension --type gives, if any)
// with the same settings, by up to --jobs worker processes. The module keeps its sample rate and time scales
// once per process, so files at different rates must not render side by side in one: each file renders in a
// worker of its own, and every output is byte for byte what a single render writes.
#pragma once

#include <string>
#include <vector>

#include "CommandLine.h"

namespace er_render {

// OUTDIR/name for each input; --type replaces the extension. Throws Failure (EXIT_USAGE) when two inputs would
// be written to one file.
std::vector<std::string> BatchOutputs(const Options& options);

// Renders the batch: one line per file on stderr in input order (failures even with -q), then a total; with
// --json, one array on stdout of each file's summary object, or {"input", "output", "error", "exit_code"} for a
// file that failed. Returns EXIT_BATCH when any file failed. A stopping signal ends the workers and waits for
// them, so no temporary file outlives the tool.
int RunBatchMode(const Options& options);

}  // namespace er_render
