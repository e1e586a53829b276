// The mono plug-in's identity: what each format must know before any instance exists (PluginIdentity).
#pragma once

#include "PluginFacts.h"

namespace er_daw {

inline const char* CLAP_FEATURES[] = {"audio-effect", "delay", "mono", nullptr};
inline constexpr PluginIdentity IDENTITY = {Kind::Mono, "1x_Early_Reflection_ZV2005", "urn:early-reflection:ZV_1x_ER_Gen",
                                            CLAP_FEATURES, "Fx|Delay", FourCharacters("ERmo")};

}  // namespace er_daw
