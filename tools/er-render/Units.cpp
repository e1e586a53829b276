#include "Units.h"

#include "Failure.h"
#include "SampleCodec.h"
#include "Text.h"

namespace er_render {

using namespace er_text;

namespace {

struct Unit {
    std::string_view suffix;
    double per_second;  // 0: samples
};
// Longest suffix first, so that "ms" and "smp" are not read as "s".
constexpr Unit TIME_UNITS[] = {{"smp", 0.0}, {"ms", 1000.0}, {"s", 1.0}, {"", 1.0}};

// The unit `trimmed` ends with (the longest that matches; the last row matches anything) and the number before it.
std::pair<const Unit*, std::string_view> SplitUnit(std::string_view trimmed) {
    for (const Unit& unit : TIME_UNITS) {
        if (trimmed.size() >= unit.suffix.size() &&
            EqualsIgnoreCase(trimmed.substr(trimmed.size() - unit.suffix.size()), unit.suffix)) {
            return {&unit, Trim(trimmed.substr(0, trimmed.size() - unit.suffix.size()))};
        }
    }
    return {nullptr, trimmed};
}

}  // namespace

std::optional<DelayAsked> ParseDelay(std::string_view text) {
    const std::string_view trimmed = Trim(text);
    const auto [unit, number] = SplitUnit(trimmed);
    if (unit == nullptr || unit->suffix.empty()) return std::nullopt;
    const auto amount = ParseNumber(number);
    if (!amount) return std::nullopt;
    return DelayAsked{*amount, unit->per_second, std::string(trimmed)};
}

std::int64_t ParseMoment(std::string_view text, float rate) {
    const std::string_view trimmed = Trim(text);
    const std::string bad = Quoted(trimmed) + " is not a time (seconds, \"250ms\" or \"12000smp\")";
    const auto [unit, number] = SplitUnit(trimmed);
    if (unit == nullptr) throw Failure(EXIT_USAGE, bad);
    if (unit->per_second == 0.0) {
        const auto samples = ParseInteger(number);
        if (!samples) throw Failure(EXIT_USAGE, bad);
        return *samples;
    }
    const auto amount = ParseNumber(number);
    if (!amount) throw Failure(EXIT_USAGE, bad);
    bool outside = false;
    return RoundToRange(*amount * rate / unit->per_second, INT64_MIN / 2, INT64_MAX / 2, outside);
}

std::optional<double> ParseDecibels(std::string_view text) {
    std::string_view trimmed = Trim(text);
    if (trimmed.size() >= 2 && EqualsIgnoreCase(trimmed.substr(trimmed.size() - 2), "db")) {
        trimmed = Trim(trimmed.substr(0, trimmed.size() - 2));
    }
    return ParseNumber(trimmed);
}

}  // namespace er_render
