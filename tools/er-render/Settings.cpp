#include "Settings.h"

#include <cfloat>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "EffectPins.h"
#include "Failure.h"
#include "ListText.h"
#include "Text.h"

namespace er_render {

using namespace er_text;

namespace {

[[noreturn]] void Reject(const Assignment& assignment, const std::string& why) {
    throw Failure(EXIT_USAGE, assignment.origin + ": " + why);
}

bool IsSettable(const er_host::PinDescription& pin) {
    return (pin.direction == DR_IN || pin.direction == DR_SETTING) &&
           (pin.datatype == DT_LIST || pin.datatype == DT_FSAMPLE) && pin.name != pins::AUDIO_IN;
}

const er_host::PinDescription* FindPinByName(const std::vector<er_host::PinDescription>& pins,
                                             std::string_view name) {
    for (const auto& pin : pins) {
        if (pin.name == name) return &pin;
    }
    for (const auto& pin : pins) {
        if (EqualsIgnoreCase(pin.name, name)) return &pin;
    }
    return nullptr;
}

void SetChoice(PinSetting& setting, const ListEntry& entry) {
    setting.value = static_cast<std::int16_t>(entry.value);
    setting.entry = entry.text;
}

float CheckedPinValue(const Assignment& assignment, std::string_view text) {
    const auto shown = ParseNumber(text);
    if (!shown) Reject(assignment, Quoted(Trim(text)) + " is not a number");
    if (!(std::abs(*shown / 10.0) <= FLT_MAX)) Reject(assignment, Quoted(Trim(text)) + " is out of range");
    return effect_pins::PinFloat(*shown);
}

void ApplyChoice(PinSetting& setting, const er_host::PinDescription& pin, const Assignment& assignment) {
    const auto entries = ParseListText(pin.extra_text);
    if (const ListEntry* entry = FindChoice(entries, assignment.value)) {
        SetChoice(setting, *entry);
        return;
    }
    if (assignment.value.find("..") != std::string::npos) {
        Reject(assignment, Quoted(pin.name) + " is a choice pin; only float pins can ramp");
    }
    Reject(assignment, Quoted(assignment.value) + " is not a choice of " + Quoted(pin.name) + " (" +
                           DescribeChoices(entries) + ")");
}

// One end of a float value: a plain shown number, or on "1 Time" a delay with a unit (converted later, when the
// rate and "Time Mode" are known; `pin` then holds 0 until ApplyDelayUnits).
void ApplyEnd(const PinSetting& setting, const Assignment& assignment, std::string_view text, float& pin,
              std::optional<DelayAsked>& delay) {
    delay = ParseDelay(text);
    if (!delay && setting.name == pins::TIME && !ParseNumber(text)) {
        // A number with a word after it was meant as a delay in a unit this tool does not spell that way.
        const std::string_view trimmed = Trim(text);
        const std::size_t letters = trimmed.find_first_not_of("0123456789.+-eE ");
        if (letters != std::string_view::npos && letters > 0 && ParseNumber(trimmed.substr(0, letters))) {
            const std::string word = ToLower(trimmed.substr(letters));
            const char* unit = word.starts_with("sa") || word.starts_with("sm") ? "smp" : word.starts_with('m') ? "ms" : "s";
            Reject(assignment, Quoted(trimmed) + " is not a number nor a delay: the units are s, ms and smp (samples), as " +
                                   Quoted(std::string(Trim(trimmed.substr(0, letters))) + unit));
        }
    }
    if (!delay) {
        pin = CheckedPinValue(assignment, text);
        return;
    }
    if (setting.name != pins::TIME) {
        Reject(assignment, Quoted(Trim(text)) + ": only \"" + std::string(pins::TIME) + "\" takes a unit");
    }
    pin = 0.0f;
}

void CheckLimit(const PinSetting& setting, const Assignment& assignment) {
    const ValueLimit* limit = FindValueLimit(setting.name);
    if (limit == nullptr) return;
    auto shown = [](float pin, const std::optional<DelayAsked>& delay) {
        return delay ? delay->amount : PinToShown(pin);
    };
    for (const double value : {shown(setting.from, setting.from_delay), shown(setting.to, setting.to_delay)}) {
        if (value < limit->low || value > limit->high) {
            Reject(assignment, Quoted(setting.name) + " takes " + DescribeLimit(*limit) + ", not " +
                                   Quoted(assignment.value) + ": " + std::string(limit->why) +
                                   " (--allow-unsafe accepts it)");
        }
    }
}

void ApplyFloat(PinSetting& setting, const Assignment& assignment) {
    const std::string_view value = assignment.value;
    const std::size_t dots = value.find("..");
    setting.ramp = dots != std::string_view::npos;
    ApplyEnd(setting, assignment, value.substr(0, dots), setting.from, setting.from_delay);
    if (setting.ramp) {
        ApplyEnd(setting, assignment, value.substr(dots + 2), setting.to, setting.to_delay);
    } else {
        setting.to = setting.from;
        setting.to_delay = setting.from_delay;
    }
}

PinSetting DefaultSetting(const er_host::PinDescription& pin) {
    PinSetting setting;
    setting.pin = pin.index;
    setting.name = pin.name;
    setting.choice = pin.datatype == DT_LIST;
    if (setting.choice) {
        const auto entries = ParseListText(pin.extra_text);
        const std::string_view wanted = pin.name == pins::ACTIVE ? pins::ACTIVE_DEFAULT
                                                                 : std::string_view(pin.default_value);
        if (const ListEntry* entry = FindChoice(entries, wanted)) {
            SetChoice(setting, *entry);
        } else if (!entries.empty()) {
            SetChoice(setting, entries.front());
        }
    } else if (const auto shown = ParseNumber(pin.default_value)) {
        setting.from = setting.to = effect_pins::PinFloat(*shown);
    }
    return setting;
}

}  // namespace

Assignment ParseAssignment(std::string_view text, const std::string& origin) {
    try {
        return er_text::ParseAssignment(text, origin);
    } catch (const er_text::SettingsSyntaxError& error) {
        throw Failure(EXIT_USAGE, error.what());
    }
}

std::vector<Assignment> ParseSettingsText(std::string_view text, const std::string& file_name) {
    try {
        return er_text::ParseSettingsText(text, file_name);
    } catch (const er_text::SettingsSyntaxError& error) {
        throw Failure(EXIT_USAGE, error.what());
    }
}

std::vector<Assignment> ReadSettingsFile(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        throw Failure(EXIT_USAGE, "the settings file " + Quoted(path) + " is a folder");
    }
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (file) text << file.rdbuf();
    if (!file || file.bad()) throw Failure(EXIT_USAGE, "cannot read the settings file " + Quoted(path));
    return ParseSettingsText(text.str(), path);
}

double PinToShown(float value) { return static_cast<double>(value) * 10.0; }

const ValueLimit* FindValueLimit(std::string_view pin) {
    for (const ValueLimit& limit : effect_pins::STABLE_RANGES) {
        if (effect_pins::Name(limit.pin) == pin) return &limit;
    }
    return nullptr;
}

std::string DescribeLimit(const ValueLimit& limit) {
    if (std::isinf(limit.high)) return FormatNumber(limit.low) + " or more";
    return FormatNumber(limit.low) + " .. " + FormatNumber(limit.high);
}

std::vector<PinSetting> ResolveSettings(const std::vector<er_host::PinDescription>& pins,
                                        const std::vector<Assignment>& assignments, bool accept_any_value) {
    std::vector<PinSetting> settings;
    for (const auto& pin : pins) {
        if (IsSettable(pin)) settings.push_back(DefaultSetting(pin));
    }
    for (const Assignment& assignment : assignments) {
        const er_host::PinDescription* pin = FindPinByName(pins, assignment.name);
        if (pin == nullptr) {
            // "1 Volume 10=100%" alone splits at its own '=': the user named a pin and gave no value.
            const std::string whole = assignment.name + "=" + assignment.value;
            if (const auto* named = FindPinByName(pins, whole)) {
                Reject(assignment,
                       "no value for " + Quoted(named->name) + " (write " + Quoted(named->name + "=VALUE") + ")");
            }
            Reject(assignment, "the module has no pin " + Quoted(assignment.name) + " (see er-render --list-pins)");
        }
        if (!IsSettable(*pin)) {
            Reject(assignment, Quoted(pin->name) + (pin->direction == DR_OUT
                                                        ? " is an output pin"
                                                        : " carries the input audio; it cannot be set"));
        }
        PinSetting* setting = nullptr;
        for (PinSetting& candidate : settings) {
            if (candidate.pin == pin->index) setting = &candidate;
        }
        if (setting->choice) {
            ApplyChoice(*setting, *pin, assignment);
        } else {
            ApplyFloat(*setting, assignment);
            if (!accept_any_value) CheckLimit(*setting, assignment);
        }
        setting->from_user = true;
        setting->origin = assignment.origin;
    }
    return settings;
}

const PinSetting* FindSetting(const std::vector<PinSetting>& settings, std::string_view name) {
    for (const PinSetting& setting : settings) {
        if (setting.name == name) return &setting;
    }
    return nullptr;
}

}  // namespace er_render
