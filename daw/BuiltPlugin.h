// What one plug-in binary is built around, for both formats: its facts, with the presets built into it (worked out
// once, when first asked for), and its core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

#include "EffectCore.h"
#include "PluginFacts.h"
#include "PresetTexts.h"
#include "RoomCore.h"

namespace er_daw {

// Empty (no ports) when the facts could not be worked out (no memory): the plug-in then refuses to start.
template <Kind KIND>
const PluginFacts& BuiltFacts() noexcept {
    static const PluginFacts facts = []() noexcept {
        try {
            return MakeFacts(KIND, {std::begin(PRESET_TEXTS), std::end(PRESET_TEXTS)});
        } catch (...) {
            return PluginFacts{KIND, {}, {}, {}, {}, {}, {}, {}};
        }
    }();
    return facts;
}

// A plug-in's audio channels each way (its facts' inputs and outputs), known when it is compiled.
constexpr std::uint32_t InChannels(Kind kind) { return kind == Kind::Stereo ? 2 : 1; }
constexpr std::uint32_t OutChannels(Kind kind) { return kind == Kind::Mono ? 1 : 2; }
// Its readings (read-only parameters: the delay played, in samples and in ms; the room has none).
constexpr std::size_t ReadingCount(Kind kind) { return kind == Kind::Room ? 0 : 2; }

// The plug-in core of a kind: the room's or the effects'.
template <Kind KIND>
using CoreOf = std::conditional_t<KIND == Kind::Room, er_plugin::RoomCore, er_plugin::EffectCore>;

// A core of this kind at `rate`; null where the core refuses (an unusable rate, no memory). Allocates.
template <Kind KIND>
CoreOf<KIND>* MakeCore(double rate, std::int32_t max_block, er_plugin::WorkQueue* queue) {
    if constexpr (KIND == Kind::Room) {
        return er_plugin::RoomCore::Create(rate, max_block, queue);
    } else {
        return er_plugin::EffectCore::Create(er_plugin::VARIANTS[KIND == Kind::Mono ? 0 : 1], rate, max_block, queue);
    }
}

// The core's run, without its look at the controls while `untouched` (no control written since its last run: the
// effects' core then skips that look; the room's run is its own cost, so it has no such run); untouched after it.
template <class C>
void RunCore(C& core, bool& untouched, std::uint32_t frames) {
    if constexpr (requires { core.RunUntouched(frames); }) {
        if (untouched) {
            core.RunUntouched(frames);
            return;
        }
    }
    core.Run(frames);
    untouched = true;
}

}  // namespace er_daw
