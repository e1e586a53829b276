// --plot and --plot-data: the setting's impulse response rendered into memory, analysed, drawn as a figure and
// written as numbers. Each file is made beside its target and renamed into place only when complete.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Analysis.h"
#include "Figure.h"
#include "Plan.h"
#include "Render.h"
#include "ReplacingFile.h"
#include "Summary.h"

namespace er_render {

struct DataKind;

struct PicturePlan {
    RenderJob job;  // the impulse response: one channel, an impulse at the first sample
    std::optional<EffectView> view;
    double spacing = 0.0;  // the shortest tap delay in samples; 0 when unknown
    FigureText text;
    const FigureKind* figure_kind = nullptr;
    const DataKind* data_kind = nullptr;
    std::unique_ptr<ReplacingFile> figure;  // null without --plot
    std::unique_ptr<ReplacingFile> data;    // null without --plot-data
    bool alone = false;                     // no sound file is rendered: the summary is the picture's
};

// Null without --plot and --plot-data. Checks the files' extensions, that they name neither each other nor the
// render's input or output, and creates their temporary files, so that nothing is rendered for a figure that
// cannot be written. The impulse response is the render's own with --impulse; otherwise it lasts --tail (or
// PictureTailSeconds) at the render's rate, without the gates of a file render.
// Throws Failure naming the first problem.
std::optional<PicturePlan> PlanPicture(const Options& options, const RenderPlan& plan);

// What a picture reports: the summary of the impulse response when it was drawn alone, and a line per file.
struct PictureReport {
    std::optional<SummaryFacts> alone;  // --plot without a sound render
    std::vector<std::string> lines;     // "figure      out.svg (SVG): ..." without the line end
};

// Renders the impulse response, draws and writes the files, and answers what to report. Throws Failure as a
// render does, and Failure (EXIT_OUTPUT) when a file cannot be written; no file is then left.
PictureReport MakePicture(const er_host::Library& library, PicturePlan& picture, const Progress& progress);

}  // namespace er_render
