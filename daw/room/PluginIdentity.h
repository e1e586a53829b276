// The room plug-in's identity: what each format must know before any instance exists (PluginIdentity).
#pragma once

#include "PluginFacts.h"

namespace er_daw {

inline const char* CLAP_FEATURES[] = {"audio-effect", "reverb", nullptr};
inline constexpr PluginIdentity IDENTITY = {Kind::Room, "Early Reflection Room", "urn:early-reflection:ZV_1x_ER_Gen_room",
                                            CLAP_FEATURES, "Fx|Reverb", FourCharacters("ERrm")};

}  // namespace er_daw
