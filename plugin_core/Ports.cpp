#include "Ports.h"

#include <algorithm>
#include <cmath>

#include "ListText.h"
#include "ModuleExports.h"
#include "PinFacts.h"
#include "Text.h"

namespace er_plugin {

namespace {

// The port kind each pin's row in the shared pin table calls for.
bool KindFits(PortKind kind, const effect_pins::PinFacts& facts) {
    switch (kind) {
    case PortKind::AudioOut: return facts.direction == DR_OUT && facts.datatype == DT_FSAMPLE;
    case PortKind::Toggle: return facts.datatype == DT_LIST && facts.Choices() == 2;
    case PortKind::Choice: return facts.datatype == DT_LIST;
    default: return facts.direction != DR_OUT && facts.datatype == DT_FSAMPLE;
    }
}

std::string Text(const char* text) { return text ? std::string(text) : std::string(); }

bool Translate(PortDescription& port, const SEPinProperties& pin) {
    const std::string default_text = Text(pin.default_value);
    const std::string extra = Text(pin.extra_text);
    if (IsChoice(port.row.kind)) {
        const auto parsed = er_text::ParseListText(extra);
        for (const er_text::ListEntry& entry : parsed) {
            port.entries.push_back({entry.text, static_cast<std::int16_t>(entry.value)});
        }
        if (port.entries.empty()) return false;
        auto [low, high] = std::minmax_element(port.entries.begin(), port.entries.end(),
                                               [](const auto& a, const auto& b) { return a.value < b.value; });
        port.minimum = low->value;
        port.maximum = high->value;
        const er_text::ListEntry* chosen = er_text::FindChoice(parsed, default_text);
        port.default_value = !std::isnan(port.row.plugin_default) ? port.row.plugin_default
                             : chosen != nullptr                  ? static_cast<float>(chosen->value)
                                                                  : port.minimum;
        return port.row.kind != PortKind::Toggle || port.entries.size() == 2;
    }
    if (IsControl(port.row.kind)) {
        const auto shown = er_text::ParseNumber(default_text);
        port.default_value = shown ? static_cast<float>(*shown) : 0.0f;
        if (port.row.range == RangeRule::Own) {
            port.minimum = port.row.minimum;
            port.maximum = port.row.maximum;
            return true;
        }
        if (port.row.range == RangeRule::GateRange) {
            port.minimum = 0.0f;
            port.maximum = GATE_MAXIMUM;
            return true;
        }
        // The module's own range text, read as the tools read it (effect_pins); a sign the name promises makes
        // the range symmetric, as the feedback's stable range is.
        const effect_pins::ShownRange range = effect_pins::RangeOfText(extra);
        if (std::isnan(range.low)) return false;
        port.minimum = static_cast<float>(port.row.range == RangeRule::SignedText ? -range.high : range.low);
        port.maximum = static_cast<float>(range.high);
    }
    return true;
}

}  // namespace

bool IsControl(PortKind kind) { return kind != PortKind::AudioIn && kind != PortKind::AudioOut; }

bool IsChoice(PortKind kind) { return kind == PortKind::Toggle || kind == PortKind::Choice; }

bool IsPin(std::int32_t port) { return port >= 0 && port < PIN_PORTS; }

bool IsReading(PortKind kind) { return kind == PortKind::Reading; }

std::vector<PortDescription> PortDescriptions() {
    auto* record = static_cast<SEModuleRecord*>(makeModule(0, SE_KIND_DSP, nullptr, nullptr));
    if (record == nullptr) return {};
    std::vector<PortDescription> ports;
    bool known = true;
    for (std::int32_t index = 0; index < PIN_PORTS && known; ++index) {
        SEPinProperties pin{};
        PortDescription port{PORT_ROWS[index], {}, {}, 0.0f, 0.0f, 0.0f, {}};
        const effect_pins::PinFacts& facts = effect_pins::PINS[static_cast<std::size_t>(index)];
        known = KindFits(port.row.kind, facts) &&
                record->dispatch(record, OP_GET_PIN_PROPERTIES, index, 0, &pin, 0.0f) != 0 &&
                Text(pin.name) == facts.name && pin.direction == facts.direction &&
                pin.datatype == facts.datatype && pin.flags == 0 && Translate(port, pin) &&
                port.entries.size() == static_cast<std::size_t>(facts.Choices());
        port.pin_name = Text(pin.name);
        port.name = port.row.name != nullptr ? port.row.name : port.pin_name;
        ports.push_back(std::move(port));
    }
    SEPinProperties beyond{};
    known = known && record->dispatch(record, OP_GET_PIN_PROPERTIES, PIN_PORTS, 0, &beyond, 0.0f) == 0;
    record->dispatch(record, OP_CLOSE, 0, 0, nullptr, 0.0f);
    if (!known) return {};
    // The adapter's own ports; the right channel's audio ports take their names from the left one's.
    for (std::int32_t index = PIN_PORTS; index < PORT_COUNT; ++index) {
        const PortRow& row = PORT_ROWS[index];
        PortDescription port{row, row.name ? row.name : "", "", row.minimum, row.maximum, row.plugin_default, {}};
        if (index == PORT_AUDIO_IN_R) port.name = ports[PORT_AUDIO_IN].name;
        if (index == PORT_OUT_R) port.name = ports[PORT_OUT].name;
        ports.push_back(std::move(port));
    }
    return ports;
}

std::optional<std::int16_t> ChoiceFor(const PortDescription& port, float value) {
    if (port.row.kind == PortKind::Toggle) {
        if (std::isnan(value)) return std::nullopt;
        return port.entries[value > 0.0f ? 1 : 0].value;
    }
    // Within the 16-bit range first, so that the rounding below is defined.
    if (!(value > -32768.5f && value < 32767.5f)) return std::nullopt;
    const auto whole = static_cast<std::int16_t>(std::lround(value));
    for (const ChoiceEntry& entry : port.entries) {
        if (entry.value == whole) return whole;
    }
    return std::nullopt;
}

std::optional<float> ControlFor(const PortDescription& port, float value) {
    if (IsChoice(port.row.kind)) {
        const std::optional<std::int16_t> entry = ChoiceFor(port, value);
        return entry ? std::optional<float>(static_cast<float>(*entry)) : std::nullopt;
    }
    if (port.row.kind == PortKind::Switch) {
        return std::isnan(value) ? std::nullopt : std::optional<float>(value > 0.0f ? 1.0f : 0.0f);
    }
    return FloatFor(port, value);
}

std::optional<float> FloatFor(const PortDescription& port, float value) {
    if (!std::isfinite(value)) return std::nullopt;
    return std::clamp(value, port.minimum, port.maximum);
}

}  // namespace er_plugin
