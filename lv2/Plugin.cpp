// The plug-ins' LV2 face: LV2's descriptors and the worker interface around the shared cores (an EffectCore for the
// delays, a RoomCore for the room). Nothing here may throw: every entry is noexcept and the cores allocate with
// nothrow or catch.
#include <lv2/core/lv2.h>
#include <lv2/worker/worker.h>

#include <cstring>
#include <new>

#include "EffectCore.h"
#include "Features.h"
#include "Instance.h"
#include "RoomCore.h"

namespace er_lv2 {
namespace {

using er_plugin::EffectCore;
using er_plugin::RoomCore;

// The worker hands the modules back through the cores' own flags; there is no response to deliver.
LV2_Worker_Status WorkResponse(LV2_Handle, uint32_t, const void*) noexcept { return LV2_WORKER_SUCCESS; }

// The entries every plug-in of the bundle has, on its core T.
template <class T>
struct Entries {
    static Instance<T>* Of(LV2_Handle instance) { return static_cast<Instance<T>*>(instance); }
    static void ConnectPort(LV2_Handle instance, uint32_t port, void* data) noexcept {
        Of(instance)->core->ConnectPort(port, data);
    }
    static void Activate(LV2_Handle instance) noexcept { Of(instance)->core->Activate(); }
    static void Run(LV2_Handle instance, uint32_t frames) noexcept { Of(instance)->core->Run(frames); }
    static void Deactivate(LV2_Handle instance) noexcept { Of(instance)->core->Deactivate(); }
    static void Cleanup(LV2_Handle instance) noexcept { delete Of(instance); }
    static LV2_Worker_Status Work(LV2_Handle instance, LV2_Worker_Respond_Function, LV2_Worker_Respond_Handle,
                                  uint32_t size, const void* data) noexcept {
        return Of(instance)->core->Work(size, data) ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_UNKNOWN;
    }
    static constexpr LV2_Worker_Interface WORKER = {&Work, &WorkResponse, nullptr};
    static const void* ExtensionData(const char* uri) noexcept {
        return std::strcmp(uri, LV2_WORKER__interface) == 0 ? &WORKER : nullptr;
    }
    static constexpr LV2_Descriptor Descriptor(const char* uri, decltype(LV2_Descriptor::instantiate) instantiate) {
        return {uri, instantiate, &ConnectPort, &Activate, &Run, &Deactivate, &Cleanup, &ExtensionData};
    }
    // The instance around a core that `make` gives for the host's worker (null when it has none) and longest run.
    template <class Make>
    static LV2_Handle Instantiate(const LV2_Feature* const* features, Make make) noexcept {
        auto* instance = new (std::nothrow) Instance<T>(features);
        if (instance == nullptr) return nullptr;
        instance->core.reset(make(MaxBlockLength(features), instance->Queue()));
        if (instance->core == nullptr) {
            delete instance;
            return nullptr;
        }
        return instance;
    }
};

LV2_Handle InstantiateEffect(const LV2_Descriptor* descriptor, double rate, const char*,
                             const LV2_Feature* const* features) noexcept {
    for (const er_plugin::Variant& variant : er_plugin::VARIANTS) {
        if (descriptor != nullptr && std::strcmp(descriptor->URI, variant.uri) == 0) {
            return Entries<EffectCore>::Instantiate(features, [&](std::int32_t max_block, er_plugin::WorkQueue* queue) {
                return EffectCore::Create(variant, rate, max_block, queue);
            });
        }
    }
    return nullptr;
}

LV2_Handle InstantiateRoom(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) noexcept {
    return Entries<RoomCore>::Instantiate(features, [&](std::int32_t max_block, er_plugin::WorkQueue* queue) {
        return RoomCore::Create(rate, max_block, queue);
    });
}

// One descriptor per variant, in the order of VARIANTS, then the room's.
const LV2_Descriptor DESCRIPTORS[er_plugin::VARIANT_COUNT + 1] = {
    Entries<EffectCore>::Descriptor(er_plugin::VARIANTS[0].uri, &InstantiateEffect),
    Entries<EffectCore>::Descriptor(er_plugin::VARIANTS[1].uri, &InstantiateEffect),
    Entries<RoomCore>::Descriptor(er_plugin::ROOM_URI, &InstantiateRoom),
};

}  // namespace
}  // namespace er_lv2

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < static_cast<uint32_t>(er_plugin::VARIANT_COUNT + 1) ? &er_lv2::DESCRIPTORS[index] : nullptr;
}
