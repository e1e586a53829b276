// The figure of a setting, drawn with cairo: the echo envelope above (level in dB against time, each echo's
// peak marked), the magnitude response below (dB against frequency on a log axis), and a title line with the
// settings and the tap delay. The same drawing goes to every kind of surface cairo offers for files.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "Response.h"

namespace er_render {

struct FigureKind;

// The kind FILE's extension names (any case), or null.
const FigureKind* FigureKindForPath(const std::string& path);
// "SVG", "PNG", ... for the summary.
std::string_view FigureKindName(const FigureKind& kind);
// The extensions, for messages: ".svg, .png or .pdf".
std::string FigureExtensions();

inline constexpr int FIGURE_WIDTH = 1000;  // points (SVG, PDF) or pixels (PNG)
inline constexpr int FIGURE_HEIGHT = 720;

struct FigureText {
    std::string title;     // the settings, in the module's words
    std::string subtitle;  // the tap delay the module realises, the rate and the routine
};

// Draws the figure into `out`. Throws Failure (EXIT_OUTPUT) when cairo cannot draw or write it.
void DrawFigure(const ImpulseAnalysis& analysis, const FigureText& text, const FigureKind& kind, std::FILE* out);

}  // namespace er_render
