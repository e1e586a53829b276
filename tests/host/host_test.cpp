// The substitute host, driven against a tiny fake module written straight on the binary interface, so that the
// host's promises (stretches, event order, pin values, routine changes, sleep, clocks) are checked without the
// frame. The fake logs what it sees from inside its entries; the tests compare that with what the host promised.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "Host.h"

namespace {

using er_host::Instance;
using er_host::InstanceOptions;
using er_host::Library;

// Host pins of the fake: description 1 is GUI-only and gets no pin, so description 2 is pin 1.
enum FakePin : std::int32_t { PIN_IN = 0,
                              PIN_MODE = 1,
                              PIN_OUT = 2 };

// EV_DATA values the fake obeys in its event handler, so tests can make it call the host at a chosen moment.
enum FakeAction : std::int32_t {
    SWAP_SILENTLY = 1,       // put the doubling routine into the record without telling the host
    ANNOUNCE_ROUTINE = 2,    // HOST_ROUTINE_CHANGED
    SLEEP_AFTER_NEXT = 3,    // the next stretch processes, then asks HOST_SLEEP
    REPORT_STREAMING = 4,    // HOST_SET_PIN_STATUS(Out, PS_STREAMING, current clock)
    REPORT_IN_THE_PAST = 5,  // HOST_SET_PIN_STATUS(Out, PS_CHANGED, current clock - 1)
    REPORT_BAD_PIN = 6,      // HOST_SET_PIN_STATUS(pin 7, ...)
    ASK_UNKNOWN = 7,         // opcodes the host does not know
};

struct Seen {
    char what;                   // 'P' process, 'E' event
    std::int32_t start = 0;      // process
    std::int32_t count = 0;      // process
    SETimedEvent event{};        // event
    se_answer clock = 0;         // HOST_GET_SAMPLE_CLOCK during the call
    se_answer buffer_clock = 0;  // HOST_GET_BUFFER_CLOCK(PIN_IN) during the call
    float* in = nullptr;         // the pin variables as the host left them
    float* out = nullptr;
    std::int16_t mode = 0;
};

struct FakeModule {
    SEModuleRecord record{};
    SEHostCallback host = nullptr;
    // The pin variables the host writes into.
    float* in_audio = nullptr;
    std::int16_t mode = -1;
    float* out_audio = nullptr;

    std::vector<Seen> log;
    std::vector<std::int32_t> dispatched;
    se_answer pin_count_at_open = -1;
    se_answer buffer_of_in_at_open = 0;
    std::vector<se_answer> unknown_answers;
    bool sleep_after_next = false;
    bool scribble = true;  // process spoils its buffer variables: the host must write them again every time

    se_answer Call(std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0, void* ptr = nullptr) {
        return host(&record, opcode, index, value, ptr, 0.0f);
    }
    Seen Snapshot(char what) {
        Seen seen;
        seen.what = what;
        seen.clock = Call(HOST_GET_SAMPLE_CLOCK);
        seen.buffer_clock = Call(HOST_GET_BUFFER_CLOCK, PIN_IN);
        seen.in = in_audio;
        seen.out = out_audio;
        seen.mode = mode;
        return seen;
    }
};

FakeModule* g_fake = nullptr;  // the last fake made; the tests look inside it
bool g_repeat_last = false;    // the last description asks for extra host pins to repeat it
bool g_no_record = false;      // makeModule fails

FakeModule* Self(void* object) { return static_cast<FakeModule*>(object); }

template <float Gain>
void SE_CDECL ProcessGain(void* object, std::int32_t start, std::int32_t count) {
    FakeModule* fake = Self(object);
    Seen seen = fake->Snapshot('P');
    seen.start = start;
    seen.count = count;
    fake->log.push_back(seen);
    for (std::int32_t i = start; i < start + count; ++i) fake->out_audio[i] = Gain * fake->in_audio[i];
    if (fake->scribble) fake->in_audio = fake->out_audio = nullptr;
    if (fake->sleep_after_next) {
        fake->sleep_after_next = false;
        fake->Call(HOST_SLEEP);
    }
}

void SE_CDECL Event(void* object, SETimedEvent* e) {
    FakeModule* fake = Self(object);
    Seen seen = fake->Snapshot('E');
    seen.event = *e;
    fake->log.push_back(seen);
    if (e->event_type != EV_DATA) return;
    std::int32_t clock = static_cast<std::int32_t>(fake->Call(HOST_GET_SAMPLE_CLOCK));
    switch (e->value) {
    case SWAP_SILENTLY: fake->record.process = &ProcessGain<2.0f>; break;
    case ANNOUNCE_ROUTINE: fake->Call(HOST_ROUTINE_CHANGED); break;
    case SLEEP_AFTER_NEXT: fake->sleep_after_next = true; break;
    case REPORT_STREAMING:
        fake->Call(HOST_SET_PIN_STATUS, PIN_OUT, PS_STREAMING, reinterpret_cast<void*>(std::intptr_t{clock}));
        break;
    case REPORT_IN_THE_PAST:
        fake->Call(HOST_SET_PIN_STATUS, PIN_OUT, PS_CHANGED, reinterpret_cast<void*>(std::intptr_t{clock - 1}));
        break;
    case REPORT_BAD_PIN:
        fake->Call(HOST_SET_PIN_STATUS, 7, PS_STREAMING, reinterpret_cast<void*>(std::intptr_t{clock}));
        break;
    case ASK_UNKNOWN:
        for (std::int32_t opcode : {1, 2, 4, 99, -1}) fake->unknown_answers.push_back(fake->Call(opcode, 1, 1));
        break;
    }
}

bool Describe(FakeModule* fake, std::int32_t index, SEPinProperties* p) {
    switch (index) {
    case 0:
        *p = SEPinProperties{&fake->in_audio, DR_IN, DT_FSAMPLE, "In", "5", "10,-10,10,-10", 0, 0};
        return true;
    case 1:
        *p = SEPinProperties{nullptr, DR_IN, DT_LIST, "Editor only", nullptr, nullptr, IO_UI_COMMUNICATION, 0};
        return true;
    case 2:
        *p = SEPinProperties{&fake->mode, DR_IN, DT_LIST, "Mode", "0", "A,B,C", 0, 0};
        return true;
    case 3:
        *p = SEPinProperties{&fake->out_audio, DR_OUT, DT_FSAMPLE, "Out", nullptr, nullptr,
                             g_repeat_last ? IO_REPEAT_LAST : 0, 0};
        return true;
    default:
        return false;
    }
}

se_answer SE_CDECL Dispatch(void* record, std::int32_t opcode, std::int32_t index, std::int32_t, void* ptr,
                            float) {
    FakeModule* fake = Self(static_cast<SEModuleRecord*>(record)->object);
    fake->dispatched.push_back(opcode);
    switch (opcode) {
    case OP_OPEN:
        fake->pin_count_at_open = fake->Call(HOST_GET_PIN_COUNT);
        fake->buffer_of_in_at_open = fake->Call(HOST_GET_PIN_BUFFER, PIN_IN);
        return 0;
    case OP_CLOSE:
        if (g_fake == fake) g_fake = nullptr;
        delete fake;
        return 1;
    case OP_GET_PIN_PROPERTIES:
        return Describe(fake, index, static_cast<SEPinProperties*>(ptr)) ? 1 : 0;
    default:
        return 0;
    }
}

std::int32_t SE_CDECL GetProperties(std::int32_t, SEModuleIdentity*) { return 0; }

void* SE_CDECL MakeFake(std::int32_t index, std::int32_t kind, SEHostCallback callback, void* host_data) {
    if (index != 0 || kind != SE_KIND_DSP || g_no_record) return nullptr;
    auto* fake = new FakeModule;
    fake->host = callback;
    fake->record.magic = SE_MODULE_MAGIC;
    fake->record.version = SE_RECORD_VERSION;
    fake->record.host_data = host_data;
    fake->record.object = fake;
    fake->record.dispatch = &Dispatch;
    fake->record.process = &ProcessGain<1.0f>;
    fake->record.event = &Event;
    g_fake = fake;
    return &fake->record;
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_repeat_last = false;
        g_no_record = false;
        library = Library::FromEntries(&GetProperties, &MakeFake);
    }
    InstanceOptions Options(std::int32_t block_size = 32) {
        InstanceOptions options;
        options.block_size = block_size;
        options.echo_errors = false;
        return options;
    }
    std::vector<Seen> Logged(char what) const {
        std::vector<Seen> out;
        for (const Seen& seen : g_fake->log) {
            if (seen.what == what) out.push_back(seen);
        }
        return out;
    }
    std::unique_ptr<Library> library;
};

TEST_F(HostTest, CreationDescribesPinsAndOpensInOrder) {
    InstanceOptions options = Options(64);
    options.sample_rate = 96000.0f;
    Instance host(*library, options);
    ASSERT_TRUE(host.Valid());
    EXPECT_EQ(host.Record()->host_data, host.HostData());

    // The GUI-only description gets no host pin; the rest keep their order and texts.
    ASSERT_EQ(host.Pins().size(), 3u);
    EXPECT_EQ(host.Pins()[PIN_IN].name, "In");
    EXPECT_EQ(host.Pins()[PIN_IN].default_value, "5");
    EXPECT_EQ(host.Pins()[PIN_IN].extra_text, "10,-10,10,-10");
    EXPECT_EQ(host.Pins()[PIN_MODE].name, "Mode");
    EXPECT_EQ(host.Pins()[PIN_MODE].extra_text, "A,B,C");
    EXPECT_EQ(host.Pins()[PIN_OUT].direction, DR_OUT);
    EXPECT_FALSE(host.Pins()[PIN_OUT].has_default);
    EXPECT_EQ(host.FindPin("Out"), PIN_OUT);
    EXPECT_EQ(host.FindPin("Editor only"), -1);

    // Float pins get a zeroed buffer of a block; choice pins none.
    ASSERT_NE(host.Buffer(PIN_IN), nullptr);
    EXPECT_EQ(host.Buffer(PIN_MODE), nullptr);
    EXPECT_EQ(host.Buffer(PIN_OUT)[63], 0.0f);

    // Descriptions first, then rate, block size and open; at open the pins and buffers exist.
    std::vector<std::int32_t> expected{OP_GET_PIN_PROPERTIES, OP_GET_PIN_PROPERTIES, OP_GET_PIN_PROPERTIES,
                                       OP_GET_PIN_PROPERTIES, OP_GET_PIN_PROPERTIES, OP_SET_SAMPLE_RATE,
                                       OP_SET_BLOCK_SIZE, OP_OPEN};
    EXPECT_EQ(g_fake->dispatched, expected);
    EXPECT_EQ(g_fake->pin_count_at_open, 3);
    EXPECT_EQ(g_fake->buffer_of_in_at_open, reinterpret_cast<se_answer>(host.Buffer(PIN_IN)));
    EXPECT_EQ(g_fake->in_audio, host.Buffer(PIN_IN));  // written before any event could read it
    EXPECT_TRUE(host.Errors().empty());
}

TEST_F(HostTest, PinCountAboveAndBelowTheDescriptions) {
    InstanceOptions options = Options();
    options.pin_count = 2;
    {
        Instance host(*library, options);
        EXPECT_EQ(host.Pins().size(), 2u);
        EXPECT_EQ(g_fake->pin_count_at_open, 2);
    }
    options.pin_count = 5;
    {
        Instance host(*library, options);  // no IO_REPEAT_LAST: the host only has what was described
        EXPECT_EQ(host.Pins().size(), 3u);
        EXPECT_EQ(g_fake->pin_count_at_open, 5);
    }
    g_repeat_last = true;
    {
        Instance host(*library, options);
        ASSERT_EQ(host.Pins().size(), 5u);
        EXPECT_EQ(host.Pins()[4].index, 4);
        EXPECT_EQ(host.Pins()[4].name, "Out");
        EXPECT_EQ(host.Pins()[4].variable, nullptr);  // the frame keeps extra pins' values itself
        EXPECT_NE(host.Buffer(4), nullptr);
    }
}

TEST_F(HostTest, BlockIsCutIntoStretchesAtEventOffsets) {
    InstanceOptions options = Options(32);
    options.start_clock = 1000;
    Instance host(*library, options);
    host.PostEvent(EV_DATA, 50, 0, 0, 17);
    host.PostEvent(EV_DATA, 10, 0, 0, 5);
    host.PostEvent(EV_DATA, 11, 0, 0, 5);  // same offset: in posting order
    host.PostEvent(EV_DATA, 0, 0, 0, 0);
    host.PostEvent(EV_DATA, 99, 0, 0, 30);  // beyond this block's 30 samples
    host.Process(30);

    struct Step {
        char what;
        std::int32_t a, b;  // process: start, count; event: value, time stamp
    };
    std::vector<Step> expected{{'E', 0, 1000}, {'P', 0, 5}, {'E', 10, 1005}, {'E', 11, 1005}, {'P', 5, 12}, {'E', 50, 1017}, {'P', 17, 13}};
    ASSERT_EQ(g_fake->log.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Seen& seen = g_fake->log[i];
        SCOPED_TRACE("step " + std::to_string(i));
        ASSERT_EQ(seen.what, expected[i].what);
        if (seen.what == 'P') {
            EXPECT_EQ(seen.start, expected[i].a);
            EXPECT_EQ(seen.count, expected[i].b);
            EXPECT_EQ(seen.clock, 1000 + seen.start);  // the stretch's first sample
        } else {
            EXPECT_EQ(seen.event.value, expected[i].a);
            EXPECT_EQ(seen.event.time_stamp, expected[i].b);
            EXPECT_EQ(seen.clock, seen.event.time_stamp);  // the event's own moment
        }
        EXPECT_EQ(seen.buffer_clock, 1000);  // element 0 of this block
    }
    EXPECT_EQ(host.SampleClock(), 1030);

    // The left-over event arrives at the start of the next block, at its original moment.
    g_fake->log.clear();
    host.Process(10);
    ASSERT_EQ(g_fake->log.size(), 2u);
    EXPECT_EQ(g_fake->log[0].event.value, 99);
    EXPECT_EQ(g_fake->log[0].event.time_stamp, 1030);
    EXPECT_EQ(g_fake->log[0].buffer_clock, 1030);
    EXPECT_EQ(g_fake->log[1].count, 10);
    EXPECT_EQ(host.ProcessCalls(), 4);
    EXPECT_TRUE(host.Errors().empty());
}

TEST_F(HostTest, ClockWrapsAroundInThirtyTwoBits) {
    InstanceOptions options = Options(16);
    options.start_clock = std::numeric_limits<std::int32_t>::max() - 3;
    Instance host(*library, options);
    host.PostEvent(EV_DATA, 0, 0, 0, 6);
    host.Process(16);
    std::vector<Seen> events = Logged('E');
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event.time_stamp, std::numeric_limits<std::int32_t>::min() + 2);
    EXPECT_EQ(events[0].clock, std::numeric_limits<std::int32_t>::min() + 2);
    EXPECT_EQ(host.SampleClock(), std::numeric_limits<std::int32_t>::min() + 12);
}

TEST_F(HostTest, PinValuesAreWrittenBeforeTheyAreNeeded) {
    Instance host(*library, Options(32));
    host.PostChoice(PIN_MODE, 2, 9);
    host.PostChoice(PIN_MODE, 1, 20, PS_STATIC);
    host.Process(32);
    host.Process(32);

    // Every process call found both buffer addresses, though the fake spoiled them after each call.
    std::vector<Seen> runs = Logged('P');
    ASSERT_EQ(runs.size(), 4u);
    for (const Seen& run : runs) {
        EXPECT_EQ(run.in, host.Buffer(PIN_IN));
        EXPECT_EQ(run.out, host.Buffer(PIN_OUT));
    }
    // The choice is in the variable when its status event arrives, and not before.
    EXPECT_EQ(runs[0].mode, -1);
    std::vector<Seen> events = Logged('E');
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].mode, 2);
    EXPECT_EQ(events[0].event.event_type, EV_PIN_STATUS);
    EXPECT_EQ(events[0].event.ptr, PIN_MODE);
    EXPECT_EQ(events[0].event.value, PS_CHANGED);
    EXPECT_EQ(events[0].in, host.Buffer(PIN_IN));  // a handler may read its inputs
    EXPECT_EQ(events[1].mode, 1);
    EXPECT_EQ(events[1].event.value, PS_STATIC);
    EXPECT_EQ(runs[1].mode, 2);
}

TEST_F(HostTest, PostFloatHoldsTheValueFromItsSampleOn) {
    Instance host(*library, Options(32));
    g_fake->scribble = false;
    host.Fill(PIN_IN, 1.0f);
    host.PostFloat(PIN_IN, 0.25f, 10);
    host.PostFloat(PIN_IN, 0.75f, 40);  // next block, sample 8
    host.Process(32);
    const float* out = host.Buffer(PIN_OUT);
    EXPECT_EQ(out[9], 1.0f);
    EXPECT_EQ(out[10], 0.25f);
    EXPECT_EQ(out[31], 0.25f);
    host.Process(32);
    EXPECT_EQ(out[0], 0.25f);  // held from the last block, not the 1.0 left in the buffer's head
    EXPECT_EQ(out[7], 0.25f);
    EXPECT_EQ(out[8], 0.75f);
    EXPECT_EQ(out[31], 0.75f);
    host.Process(32);
    EXPECT_EQ(out[0], 0.75f);
    // A write through Buffer() to a held pin lasts until the next block starts.
    host.Buffer(PIN_IN)[5] = 2.0f;
    host.Process(32);
    EXPECT_EQ(out[5], 0.75f);

    // Fill takes the pin back: its contents are no longer replaced.
    host.Fill(PIN_IN, -1.0f, 16);
    host.Process(32);
    EXPECT_EQ(out[15], 0.75f);
    EXPECT_EQ(out[16], -1.0f);
    std::vector<Seen> events = Logged('E');
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].event.value, PS_CHANGED);
    EXPECT_EQ(events[1].event.time_stamp, 40);
}

TEST_F(HostTest, NewRoutineIsTakenOnlyAfterItIsAnnounced) {
    Instance host(*library, Options(32));
    host.Fill(PIN_IN, 1.0f);
    host.PostEvent(EV_DATA, SWAP_SILENTLY, 0, 0, 4);
    host.PostEvent(EV_DATA, ANNOUNCE_ROUTINE, 0, 0, 12);
    host.Process(32);
    const float* out = host.Buffer(PIN_OUT);
    EXPECT_EQ(out[11], 1.0f);  // the record changed, but nobody said so: the old routine runs on
    EXPECT_EQ(out[12], 2.0f);
    EXPECT_EQ(out[31], 2.0f);
    EXPECT_EQ(host.CountCalls(HOST_ROUTINE_CHANGED), 1);
}

TEST_F(HostTest, SleepingModuleIsSkippedAndReadsSilenceUntilAnEvent) {
    Instance host(*library, Options(32));
    g_fake->scribble = false;
    host.Fill(PIN_IN, 1.0f);
    host.PostEvent(EV_DATA, SLEEP_AFTER_NEXT, 0, 0, 0);
    host.Process(32);
    EXPECT_TRUE(host.Sleeping());  // asked during its stretch, which it finished
    EXPECT_EQ(host.ProcessCalls(), 1);
    const float* out = host.Buffer(PIN_OUT);
    EXPECT_EQ(out[31], 1.0f);

    host.Fill(PIN_OUT, 9.0f);
    host.Process(32);
    EXPECT_EQ(host.ProcessCalls(), 1);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[31], 0.0f);

    // Any event wakes it, from its own sample on.
    host.Fill(PIN_OUT, 9.0f);
    host.PostEvent(EV_DATA, 0, 0, 0, 20);
    host.Process(32);
    EXPECT_FALSE(host.Sleeping());
    EXPECT_EQ(host.ProcessCalls(), 2);
    EXPECT_EQ(out[19], 0.0f);
    EXPECT_EQ(out[20], 1.0f);
    std::vector<Seen> runs = Logged('P');
    EXPECT_EQ(runs.back().start, 20);
    EXPECT_EQ(runs.back().clock, 84);
}

TEST_F(HostTest, StatusReportsAreRecordedAndCheckedAgainstTheClock) {
    Instance host(*library, Options(32));
    host.PostEvent(EV_DATA, REPORT_STREAMING, 0, 0, 3);
    host.Process(32);
    ASSERT_EQ(host.StatusReports().size(), 1u);
    EXPECT_EQ(host.StatusReports()[0].pin, PIN_OUT);
    EXPECT_EQ(host.StatusReports()[0].status, PS_STREAMING);
    EXPECT_EQ(host.StatusReports()[0].clock, 3);
    EXPECT_EQ(host.LastStatus(PIN_OUT), PS_STREAMING);
    EXPECT_EQ(host.LastStatus(PIN_IN), -1);
    EXPECT_TRUE(host.Errors().empty());

    host.PostEvent(EV_DATA, REPORT_IN_THE_PAST, 0, 0, 5);
    host.Process(32);
    EXPECT_EQ(host.LastStatus(PIN_OUT), PS_CHANGED);  // recorded, and flagged
    EXPECT_EQ(host.Errors().size(), 1u);

    host.PostEvent(EV_DATA, REPORT_BAD_PIN, 0, 0, 5);
    host.Process(32);
    EXPECT_EQ(host.StatusReports().size(), 2u);  // ignored
    EXPECT_EQ(host.Errors().size(), 2u);
}

TEST_F(HostTest, CallsAreRecordedAndUnknownOpcodesAnswerZero) {
    Instance host(*library, Options(32));
    host.ClearCalls();
    host.PostEvent(EV_DATA, ASK_UNKNOWN, 0, 0, 7);
    host.Process(32);
    EXPECT_EQ(g_fake->unknown_answers, std::vector<se_answer>(5, 0));
    ASSERT_GE(host.CountCalls(99), 1);
    for (const er_host::HostCall& call : host.Calls()) {
        if (call.opcode == 99) {
            EXPECT_EQ(call.clock, 7);
        }
    }
    EXPECT_TRUE(host.Errors().empty());
}

TEST_F(HostTest, BadInputIsReportedAndIgnored) {
    Instance host(*library, Options(32));
    host.PostStatus(3, PS_CHANGED);  // no such pin
    host.PostStatus(PIN_IN, PS_CHANGED, -1);
    host.PostChoice(PIN_IN, 1);      // not a choice pin
    host.PostFloat(PIN_MODE, 1.0f);  // not a float pin
    host.Fill(PIN_IN, 1.0f, 33);
    EXPECT_EQ(host.Buffer(-1), nullptr);
    host.Process(0);
    host.Process(33);
    EXPECT_EQ(host.Errors().size(), 7u);
    EXPECT_EQ(host.SampleClock(), 0);
    host.Process(32);  // nothing was queued
    EXPECT_EQ(Logged('E').size(), 0u);
    EXPECT_EQ(host.ProcessCalls(), 1);

    host.Close();
    EXPECT_FALSE(host.Valid());
    host.Process(32);
    host.PostStatus(PIN_IN, PS_CHANGED);
    EXPECT_EQ(host.Dispatch(OP_OPEN), 0);
    EXPECT_EQ(host.Errors().size(), 10u);
}

TEST_F(HostTest, ModuleWithoutRecordGivesAnInvalidInstance) {
    g_no_record = true;
    Instance host(*library, Options());
    EXPECT_FALSE(host.Valid());
    EXPECT_TRUE(host.Pins().empty());
    host.Process(32);
    EXPECT_EQ(host.ProcessCalls(), 0);
    EXPECT_FALSE(host.Errors().empty());
}

TEST_F(HostTest, ClosingDestroysTheObjectOnce) {
    {
        Instance host(*library, Options());
        ASSERT_NE(g_fake, nullptr);
    }
    EXPECT_EQ(g_fake, nullptr);  // the destructor sent OP_CLOSE
    Instance host(*library, Options());
    EXPECT_EQ(host.Dispatch(OP_CLOSE), 1);
    EXPECT_FALSE(host.Valid());
    EXPECT_EQ(g_fake, nullptr);
}  // no second OP_CLOSE on a record that is gone

// The host core as a plug-in uses it: no listener, addresses written only when a buffer is set. It still never
// calls a sleeping module, and takes a new routine only once it is announced.
TEST_F(HostTest, CoreWithoutListenerSleepsAndRefreshesItsRoutine) {
    host_core::HostedModule core;
    ASSERT_EQ(core.Make(&MakeFake), host_core::Made::Ok);
    core.WriteAddressesOnlyWhenSet();
    ASSERT_EQ(core.Describe(), 3);
    g_fake->scribble = false;
    std::vector<float> in(8, 0.5f), out(8, -1.0f);
    core.SetBuffer(PIN_IN, in.data());
    core.SetBuffer(PIN_OUT, out.data());
    EXPECT_EQ(g_fake->in_audio, in.data());  // written when set, before any call
    const auto calls = [] {
        return std::count_if(g_fake->log.begin(), g_fake->log.end(), [](const Seen& s) { return s.what == 'P'; });
    };
    const auto event = [&](std::int32_t what) { core.Deliver(SETimedEvent{0, EV_DATA, what, 0, 0}); };

    event(SWAP_SILENTLY);
    EXPECT_TRUE(core.Process(0, 8));
    EXPECT_EQ(out[7], 0.5f);  // the routine the host took at creation
    event(ANNOUNCE_ROUTINE);
    EXPECT_TRUE(core.Process(0, 8));
    EXPECT_EQ(out[7], 1.0f);  // the announced one
    event(SLEEP_AFTER_NEXT);
    EXPECT_TRUE(core.Process(0, 8));
    EXPECT_EQ(calls(), 3);
    EXPECT_TRUE(core.Sleeping());
    EXPECT_FALSE(core.Process(0, 8));
    EXPECT_EQ(calls(), 3);
    EXPECT_EQ(out[0], 0.0f);  // asleep: silence, not called
    event(0);                 // any event wakes it
    EXPECT_TRUE(core.Process(0, 4));
    EXPECT_EQ(calls(), 4);
}

TEST(HostLibrary, MissingLibraryIsAnErrorNotACrash) {
    std::string error;
    EXPECT_EQ(Library::Load("/nonexistent/early_reflection.so", error), nullptr);
    EXPECT_FALSE(error.empty());
    std::string path = Library::DefaultModulePath();
    EXPECT_NE(path.find("early_reflection."), std::string::npos);
}

}  // namespace
