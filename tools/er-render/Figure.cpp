#include "Figure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <numbers>
#include <vector>

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include "Failure.h"
#include "Text.h"

namespace er_render {

using namespace er_text;

// How one kind of file is made: a surface that writes to the stream as it is drawn on (vector kinds) or an
// image that is encoded at the end (PNG).
struct FigureKind {
    std::string_view extension;
    std::string_view name;
    cairo_surface_t* (*create)(std::FILE* out);
    cairo_status_t (*finish)(cairo_surface_t* surface, std::FILE* out);
};

namespace {

cairo_status_t WriteToStream(void* closure, const unsigned char* data, unsigned int length) {
    return std::fwrite(data, 1, length, static_cast<std::FILE*>(closure)) == length ? CAIRO_STATUS_SUCCESS
                                                                                    : CAIRO_STATUS_WRITE_ERROR;
}

cairo_surface_t* CreateSvg(std::FILE* out) {
    return cairo_svg_surface_create_for_stream(WriteToStream, out, FIGURE_WIDTH, FIGURE_HEIGHT);
}
cairo_surface_t* CreatePdf(std::FILE* out) {
    return cairo_pdf_surface_create_for_stream(WriteToStream, out, FIGURE_WIDTH, FIGURE_HEIGHT);
}
cairo_surface_t* CreateImage(std::FILE*) {
    return cairo_image_surface_create(CAIRO_FORMAT_RGB24, FIGURE_WIDTH, FIGURE_HEIGHT);
}
cairo_status_t FinishVector(cairo_surface_t* surface, std::FILE*) {
    cairo_surface_finish(surface);
    return cairo_surface_status(surface);
}
cairo_status_t FinishPng(cairo_surface_t* surface, std::FILE* out) {
    cairo_surface_flush(surface);
    return cairo_surface_write_to_png_stream(surface, WriteToStream, out);
}

constexpr FigureKind FIGURE_KINDS[] = {
    {"svg", "SVG", CreateSvg, FinishVector},
    {"png", "PNG", CreateImage, FinishPng},
    {"pdf", "PDF", CreatePdf, FinishVector},
};

// ---- layout -----------------------------------------------------------------------------------------------

constexpr const char* FONT = "DejaVu Sans";
constexpr double TITLE_SIZE = 15.0;
constexpr double MIN_TITLE_SIZE = 11.0;      // a title never shrinks below this: it wraps, and at worst is cut
constexpr double TITLE_TOP = 12.0;           // the title block's top edge
constexpr double TITLE_BLOCK_BOTTOM = 70.0;  // the subtitle's last baseline at most, clear of the panels' headings
constexpr double TITLE_MARGIN = 24.0;
constexpr double LINE_SPACING = 1.25;  // baseline to baseline, in font sizes
constexpr double SUBTITLE_SIZE = 12.0;
constexpr double LABEL_SIZE = 11.0;
constexpr double MARK_SIZE = 9.5;
constexpr double LEFT = 78.0;
constexpr double RIGHT = FIGURE_WIDTH - 28.0;
constexpr double ENVELOPE_TOP = 96.0;
constexpr double ENVELOPE_BOTTOM = 356.0;
constexpr double RESPONSE_TOP = 428.0;
constexpr double RESPONSE_BOTTOM = 670.0;
constexpr double MARK_LABEL_GAP = 62.0;        // the least distance between two labelled echoes
constexpr double ENVELOPE_HEADROOM_DB = 12.0;  // above the loudest echo, for its label

struct Colour {
    double r, g, b;
};
constexpr Colour INK{0.1, 0.1, 0.1};
constexpr Colour GRID{0.86, 0.86, 0.86};
constexpr Colour MINOR_GRID{0.94, 0.94, 0.94};
constexpr Colour ENVELOPE_FILL{0.72, 0.82, 0.93};
constexpr Colour CURVE{0.12, 0.33, 0.62};
constexpr Colour MARK{0.80, 0.15, 0.10};

struct Tick {
    double value;
    std::string label;  // empty: a minor line
};

// A plot area and the ranges its axes show.
struct Panel {
    double left, top, right, bottom;
    double x_low, x_high, y_low, y_high;
    bool log_x;

    double X(double value) const {
        const double at = log_x ? (std::log10(value) - std::log10(x_low)) / (std::log10(x_high) - std::log10(x_low))
                                : (value - x_low) / (x_high - x_low);
        return left + at * (right - left);
    }
    double Y(double value) const {
        const double at = (std::clamp(value, y_low, y_high) - y_low) / (y_high - y_low);
        return bottom - at * (bottom - top);
    }
};

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

// A step of 1, 2 or 5 times a power of ten that cuts `range` into about `parts`.
double NiceStep(double range, double parts) {
    const double raw = range / parts;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double multiple : {1.0, 2.0, 5.0}) {
        if (multiple * power >= raw) return multiple * power;
    }
    return 10.0 * power;
}

std::vector<Tick> LinearTicks(double low, double high, double parts) {
    const double step = NiceStep(high - low, parts);
    std::vector<Tick> ticks;
    for (double value = std::ceil(low / step) * step; value <= high + step * 1e-9; value += step) {
        const double shown = std::fabs(value) < step * 1e-9 ? 0.0 : value;
        ticks.push_back({shown, Format("%g", shown)});
    }
    return ticks;
}

// Lines at 1 to 9 times each power of ten, labelled at 1, 2 and 5: "20", "500", "1k", "20k".
std::vector<Tick> FrequencyTicks(double low, double high) {
    std::vector<Tick> ticks;
    for (double decade = std::pow(10.0, std::floor(std::log10(low))); decade <= high; decade *= 10.0) {
        for (int multiple = 1; multiple <= 9; ++multiple) {
            const double value = multiple * decade;
            if (value < low * (1 - 1e-9) || value > high * (1 + 1e-9)) continue;
            const bool labelled = multiple == 1 || multiple == 2 || multiple == 5;
            ticks.push_back({value, !labelled ? "" : value >= 1000.0 ? Format("%gk", value / 1000.0)
                                                                     : Format("%g", value)});
        }
    }
    return ticks;
}

// ---- drawing ----------------------------------------------------------------------------------------------

void SetColour(cairo_t* cr, Colour colour) { cairo_set_source_rgb(cr, colour.r, colour.g, colour.b); }

// Text with its left (align 0), centre (0.5) or right (1) at x and its baseline at y.
void Text(cairo_t* cr, double x, double y, const std::string& text, double align, double size,
          bool bold = false) {
    cairo_select_font_face(cr, FONT, CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t extents{};
    cairo_text_extents(cr, text.c_str(), &extents);
    cairo_move_to(cr, x - align * extents.x_advance, y);
    cairo_show_text(cr, text.c_str());
}

// How far `text` reaches at `size`.
double Advance(cairo_t* cr, const std::string& text, double size, bool bold) {
    cairo_select_font_face(cr, FONT, CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t extents{};
    cairo_text_extents(cr, text.c_str(), &extents);
    return extents.x_advance;
}

// `text` cut to fit `width`, with an ellipsis at its end (whole UTF-8 characters kept).
std::string Ellipsized(cairo_t* cr, std::string text, double width, double size, bool bold) {
    static const std::string ELLIPSIS = "\u2026";
    if (Advance(cr, text, size, bold) <= width) return text;
    while (!text.empty() && Advance(cr, text + ELLIPSIS, size, bold) > width) {
        std::size_t cut = text.size() - 1;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.erase(cut);
    }
    return text + ELLIPSIS;
}

// The pieces a title breaks into: after each ", " (one setting a piece), and a piece too wide alone at its spaces.
std::vector<std::string> TitlePieces(const std::string& text) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t comma = text.find(", ", start);
        const std::size_t end = comma == std::string::npos ? text.size() : comma + 2;
        pieces.push_back(text.substr(start, end - start));
        start = end;
    }
    return pieces;
}

// A title's lines at `size`: pieces filled greedily into lines of `width`; a piece wider than a line is broken
// at its spaces, and a word wider still wherever it has to be.
std::vector<std::string> WrappedLines(cairo_t* cr, const std::string& text, double size, double width, bool bold) {
    std::vector<std::string> lines;
    std::string line;
    auto place = [&](const std::string& piece) {
        if (!line.empty() && Advance(cr, line + piece, size, bold) > width) {
            lines.push_back(line);
            line.clear();
        }
        line += piece;
    };
    for (const std::string& piece : TitlePieces(text)) {
        if (Advance(cr, piece, size, bold) <= width) {
            place(piece);
            continue;
        }
        std::size_t start = 0;
        while (start < piece.size()) {
            const std::size_t space = piece.find(' ', start);
            const std::size_t end = space == std::string::npos ? piece.size() : space + 1;
            // A word wider than a line (a long path) goes on in the next line wherever it has to.
            std::string word = piece.substr(start, end - start);
            while (Advance(cr, line + word, size, bold) > width) {
                std::size_t fits = word.size();
                while (fits > 0 && Advance(cr, line + word.substr(0, fits), size, bold) > width) {
                    --fits;
                    while (fits > 0 && (static_cast<unsigned char>(word[fits]) & 0xC0) == 0x80) --fits;
                }
                if (fits == 0 && line.empty()) fits = 1;  // not even one character fits: it goes alone
                line += word.substr(0, fits);
                word.erase(0, fits);
                lines.push_back(line);
                line.clear();
            }
            place(word);
            start = end;
        }
    }
    if (!line.empty()) lines.push_back(line);
    // Trailing separators stay with the piece they end; a line does not end in them.
    for (std::string& each : lines) {
        while (!each.empty() && each.back() == ' ') each.pop_back();
    }
    return lines;
}

// The title and subtitle as laid out: each wrapped at its size.
struct TitleBlock {
    double title_size = TITLE_SIZE, subtitle_size = SUBTITLE_SIZE;
    std::vector<std::string> title, subtitle;

    // The subtitle's last baseline.
    double Bottom() const {
        const double title_lines = static_cast<double>(std::max<std::size_t>(1, title.size()));
        return TITLE_TOP + title_size * (1.0 + LINE_SPACING * (title_lines - 1.0) + 0.5) +
               subtitle_size * LINE_SPACING * static_cast<double>(subtitle.size());
    }
};

// The largest sizes (the subtitle never larger than the title) at which both wrap into the space above the
// panels; at the smallest, lines are dropped from the end, the subtitle's first, and the last kept line of each
// that lost some ends in an ellipsis.
TitleBlock LayTitles(cairo_t* cr, const FigureText& text, double width) {
    TitleBlock block;
    for (double size = TITLE_SIZE; size >= MIN_TITLE_SIZE; size -= 0.5) {
        block.title_size = size;
        block.subtitle_size = std::min(SUBTITLE_SIZE, size);
        block.title = WrappedLines(cr, text.title, block.title_size, width, true);
        block.subtitle = WrappedLines(cr, text.subtitle, block.subtitle_size, width, false);
        if (block.Bottom() <= TITLE_BLOCK_BOTTOM) return block;
    }
    bool title_cut = false, subtitle_cut = false;
    while (block.Bottom() > TITLE_BLOCK_BOTTOM && block.title.size() + block.subtitle.size() > 2) {
        const bool from_subtitle = block.subtitle.size() > 1 || block.title.size() == 1;
        (from_subtitle ? block.subtitle : block.title).pop_back();
        (from_subtitle ? subtitle_cut : title_cut) = true;
    }
    if (title_cut) block.title.back() = Ellipsized(cr, block.title.back() + " \u2026", width, block.title_size, true);
    if (subtitle_cut) {
        block.subtitle.back() = Ellipsized(cr, block.subtitle.back() + " \u2026", width, block.subtitle_size, false);
    }
    return block;
}

void DrawAxes(cairo_t* cr, const Panel& panel, const std::vector<Tick>& x_ticks, const std::vector<Tick>& y_ticks,
              const std::string& x_label, const std::string& y_label, const std::string& heading) {
    cairo_set_line_width(cr, 1.0);
    for (const Tick& tick : x_ticks) {
        SetColour(cr, tick.label.empty() ? MINOR_GRID : GRID);
        const double x = std::round(panel.X(tick.value)) + 0.5;
        cairo_move_to(cr, x, panel.top);
        cairo_line_to(cr, x, panel.bottom);
        cairo_stroke(cr);
        SetColour(cr, INK);
        if (!tick.label.empty()) Text(cr, x, panel.bottom + 16.0, tick.label, 0.5, LABEL_SIZE);
    }
    for (const Tick& tick : y_ticks) {
        SetColour(cr, GRID);
        const double y = std::round(panel.Y(tick.value)) + 0.5;
        cairo_move_to(cr, panel.left, y);
        cairo_line_to(cr, panel.right, y);
        cairo_stroke(cr);
        SetColour(cr, INK);
        Text(cr, panel.left - 6.0, y + 4.0, tick.label, 1.0, LABEL_SIZE);
    }
    SetColour(cr, INK);
    cairo_rectangle(cr, panel.left + 0.5, panel.top + 0.5, panel.right - panel.left, panel.bottom - panel.top);
    cairo_stroke(cr);
    Text(cr, (panel.left + panel.right) / 2.0, panel.bottom + 34.0, x_label, 0.5, LABEL_SIZE);
    Text(cr, panel.left, panel.top - 8.0, heading, 0.0, SUBTITLE_SIZE, true);
    cairo_save(cr);
    cairo_translate(cr, panel.left - 46.0, (panel.top + panel.bottom) / 2.0);
    cairo_rotate(cr, -std::numbers::pi / 2.0);
    Text(cr, 0.0, 0.0, y_label, 0.5, LABEL_SIZE);
    cairo_restore(cr);
}

void ClipTo(cairo_t* cr, const Panel& panel) {
    cairo_rectangle(cr, panel.left, panel.top, panel.right - panel.left, panel.bottom - panel.top);
    cairo_clip(cr);
}

// The key, on the heading's line at the right: what the outline and the red marks each show. They differ for an
// interpolated tap, whose echo is split over samples that are each quieter than the whole (6 dB for a half).
void DrawEnvelopeKey(cairo_t* cr, const Panel& panel, bool interpolated) {
    const std::string outline = "loudest sample of each stretch";
    const std::string mark = interpolated ? "echo: its split samples summed, at their centre" : "echo: its peak sample";
    constexpr double SWATCH = 10.0, GAP = 5.0, SPACE = 18.0;
    const double y = panel.top - 8.0;
    double x = panel.right - Advance(cr, mark, LABEL_SIZE, false);
    SetColour(cr, INK);
    Text(cr, x, y, mark, 0.0, LABEL_SIZE);
    x -= GAP + SWATCH / 2.0;
    SetColour(cr, MARK);
    cairo_arc(cr, x, y - 4.0, 2.6, 0.0, 2.0 * std::numbers::pi);
    cairo_fill(cr);
    x -= SWATCH / 2.0 + SPACE + Advance(cr, outline, LABEL_SIZE, false);
    SetColour(cr, INK);
    Text(cr, x, y, outline, 0.0, LABEL_SIZE);
    x -= GAP + SWATCH;
    cairo_rectangle(cr, x, y - SWATCH + 1.0, SWATCH, SWATCH);
    SetColour(cr, ENVELOPE_FILL);
    cairo_fill_preserve(cr);
    SetColour(cr, CURVE);
    cairo_set_line_width(cr, 0.8);
    cairo_stroke(cr);
}

void DrawEnvelope(cairo_t* cr, const ImpulseAnalysis& analysis) {
    double loudest = ENVELOPE_FLOOR_DB;
    for (const EnvelopePoint& point : analysis.envelope) loudest = std::max(loudest, point.level_db);
    const double length_ms = std::max(1.0, static_cast<double>(analysis.frames) * 1000.0 / analysis.rate);
    const double top_db = 10.0 * std::ceil((std::max(loudest, 0.0) + ENVELOPE_HEADROOM_DB) / 10.0);
    const Panel panel{LEFT, ENVELOPE_TOP, RIGHT, ENVELOPE_BOTTOM, 0.0, length_ms, ENVELOPE_FLOOR_DB, top_db, false};
    DrawAxes(cr, panel, LinearTicks(0.0, length_ms, 10.0), LinearTicks(ENVELOPE_FLOOR_DB, top_db, 8.0),
             "time (ms)", "level (dB)", "Echo envelope");
    if (!analysis.echoes.empty()) DrawEnvelopeKey(cr, panel, analysis.interpolated);

    cairo_save(cr);
    ClipTo(cr, panel);
    // Each point holds for its stretch of samples: a step outline, filled down to the floor.
    cairo_move_to(cr, panel.X(0.0), panel.bottom);
    for (std::size_t i = 0; i < analysis.envelope.size(); ++i) {
        const EnvelopePoint& point = analysis.envelope[i];
        const double end = i + 1 < analysis.envelope.size() ? analysis.envelope[i + 1].time_ms : length_ms;
        cairo_line_to(cr, panel.X(point.time_ms), panel.Y(point.level_db));
        cairo_line_to(cr, panel.X(end), panel.Y(point.level_db));
    }
    cairo_line_to(cr, panel.X(length_ms), panel.bottom);
    cairo_close_path(cr);
    SetColour(cr, ENVELOPE_FILL);
    cairo_fill_preserve(cr);
    SetColour(cr, CURVE);
    cairo_set_line_width(cr, 0.8);
    cairo_stroke(cr);

    double last_label = -1.0e9;
    for (const Echo& echo : analysis.echoes) {
        const double x = panel.X(echo.time_ms);
        const double y = panel.Y(echo.level_db);
        SetColour(cr, MARK);
        cairo_arc(cr, x, y, 2.6, 0.0, 2.0 * std::numbers::pi);
        cairo_fill(cr);
        // The label stands over its mark, moved in from the panel's edges.
        const double centre = std::clamp(x, panel.left + MARK_LABEL_GAP / 2.0, panel.right - MARK_LABEL_GAP / 2.0);
        if (centre - last_label >= MARK_LABEL_GAP) {
            const char* time_format = echo.time_ms < 10.0 ? "%.2f ms" : echo.time_ms < 1000.0 ? "%.1f ms"
                                                                                              : "%.0f ms";
            SetColour(cr, INK);
            Text(cr, centre, y - 18.0, Format(time_format, echo.time_ms), 0.5, MARK_SIZE);
            Text(cr, centre, y - 7.0, Format("%.1f dB", echo.level_db), 0.5, MARK_SIZE);
            last_label = centre;
        }
    }
    cairo_restore(cr);
}

void DrawResponse(cairo_t* cr, const ImpulseAnalysis& analysis) {
    if (analysis.response.empty()) return;
    double loudest = RESPONSE_FLOOR_DB;
    double quietest = -RESPONSE_FLOOR_DB;
    for (const ResponsePoint& point : analysis.response) {
        loudest = std::max(loudest, point.magnitude_db);
        quietest = std::min(quietest, point.magnitude_db);
    }
    // 6 dB steps around the curve, at most 96 dB deep and at least 12 dB.
    const double top_db = 6.0 * std::ceil((loudest + 1.0) / 6.0);
    const double bottom_db = std::min(top_db - 12.0, std::max(6.0 * std::floor((quietest - 1.0) / 6.0), top_db - 96.0));
    const Panel panel{LEFT, RESPONSE_TOP, RIGHT, RESPONSE_BOTTOM, ResponseLowHz(analysis.rate),
                      analysis.rate / 2.0, bottom_db, top_db, true};
    DrawAxes(cr, panel, FrequencyTicks(panel.x_low, panel.x_high), LinearTicks(bottom_db, top_db, 8.0),
             "frequency (Hz)", "magnitude (dB)", "Magnitude response");

    cairo_save(cr);
    ClipTo(cr, panel);
    // Far more points than pixels at high frequencies: each pixel column shows the least and the greatest of
    // its points, so that the comb's narrow notches stay visible.
    bool started = false;
    double column = -1.0;
    double low = 0.0;
    double high = 0.0;
    auto flush = [&] {
        if (column < 0.0) return;
        if (!started) cairo_move_to(cr, column, panel.Y(high));
        started = true;
        cairo_line_to(cr, column, panel.Y(high));
        cairo_line_to(cr, column, panel.Y(low));
    };
    for (const ResponsePoint& point : analysis.response) {
        const double x = std::round(panel.X(point.frequency_hz) * 2.0) / 2.0;
        if (x != column) {
            flush();
            column = x;
            low = high = point.magnitude_db;
        } else {
            low = std::min(low, point.magnitude_db);
            high = std::max(high, point.magnitude_db);
        }
    }
    flush();
    SetColour(cr, CURVE);
    cairo_set_line_width(cr, 1.2);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke(cr);
    cairo_restore(cr);
}

// The title and the subtitle above the panels, wrapped, and smaller only down to MIN_TITLE_SIZE: whatever does
// not fit then ends in an ellipsis rather than shrinking further.
void DrawTitle(cairo_t* cr, const FigureText& text) {
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    SetColour(cr, INK);
    const TitleBlock block = LayTitles(cr, text, FIGURE_WIDTH - 2.0 * TITLE_MARGIN);
    double baseline = TITLE_TOP + block.title_size;
    for (const std::string& line : block.title) {
        Text(cr, TITLE_MARGIN, baseline, line, 0.0, block.title_size, true);
        baseline += LINE_SPACING * block.title_size;
    }
    baseline += (0.5 - LINE_SPACING) * block.title_size;
    for (const std::string& line : block.subtitle) {
        baseline += LINE_SPACING * block.subtitle_size;
        Text(cr, TITLE_MARGIN, baseline, line, 0.0, block.subtitle_size);
    }
}

void Draw(cairo_t* cr, const ImpulseAnalysis& analysis, const FigureText& text) {
    DrawTitle(cr, text);
    DrawEnvelope(cr, analysis);
    DrawResponse(cr, analysis);
}

struct SurfaceFree {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextFree {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};

}  // namespace

const FigureKind* FigureKindForPath(const std::string& path) {
    const std::string extension = ExtensionOf(path);
    for (const FigureKind& kind : FIGURE_KINDS) {
        if (kind.extension == extension) return &kind;
    }
    return nullptr;
}

std::string_view FigureKindName(const FigureKind& kind) { return kind.name; }

std::string FigureExtensions() {
    std::string text;
    for (std::size_t i = 0; i < std::size(FIGURE_KINDS); ++i) {
        text += (i == 0 ? "." : i + 1 == std::size(FIGURE_KINDS) ? " or ."
                                                                 : ", .");
        text += FIGURE_KINDS[i].extension;
    }
    return text;
}

namespace {

// Draws with `draw` on a surface of `kind` that writes to `out`, then lets cairo's and fontconfig's caches go.
void DrawOnSurface(const FigureKind& kind, std::FILE* out, const std::function<void(cairo_t*)>& draw) {
    cairo_status_t status = CAIRO_STATUS_SUCCESS;
    {
        const std::unique_ptr<cairo_surface_t, SurfaceFree> surface(kind.create(out));
        status = cairo_surface_status(surface.get());
        if (status == CAIRO_STATUS_SUCCESS) {
            const std::unique_ptr<cairo_t, ContextFree> cr(cairo_create(surface.get()));
            draw(cr.get());
            status = cairo_status(cr.get());
        }
        if (status == CAIRO_STATUS_SUCCESS) status = kind.finish(surface.get(), out);
    }
    // cairo keeps every font it looked up, and fontconfig its configuration, for the life of the process.
    // Nothing of either is alive here, so let them go: leak checkers then see a clean exit (the next figure
    // would load them again).
    cairo_debug_reset_static_data();
    FcFini();
    if (status == CAIRO_STATUS_NO_MEMORY) throw std::bad_alloc();
    if (status != CAIRO_STATUS_SUCCESS) {
        throw Failure(EXIT_OUTPUT, std::string("cannot draw the figure: ") + cairo_status_to_string(status));
    }
}

constexpr double PATTERN_FLOOR_DB = -60.0;
constexpr Colour SIDE_COLOURS[] = {CURVE, MARK};
constexpr Colour ROOM_FILL{0.96, 0.96, 0.93};
constexpr double PLAN_TOP = 430.0;
constexpr double PLAN_BOTTOM = 690.0;

void DrawStems(cairo_t* cr, const PatternFigure& figure) {
    double last_ms = 1.0;
    for (const auto& stem : figure.stems) last_ms = std::max(last_ms, stem.time_ms);
    const double length_ms = last_ms * 1.05;
    const Panel panel{LEFT, ENVELOPE_TOP, RIGHT, ENVELOPE_BOTTOM, 0.0, length_ms, PATTERN_FLOOR_DB, 0.0, false};
    DrawAxes(cr, panel, LinearTicks(0.0, length_ms, 10.0), LinearTicks(PATTERN_FLOOR_DB, 0.0, 6.0),
             "delay after the direct sound (ms)", "level re direct (dB)", "Taps");
    cairo_save(cr);
    ClipTo(cr, panel);
    cairo_set_line_width(cr, 1.2);
    for (const auto& stem : figure.stems) {
        SetColour(cr, SIDE_COLOURS[stem.channel % 2]);
        const double x = panel.X(stem.time_ms) + (figure.channels == 2 ? (stem.channel == 0 ? -1.0 : 1.0) : 0.0);
        cairo_move_to(cr, x, panel.bottom);
        cairo_line_to(cr, x, panel.Y(stem.level_db));
        cairo_stroke(cr);
        cairo_arc(cr, x, panel.Y(stem.level_db), 2.2, 0.0, 2.0 * std::numbers::pi);
        cairo_fill(cr);
    }
    cairo_restore(cr);
    if (figure.channels == 2) {
        const char* sides[] = {"left", "right"};
        for (int side = 0; side < 2; ++side) {
            SetColour(cr, SIDE_COLOURS[side]);
            const double x = panel.right - 110.0 + side * 55.0;
            cairo_rectangle(cr, x, panel.top + 10.0, 10.0, 10.0);
            cairo_fill(cr);
            SetColour(cr, INK);
            Text(cr, x + 14.0, panel.top + 19.0, sides[side], 0.0, LABEL_SIZE);
        }
    }
}

void DrawPlan(cairo_t* cr, const PatternFigure& figure) {
    // Seen from above at one scale on both axes, wide enough for every image source drawn.
    double x_low = 0.0, x_high = figure.size.x, y_low = 0.0, y_high = figure.size.y;
    for (const auto& image : figure.images) {
        x_low = std::min(x_low, image.at.x);
        x_high = std::max(x_high, image.at.x);
        y_low = std::min(y_low, image.at.y);
        y_high = std::max(y_high, image.at.y);
    }
    const double margin = 0.05 * std::max(x_high - x_low, y_high - y_low);
    x_low -= margin, x_high += margin, y_low -= margin, y_high += margin;
    const double height = PLAN_BOTTOM - PLAN_TOP;
    const double scale = std::min((RIGHT - LEFT) / (x_high - x_low), height / (y_high - y_low));
    const double left = (LEFT + RIGHT) / 2.0 - scale * (x_high - x_low) / 2.0;
    auto X = [&](double x) { return left + (x - x_low) * scale; };
    auto Y = [&](double y) { return PLAN_BOTTOM - (y - y_low) * scale; };
    SetColour(cr, INK);
    Text(cr, LEFT, PLAN_TOP - 8.0, "The room from above, with its image sources (darker: fewer reflections)", 0.0,
         SUBTITLE_SIZE, true);
    cairo_rectangle(cr, X(0.0), Y(figure.size.y), figure.size.x * scale, figure.size.y * scale);
    SetColour(cr, ROOM_FILL);
    cairo_fill_preserve(cr);
    SetColour(cr, INK);
    cairo_set_line_width(cr, 2.0);
    cairo_stroke(cr);
    for (const auto& image : figure.images) {
        const double shade = 0.15 + 0.6 * (image.order - 1) / std::max(1, figure.max_order);
        cairo_set_source_rgb(cr, shade, shade, shade);
        cairo_arc(cr, X(image.at.x), Y(image.at.y), 2.5, 0.0, 2.0 * std::numbers::pi);
        cairo_fill(cr);
    }
    SetColour(cr, MARK);
    cairo_arc(cr, X(figure.source.x), Y(figure.source.y), 5.0, 0.0, 2.0 * std::numbers::pi);
    cairo_fill(cr);
    Text(cr, X(figure.source.x) + 8.0, Y(figure.source.y) + 4.0, "source", 0.0, MARK_SIZE);
    SetColour(cr, CURVE);
    for (const auto& point : figure.listeners) {
        cairo_rectangle(cr, X(point.x) - 3.5, Y(point.y) - 3.5, 7.0, 7.0);
        cairo_fill(cr);
    }
    if (!figure.listeners.empty()) {
        Text(cr, X(figure.listeners.back().x) + 8.0, Y(figure.listeners.back().y) + 4.0, "listener", 0.0, MARK_SIZE);
    }
}

}  // namespace

void DrawFigure(const ImpulseAnalysis& analysis, const FigureText& text, const FigureKind& kind, std::FILE* out) {
    DrawOnSurface(kind, out, [&](cairo_t* cr) { Draw(cr, analysis, text); });
}

void DrawPatternFigure(const PatternFigure& figure, const FigureKind& kind, std::FILE* out) {
    DrawOnSurface(kind, out, [&](cairo_t* cr) {
        DrawTitle(cr, figure.text);
        DrawStems(cr, figure);
        DrawPlan(cr, figure);
    });
}

}  // namespace er_render
