// The figure of a setting, drawn with cairo: the echo envelope above (level in dB against time, each echo's
// peak marked), the magnitude response below (dB against frequency on a log axis), and a title line with the
// settings and the tap delay. The same drawing goes to every kind of surface cairo offers for files.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

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

// The figure of a room: its taps (level against delay, one colour per side) above, the room seen from above
// below, with the source, the listening points and the image sources.
struct PatternFigure {
    FigureText text;
    struct Stem {
        double time_ms, level_db;
        std::int32_t channel;  // 0 left or mono, 1 right
    };
    std::vector<Stem> stems;
    std::int32_t channels = 1;
    struct Point {
        double x, y;  // metres, seen from above: x across the room, y along it
    };
    Point size{};  // the room's floor, from (0, 0)
    Point source{};
    std::vector<Point> listeners;
    struct Image {
        Point at;
        std::int32_t order;
    };
    std::vector<Image> images;
    std::int32_t max_order = 1;
};

// Draws the room's figure into `out`; fails as DrawFigure does.
void DrawPatternFigure(const PatternFigure& figure, const FigureKind& kind, std::FILE* out);

}  // namespace er_render
