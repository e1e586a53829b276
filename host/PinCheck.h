// Checks a loaded module's pins against the early-reflection module's pin facts (PinFacts.h), so that a renamed
// pin or a list that grew is reported at load instead of driving the wrong pin.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Host.h"
#include "PinFacts.h"

namespace er_host {

// The host's index of each pin of a loaded module.
struct PinIndexes {
    std::array<std::int32_t, effect_pins::PIN_COUNT> index{};
    std::int32_t operator[](effect_pins::Pin pin) const { return index[static_cast<std::size_t>(pin)]; }
};

// Finds every pin of effect_pins::PINS among a module's descriptions and checks its direction, type and number
// of list entries. Returns an empty text when all agree, otherwise the first difference; the index of each pin
// that is missing or differs is -1, every other pin's index is set all the same (a test may build a host with
// fewer pins on purpose).
std::string CheckPins(const std::vector<PinDescription>& described, PinIndexes& indexes);

}  // namespace er_host
