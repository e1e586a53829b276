// The binary interface between a module library and its host: the records that cross the boundary, the
// entry-point shapes and the codes that travel through them. Nothing here has behaviour.
//
// Every entry point uses the platform's default C calling convention with C linkage. On a 32-bit build every
// record has exactly its documented 32-bit layout (checked below); the 64-bit Linux build widens pointer
// fields to 8 bytes and the answers of `dispatch` and of the host callback to a pointer-sized integer, so that
// an address (OP_GET_ROUTINE_INFO, HOST_GET_PIN_BUFFER) is never truncated.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define SE_CDECL __cdecl
#else
#define SE_CDECL
#endif

// Answer of `dispatch` and of the host callback: int32 on 32-bit builds, pointer-sized on 64-bit ones.
using se_answer = std::intptr_t;

struct SEModuleRecord;
struct SETimedEvent;

extern "C" {
// Host to object, through SEModuleRecord::dispatch and SEGUIRecord::dispatch.
typedef se_answer(SE_CDECL* SEDispatchEntry)(void* record, std::int32_t opcode, std::int32_t index,
                                             std::int32_t value, void* ptr, float opt);
// Object to host. `record` is the address of the calling object's record.
typedef se_answer(SE_CDECL* SEHostCallback)(void* record, std::int32_t opcode, std::int32_t index,
                                            std::int32_t value, void* ptr, float opt);
// A processing routine: processes `count` (>= 1) samples from element `start` of every pin buffer.
typedef void(SE_CDECL* SEProcessEntry)(void* object, std::int32_t start, std::int32_t count);
// Delivers one host event to the object.
typedef void(SE_CDECL* SEEventEntry)(void* object, SETimedEvent* event);
// The routine an EV_CALL event names; called on the object with no further arguments.
typedef void(SE_CDECL* SECallEntry)(void* object);

// The two exports of a module library.
typedef std::int32_t(SE_CDECL* SEGetModulePropertiesEntry)(std::int32_t index, struct SEModuleIdentity* identity);
typedef void*(SE_CDECL* SEMakeModuleEntry)(std::int32_t index, std::int32_t kind, SEHostCallback callback,
                                           void* host_data);
}

// ---- Library face -------------------------------------------------------------------------------------------

// Owned by the host; the module fills unique_id, name, about and flags and leaves the rest alone.
struct SEModuleIdentity {
    const char* unique_id;  // module writes: constant text, valid while the library is loaded
    const char* name;       // module writes: constant text
    const char* about;      // module writes: constant text, lines separated by a single line feed
    void* reserved1;        // never written by the module
    void* reserved2;        // never written by the module
    std::int32_t flags;     // module writes; meaning belongs to the host
};

constexpr std::int32_t SE_KIND_DSP = 1;  // makeModule kind: the processing object, returns SEModuleRecord*
constexpr std::int32_t SE_KIND_GUI = 2;  // makeModule kind: the GUI object, returns SEGUIRecord*

// ---- Processing object ---------------------------------------------------------------------------------------

constexpr std::int32_t SE_MODULE_MAGIC = 0x008C9B8B;
constexpr std::int32_t SE_RECORD_VERSION = 1;

// Lives inside the processing object; makeModule returns its address. Every byte not listed is zero.
struct SEModuleRecord {
    std::int32_t magic;        // SE_MODULE_MAGIC
    std::int32_t version;      // SE_RECORD_VERSION
    void* host_data;           // the host's own value from makeModule, never interpreted
    void* object;              // first argument of `process` and `event`
    void* reserved0;           // 0
    SEDispatchEntry dispatch;  // (record, opcode, index, value, ptr, opt): calls Dispatch on `object`
    SEProcessEntry process;    // the installed routine; re-read by the host after HOST_ROUTINE_CHANGED
    SEEventEntry event;        // calls HandleEvent on `object`
    void* reserved1[4];        // 0
};

// Owned by the host; the frame reads these fields and no others.
struct SETimedEvent {
    std::int32_t time_stamp;  // sample clock at which the event takes effect
    std::int32_t event_type;  // EV_...
    std::int32_t value;       // EV_PIN_STATUS: the new status; EV_DATA: a 32-bit value
    std::int32_t value2;      // EV_DATA: only the low 16 bits are passed on
    std::intptr_t ptr;        // EV_PIN_STATUS: the pin index; EV_CALL: an SECallEntry
};

// Names one processing routine. Two references are the same routine when all three fields are equal.
struct SERoutineRef {
    SEProcessEntry entry;  // forwarder that calls the routine on the object
    std::int32_t zero1;    // 0 for every routine of this library
    std::int32_t zero2;    // 0 for every routine of this library
};

inline bool operator==(const SERoutineRef& a, const SERoutineRef& b) {
    return a.entry == b.entry && a.zero1 == b.zero1 && a.zero2 == b.zero2;
}

// One record shared by every object of the library; OP_GET_ROUTINE_INFO rewrites it for the asking object.
struct SERoutineInfo {
    std::int32_t one;       // 1
    std::int32_t ref_size;  // sizeof(SERoutineRef)
    SERoutineRef* routine;  // the asking object's installed routine
    std::int32_t zero;      // 0
};

// Dispatcher opcodes, host to object.
constexpr std::int32_t OP_OPEN = 0;
constexpr std::int32_t OP_CLOSE = 1;
constexpr std::int32_t OP_SET_SAMPLE_RATE = 2;     // opt = rate in Hz
constexpr std::int32_t OP_SET_BLOCK_SIZE = 3;      // value = samples
constexpr std::int32_t OP_GET_PIN_PROPERTIES = 6;  // index, ptr = SEPinProperties*
constexpr std::int32_t OP_GUI_PAIR = 7;            // a GUI object's opcode (SEGUI_base::OnPair); refused here
constexpr std::int32_t OP_RESUME = 8;              // index
constexpr std::int32_t OP_GUI_QUERY = 10;          // a GUI object's opcode (SEGUI_base::OnQuery); refused here
constexpr std::int32_t OP_HOST_MESSAGE = 12;       // value, index, ptr
constexpr std::int32_t OP_GET_ROUTINE_INFO = 13;   // answers the address of SERoutineInfo

// Host-callback opcodes, object to host. Arguments not named are 0.
constexpr std::int32_t HOST_SET_PIN_STATUS = 0;    // index = pin, value = status, ptr = sample clock
constexpr std::int32_t HOST_GET_SAMPLE_CLOCK = 3;  // the current sample clock
constexpr std::int32_t HOST_GET_PIN_BUFFER = 7;    // index = pin: address of its sample buffer
constexpr std::int32_t HOST_GET_BUFFER_CLOCK = 8;  // index = pin: sample clock of element 0 of its buffer
constexpr std::int32_t HOST_SLEEP = 10;            // the module may be put to sleep
constexpr std::int32_t HOST_GET_PIN_COUNT = 14;    // number of pins the host built for the object
constexpr std::int32_t HOST_ROUTINE_CHANGED = 22;  // re-read SEModuleRecord::process before processing

// Event types.
constexpr std::int32_t EV_PIN_STATUS = 0;
constexpr std::int32_t EV_DATA = 2;
constexpr std::int32_t EV_CALL = 21;

// ---- Pins ----------------------------------------------------------------------------------------------------

// Pin statuses, through EV_PIN_STATUS events and HOST_SET_PIN_STATUS calls.
constexpr std::int32_t PS_STATIC = 0;     // constant
constexpr std::int32_t PS_CHANGED = 1;    // changed once, here, constant from here on
constexpr std::int32_t PS_STREAMING = 2;  // may change at every sample

// Data types.
constexpr std::int32_t DT_LIST = 0;     // 16-bit choice index
constexpr std::int32_t DT_FSAMPLE = 5;  // address of a buffer of 32-bit float samples

// Directions.
constexpr std::int32_t DR_IN = 0;
constexpr std::int32_t DR_OUT = 1;
constexpr std::int32_t DR_SETTING = 3;

// Pin flags.
constexpr std::int32_t IO_REPEAT_LAST = 0x8;
constexpr std::int32_t IO_PRIVATE = 0x100;
constexpr std::int32_t IO_UI_COMMUNICATION = 0x400;
constexpr std::int32_t IO_UI_AND_DSP = 0x8000;
constexpr std::int32_t IO_PATCH_STORE = 0x10000;

// One pin's description. The frame clears it before asking the effect; for the host's own requests the host's
// record is filled in place and fields the effect does not set keep what the host put there.
struct SEPinProperties {
    void* variable;             // effect's variable holding the value; null when the pin stores it itself
    std::int32_t direction;     // DR_...
    std::int32_t datatype;      // DT_...
    const char* name;           // constant text
    const char* default_value;  // constant text, or null
    const char* extra_text;     // DT_LIST: comma-separated choices; DT_FSAMPLE: four range numbers
    std::int32_t flags;         // IO_...
    std::int32_t reserved;      // 0
};

// A pin description reaches the processing object (and the host builds a pin for it there) unless it belongs to
// the GUI side alone.
inline bool VisibleToDsp(const SEPinProperties& properties) {
    return (properties.flags & IO_UI_COMMUNICATION) == 0 || (properties.flags & IO_UI_AND_DSP) != 0;
}

// ---- GUI object ----------------------------------------------------------------------------------------------

constexpr std::int32_t SE_GUI_MAGIC = 0x5345504D;

struct SEGUIRecord {
    std::int32_t magic;        // SE_GUI_MAGIC
    std::int32_t version;      // SE_RECORD_VERSION
    SEDispatchEntry dispatch;  // calls the GUI object's Dispatch on `object`
    void* host_data;           // the host's own value from makeModule
    void* object;              // the GUI object
    void* reserved[5];         // 0
};

// ---- Layout checks -------------------------------------------------------------------------------------------

#if INTPTR_MAX == INT32_MAX
static_assert(sizeof(se_answer) == 4);
static_assert(sizeof(SEModuleIdentity) == 24 && offsetof(SEModuleIdentity, unique_id) == 0 &&
              offsetof(SEModuleIdentity, name) == 4 && offsetof(SEModuleIdentity, about) == 8 &&
              offsetof(SEModuleIdentity, reserved1) == 12 && offsetof(SEModuleIdentity, reserved2) == 16 &&
              offsetof(SEModuleIdentity, flags) == 20);
static_assert(sizeof(SEModuleRecord) == 48 && offsetof(SEModuleRecord, magic) == 0 &&
              offsetof(SEModuleRecord, version) == 4 && offsetof(SEModuleRecord, host_data) == 8 &&
              offsetof(SEModuleRecord, object) == 12 && offsetof(SEModuleRecord, reserved0) == 16 &&
              offsetof(SEModuleRecord, dispatch) == 20 && offsetof(SEModuleRecord, process) == 24 &&
              offsetof(SEModuleRecord, event) == 28 && offsetof(SEModuleRecord, reserved1) == 32);
static_assert(sizeof(SETimedEvent) == 20 && offsetof(SETimedEvent, time_stamp) == 0 &&
              offsetof(SETimedEvent, event_type) == 4 && offsetof(SETimedEvent, value) == 8 &&
              offsetof(SETimedEvent, value2) == 12 && offsetof(SETimedEvent, ptr) == 16);
static_assert(sizeof(SERoutineRef) == 12 && offsetof(SERoutineRef, entry) == 0 &&
              offsetof(SERoutineRef, zero1) == 4 && offsetof(SERoutineRef, zero2) == 8);
static_assert(sizeof(SERoutineInfo) == 16 && offsetof(SERoutineInfo, ref_size) == 4 &&
              offsetof(SERoutineInfo, routine) == 8 && offsetof(SERoutineInfo, zero) == 12);
static_assert(sizeof(SEPinProperties) == 32 && offsetof(SEPinProperties, variable) == 0 &&
              offsetof(SEPinProperties, direction) == 4 && offsetof(SEPinProperties, datatype) == 8 &&
              offsetof(SEPinProperties, name) == 12 && offsetof(SEPinProperties, default_value) == 16 &&
              offsetof(SEPinProperties, extra_text) == 20 && offsetof(SEPinProperties, flags) == 24 &&
              offsetof(SEPinProperties, reserved) == 28);
static_assert(sizeof(SEGUIRecord) == 40 && offsetof(SEGUIRecord, magic) == 0 &&
              offsetof(SEGUIRecord, version) == 4 && offsetof(SEGUIRecord, dispatch) == 8 &&
              offsetof(SEGUIRecord, host_data) == 12 && offsetof(SEGUIRecord, object) == 16 &&
              offsetof(SEGUIRecord, reserved) == 20);
#else
static_assert(sizeof(se_answer) == sizeof(void*));
static_assert(sizeof(SERoutineRef) == sizeof(void*) + 8);
#endif
