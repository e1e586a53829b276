// The module's two exports, linked into the plug-in. The plug-in core reaches the module through these and the
// records they hand out, exactly as the modular host does, and through nothing else.
#pragma once

#include <cstdint>

#include "SEAbi.h"

extern "C" {
std::int32_t SE_CDECL getModuleProperties(std::int32_t index, SEModuleIdentity* identity);
void* SE_CDECL makeModule(std::int32_t index, std::int32_t kind, SEHostCallback host_callback, void* host_data);
}
