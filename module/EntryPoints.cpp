// The library's face: its identity and the factory of its objects. The library holds one module, index 0.
#include <cstdint>
#include <iterator>
#include <new>

#include "GuiModule.h"
#include "Module.h"
#include "SEAbi.h"

#if defined(_WIN32)
#include <windows.h>
#define ER_EXPORT  // exported under its plain name by early_reflection.def
#else
#define ER_EXPORT __attribute__((visibility("default")))
#endif

namespace {

constexpr const char* UNIQUE_ID = "ZV_1x_ER_Gen";
constexpr const char* NAME = "1x_Early_Reflection_ZV2005";
constexpr std::int32_t FLAGS = 2240;  // 0x8C0; its meaning belongs to the host

// Lines separated by a single line feed, none after the last.
constexpr const char* ABOUT =
    "Dedicated Early Reflection Generator\n"
    "Ver:2.90 (SSE2, double-precision processing)\n"
    "\n"
    "Because of the nature of this function/effect most controls only respond to Block Rate Modulation\n"
    "\n"
    "The minimum Tap/Delay time allowed with this unit is 1 sample\n"
    "\n"
    "Features:\n"
    "Volume Modes:\n"
    "   Linear: +/- multiplication (*for dB control use ZV_dB_to_Level)\n"
    "   Analogue: Exponential (Exp of -ve Vol = +ve)\n"
    "Time Mode: Time specified in (s), (ms) or Samples\n"
    "Time Accuracy:-\n"
    "   Sample: Most common usage and Lowest CPU (Recommended)\n"
    "   Fractional(econ): Fractional delay times(Interpolated) with only Block Rate Modulation\n"
    "   Fractional(full): Fractional delay times(Interpolated) with Realtime Modulation *High CPU when modulated\n"
    "Activity ON/OFF switch\n"
    "Variable Max Delay Time\n"
    "Supports Sample Rates to 384Khz\n"
    "Gate(Poly Reset): Link if used in a Polyphonic chain\n"
    "\n"
    "Terms of use: this module is free to use in any patch, commercial or not, and may be passed on unchanged "
    "together with this text.\n"
    "It may not be sold on its own or passed off as anyone else's work.\n"
    "It comes without warranty of any kind; you use it at your own risk.";

// Allocation failure answers null: the host sees no object rather than an exception.
template <class Object>
void* MakeObject(SEHostCallback host_callback, void* host_data) {
    Object* object = new (std::nothrow) Object(host_callback, host_data);
    return object != nullptr ? static_cast<void*>(object->Record()) : nullptr;
}

struct ObjectKind {
    std::int32_t kind;
    void* (*make)(SEHostCallback host_callback, void* host_data);  // answers the new object's record
};

constexpr ObjectKind OBJECT_KINDS[] = {
    {SE_KIND_DSP, &MakeObject<Module>},     // SEModuleRecord*
    {SE_KIND_GUI, &MakeObject<GuiModule>},  // SEGUIRecord*
};

}  // namespace

extern "C" {

// Fills the identity for index 0 and answers 1; any other index answers 0 and leaves the record alone.
// The fields at offsets 12 and 16 are the host's and are never written.
ER_EXPORT std::int32_t SE_CDECL getModuleProperties(std::int32_t index, SEModuleIdentity* identity) {
    if (index != 0 || identity == nullptr) return 0;
    identity->unique_id = UNIQUE_ID;
    identity->name = NAME;
    identity->about = ABOUT;
    identity->flags = FLAGS;
    return 1;
}

// A new, independent object of `kind` for module `index`, or null. Objects are destroyed only by the host,
// through their record's dispatch entry (opcode 1).
ER_EXPORT void* SE_CDECL makeModule(std::int32_t index, std::int32_t kind, SEHostCallback host_callback,
                                    void* host_data) {
    if (index != 0) return nullptr;
    for (const ObjectKind& row : OBJECT_KINDS) {
        if (row.kind == kind) return row.make(host_callback, host_data);
    }
    return nullptr;
}

#if defined(_WIN32)
// Load, unload and thread notifications need no work.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif

}  // extern "C"
