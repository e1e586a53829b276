// The records that cross the host boundary, field by field. The 32-bit layouts are the host's; the 64-bit Linux
// build widens every pointer field to 8 bytes and nothing else. The offsets are printed, so a failing build
// shows the whole layout it produced.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <gtest/gtest.h>

#include "SEAbi.h"

namespace {

constexpr bool WIDE = sizeof(void*) == 8;

struct Field {
    const char* record;
    const char* field;
    std::size_t offset;
    std::size_t expected_32;
    std::size_t expected_64;
};

#define ER_FIELD(Record, name, off32, off64) \
    Field { #Record, #name, offsetof(Record, name), off32, off64 }

const Field FIELDS[] = {
    ER_FIELD(SEModuleIdentity, unique_id, 0, 0),
    ER_FIELD(SEModuleIdentity, name, 4, 8),
    ER_FIELD(SEModuleIdentity, about, 8, 16),
    ER_FIELD(SEModuleIdentity, reserved1, 12, 24),
    ER_FIELD(SEModuleIdentity, reserved2, 16, 32),
    ER_FIELD(SEModuleIdentity, flags, 20, 40),
    ER_FIELD(SEModuleRecord, magic, 0, 0),
    ER_FIELD(SEModuleRecord, version, 4, 4),
    ER_FIELD(SEModuleRecord, host_data, 8, 8),
    ER_FIELD(SEModuleRecord, object, 12, 16),
    ER_FIELD(SEModuleRecord, reserved0, 16, 24),
    ER_FIELD(SEModuleRecord, dispatch, 20, 32),
    ER_FIELD(SEModuleRecord, process, 24, 40),
    ER_FIELD(SEModuleRecord, event, 28, 48),
    ER_FIELD(SEModuleRecord, reserved1, 32, 56),
    ER_FIELD(SETimedEvent, time_stamp, 0, 0),
    ER_FIELD(SETimedEvent, event_type, 4, 4),
    ER_FIELD(SETimedEvent, value, 8, 8),
    ER_FIELD(SETimedEvent, value2, 12, 12),
    ER_FIELD(SETimedEvent, ptr, 16, 16),
    ER_FIELD(SERoutineRef, entry, 0, 0),
    ER_FIELD(SERoutineRef, zero1, 4, 8),
    ER_FIELD(SERoutineRef, zero2, 8, 12),
    ER_FIELD(SERoutineInfo, one, 0, 0),
    ER_FIELD(SERoutineInfo, ref_size, 4, 4),
    ER_FIELD(SERoutineInfo, routine, 8, 8),
    ER_FIELD(SERoutineInfo, zero, 12, 16),
    ER_FIELD(SEPinProperties, variable, 0, 0),
    ER_FIELD(SEPinProperties, direction, 4, 8),
    ER_FIELD(SEPinProperties, datatype, 8, 12),
    ER_FIELD(SEPinProperties, name, 12, 16),
    ER_FIELD(SEPinProperties, default_value, 16, 24),
    ER_FIELD(SEPinProperties, extra_text, 20, 32),
    ER_FIELD(SEPinProperties, flags, 24, 40),
    ER_FIELD(SEPinProperties, reserved, 28, 44),
    ER_FIELD(SEGUIRecord, magic, 0, 0),
    ER_FIELD(SEGUIRecord, version, 4, 4),
    ER_FIELD(SEGUIRecord, dispatch, 8, 8),
    ER_FIELD(SEGUIRecord, host_data, 12, 16),
    ER_FIELD(SEGUIRecord, object, 16, 24),
    ER_FIELD(SEGUIRecord, reserved, 20, 32),
};

struct Size {
    const char* record;
    std::size_t size;
    std::size_t expected_32;
    std::size_t expected_64;
};

const Size SIZES[] = {
    {"SEModuleIdentity", sizeof(SEModuleIdentity), 24, 48},
    {"SEModuleRecord", sizeof(SEModuleRecord), 48, 88},
    {"SETimedEvent", sizeof(SETimedEvent), 20, 24},
    {"SERoutineRef", sizeof(SERoutineRef), 12, 16},
    {"SERoutineInfo", sizeof(SERoutineInfo), 16, 24},
    {"SEPinProperties", sizeof(SEPinProperties), 32, 48},
    {"SEGUIRecord", sizeof(SEGUIRecord), 40, 72},
};

TEST(WireLayout, FieldOffsetsMatchTheHostsLayout) {
    for (const Field& f : FIELDS) {
        std::printf("%-17s %-14s offset %2zu\n", f.record, f.field, f.offset);
        EXPECT_EQ(f.offset, WIDE ? f.expected_64 : f.expected_32) << f.record << "::" << f.field;
    }
}

TEST(WireLayout, RecordSizesMatchTheHostsLayout) {
    for (const Size& s : SIZES) {
        std::printf("%-17s size %2zu\n", s.record, s.size);
        EXPECT_EQ(s.size, WIDE ? s.expected_64 : s.expected_32) << s.record;
    }
}

TEST(WireLayout, AnswersCarryAnAddress) {
    EXPECT_EQ(sizeof(se_answer), sizeof(void*));
    if (!WIDE) {
        EXPECT_EQ(sizeof(se_answer), 4u);
    }
}

// The codes are part of the interface: a renumbering would silently break every host.
TEST(WireLayout, CodesHaveTheirHostValues) {
    EXPECT_EQ(SE_MODULE_MAGIC, 9214859);
    EXPECT_EQ(SE_GUI_MAGIC, 0x5345504D);
    const std::int32_t opcodes[] = {OP_OPEN, OP_CLOSE, OP_SET_SAMPLE_RATE, OP_SET_BLOCK_SIZE,
                                    OP_GET_PIN_PROPERTIES, OP_RESUME, OP_HOST_MESSAGE, OP_GET_ROUTINE_INFO};
    const std::int32_t expected_opcodes[] = {0, 1, 2, 3, 6, 8, 12, 13};
    for (std::size_t i = 0; i < std::size(opcodes); ++i) EXPECT_EQ(opcodes[i], expected_opcodes[i]) << i;
    const std::int32_t host[] = {HOST_SET_PIN_STATUS, HOST_GET_SAMPLE_CLOCK, HOST_GET_PIN_BUFFER,
                                 HOST_GET_BUFFER_CLOCK, HOST_SLEEP, HOST_GET_PIN_COUNT, HOST_ROUTINE_CHANGED};
    const std::int32_t expected_host[] = {0, 3, 7, 8, 10, 14, 22};
    for (std::size_t i = 0; i < std::size(host); ++i) EXPECT_EQ(host[i], expected_host[i]) << i;
    EXPECT_EQ(EV_PIN_STATUS, 0);
    EXPECT_EQ(EV_DATA, 2);
    EXPECT_EQ(EV_CALL, 21);
    EXPECT_EQ(IO_REPEAT_LAST | IO_PRIVATE | IO_UI_COMMUNICATION | IO_UI_AND_DSP | IO_PATCH_STORE, 0x18508);
}

}  // namespace
