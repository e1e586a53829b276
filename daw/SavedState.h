// The VST3 plug-ins' state: the program last chosen and every input parameter by symbol, in the layout the
// plug-ins' first VST3 builds wrote, so that the sessions saved with them load:
//   "__dpf_program__" 0 PROGRAM 0 "__dpf_parameters_begin__" 0 (SYMBOL 0 VALUE 0)... "__dpf_parameters_end__" 0 0xFE
// A symbol the plug-in does not know is passed over (a state from another version); a parameter the state leaves
// out keeps its value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "PluginFacts.h"

namespace er_daw::SavedState {

inline constexpr std::size_t LARGEST = 1 << 16;  // no state of these plug-ins comes near: anything longer is foreign

// `values`: one per port. Allocates; throws std::bad_alloc.
std::string Write(const PluginFacts& facts, std::int32_t program, const float* values);

// Into `program` and `values` (one per port, as the core takes each): false, with nothing changed, for bytes that are
// not such a state (another layout, a program the plug-in does not have, a value that is not a number) or are cut
// short. Allocates; throws std::bad_alloc.
bool Read(const PluginFacts& facts, std::string_view bytes, std::int32_t& program, float* values);

}  // namespace er_daw::SavedState
