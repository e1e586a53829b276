// The stereo plug-in's identity: what each format must know before any instance exists (PluginIdentity).
#pragma once

#include "PluginFacts.h"

namespace er_daw {

inline const char* CLAP_FEATURES[] = {"audio-effect", "delay", "stereo", nullptr};
inline constexpr PluginIdentity IDENTITY = {Kind::Stereo, "1x_Early_Reflection_ZV2005 Stereo",
                                            "urn:early-reflection:ZV_1x_ER_Gen_stereo", CLAP_FEATURES, "Fx|Delay",
                                            FourCharacters("ERst")};

}  // namespace er_daw
