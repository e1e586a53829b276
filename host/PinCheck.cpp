#include "PinCheck.h"

#include <algorithm>

namespace er_host {

namespace {

std::string Quoted(std::string_view name) {
    return "\"" + std::string(name) + "\"";
}

}  // namespace

std::string CheckPins(const std::vector<PinDescription>& described, PinIndexes& indexes) {
    std::string difference;
    const auto note = [&](std::string text) {
        if (difference.empty()) difference = std::move(text);
    };
    for (const effect_pins::PinFacts& facts : effect_pins::PINS) {
        std::int32_t& index = indexes.index[static_cast<std::size_t>(facts.pin)];
        index = -1;
        const auto found = std::find_if(described.begin(), described.end(),
                                        [&](const PinDescription& pin) { return pin.name == facts.name; });
        if (found == described.end()) {
            note("the module has no pin " + Quoted(facts.name));
            continue;
        }
        if (found->direction != facts.direction || found->datatype != facts.datatype) {
            note("pin " + Quoted(facts.name) + " has direction " + std::to_string(found->direction) + " and type " +
                 std::to_string(found->datatype) + ", expected " + std::to_string(facts.direction) + " and " +
                 std::to_string(facts.datatype));
            continue;
        }
        const std::int16_t entries = found->has_extra ? effect_pins::ListEntries(found->extra_text) : 0;
        if (facts.datatype == DT_LIST && entries != facts.Choices()) {
            note("pin " + Quoted(facts.name) + " lists " + std::to_string(entries) + " entries, expected " +
                 std::to_string(facts.Choices()));
            continue;
        }
        index = found->index;
    }
    return difference;
}

}  // namespace er_host
