// The validator against the real module, in-process, and against the same module with one fault planted behind
// its record: every check must see its fault within a few sessions, and the clean module must pass.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>

#include <xmmintrin.h>

#include "Host.h"
#include "Rng.h"
#include "Session.h"

extern "C" std::int32_t SE_CDECL getModuleProperties(std::int32_t index, SEModuleIdentity* identity);
extern "C" void* SE_CDECL makeModule(std::int32_t index, std::int32_t kind, SEHostCallback host_callback,
                                     void* host_data);

namespace {

enum class Fault {
    None,
    WriteBeforeStretch,  // Out[start - 1] overwritten
    RoundingLeftUp,      // MXCSR rounding left at "up" after a call
    RoundingInEvent,     // MXCSR rounding left at "up" after an event
    SubnormalOutput,     // a subnormal written into the stretch
    NonFinite,           // an infinity written into the stretch
    DependsOnCuts,       // the first sample of every stretch nudged by one ulp
    DependsOnAge,        // output nudged by the object's sample clock, whatever the cuts
    WritesInput,         // "Audio_In" written
    SkipsSamples,        // the last sample of a stretch left unwritten
};

Fault g_fault = Fault::None;
SEHostCallback g_host_callback = nullptr;
struct Entries {
    SEProcessEntry process;
    SEEventEntry event;
    SEModuleRecord* record;
};
std::map<void*, Entries> g_objects;

se_answer Ask(SEModuleRecord* record, std::int32_t opcode, std::int32_t index = 0) {
    return g_host_callback(record, opcode, index, 0, nullptr, 0.0f);
}

void SE_CDECL FaultyProcess(void* object, std::int32_t start, std::int32_t count) {
    const Entries& entries = g_objects.at(object);
    float* last_before = nullptr;
    float* out = reinterpret_cast<float*>(Ask(entries.record, HOST_GET_PIN_BUFFER, 5));
    float* in = reinterpret_cast<float*>(Ask(entries.record, HOST_GET_PIN_BUFFER, 0));
    if (g_fault == Fault::SkipsSamples) last_before = &out[start + count - 1];
    const float kept = last_before ? *last_before : 0.0f;
    entries.process(object, start, count);
    switch (g_fault) {
    case Fault::None:
    case Fault::RoundingInEvent: break;
    case Fault::WriteBeforeStretch:
        if (start > 0) out[start - 1] = 0.25f;
        break;
    case Fault::RoundingLeftUp: _mm_setcsr((_mm_getcsr() & ~0x6000u) | 0x4000u); break;
    case Fault::SubnormalOutput: out[start] = 1e-40f; break;
    case Fault::NonFinite: out[start] = INFINITY; break;
    case Fault::DependsOnCuts: out[start] += 1.0f / 1024.0f; break;
    case Fault::DependsOnAge: {
        const se_answer clock = Ask(entries.record, HOST_GET_SAMPLE_CLOCK);
        for (std::int32_t i = 0; i < count; ++i) out[start + i] += static_cast<float>(((clock + i) >> 12) & 1);
        break;
    }
    case Fault::WritesInput: in[start] += 1.0f; break;
    case Fault::SkipsSamples:
        if (count > 1) *last_before = kept;
        break;
    }
}

void SE_CDECL FaultyEvent(void* object, SETimedEvent* event) {
    g_objects.at(object).event(object, event);
    if (g_fault == Fault::RoundingInEvent) _mm_setcsr((_mm_getcsr() & ~0x6000u) | 0x4000u);
}

// Every routine the module installs is kept behind the faulty one.
se_answer SE_CDECL Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                            float opt) {
    auto* module_record = static_cast<SEModuleRecord*>(record);
    if (opcode == HOST_ROUTINE_CHANGED) {
        g_objects.at(module_record->object).process = module_record->process;
        module_record->process = &FaultyProcess;
    }
    return g_host_callback(record, opcode, index, value, ptr, opt);
}

void* SE_CDECL FaultyMakeModule(std::int32_t index, std::int32_t kind, SEHostCallback host_callback,
                                void* host_data) {
    g_host_callback = host_callback;
    auto* record = static_cast<SEModuleRecord*>(makeModule(index, kind, &Callback, host_data));
    if (record && kind == SE_KIND_DSP) {
        g_objects[record->object] = Entries{record->process, record->event, record};
        record->process = &FaultyProcess;
        record->event = &FaultyEvent;
    }
    return record;
}

// The first finding of up to `sessions` sessions with `fault` planted, or an empty message.
std::string FirstFinding(Fault fault, int sessions) {
    g_fault = fault;
    auto library = er_host::Library::FromEntries(&getModuleProperties, &FaultyMakeModule);
    er_validate::Totals totals;
    std::string message;
    for (int i = 0; i < sessions && message.empty(); ++i) {
        if (auto finding = er_validate::RunSession(*library, er_validate::Rng::Derive(99, i), {}, totals)) {
            message = finding->message + " (replay " + er_validate::ReplayArguments(*finding) + ")";
        }
    }
    g_fault = Fault::None;
    return message;
}

TEST(Validator, CleanModulePassesEveryCheck) {
    auto library = er_host::Library::FromEntries(&getModuleProperties, &makeModule);
    er_validate::Totals totals;
    for (int i = 0; i < 10; ++i) {
        auto finding = er_validate::RunSession(*library, er_validate::Rng::Derive(5, i), {}, totals);
        ASSERT_FALSE(finding) << finding->message;
    }
    // The run exercised what it claims to check.
    EXPECT_GT(totals.compared, 0);
    EXPECT_GT(totals.finite_checked, 0);
    EXPECT_GT(totals.resets_checked, 0);
    EXPECT_EQ(totals.findings, 0);
}

TEST(Validator, SeesEveryPlantedFault) {
    const std::pair<Fault, const char*> cases[] = {
        {Fault::WriteBeforeStretch, "wrote Out before its stretch"},
        {Fault::RoundingLeftUp, "returned with MXCSR control"},
        {Fault::RoundingInEvent, "an event handler or dispatch returned with"},
        {Fault::SubnormalOutput, "subnormal output"},
        {Fault::NonFinite, "with finite inputs and controls"},
        {Fault::DependsOnCuts, "depends on where the host cuts blocks"},
        {Fault::DependsOnAge, "differs from a fresh object's"},
        {Fault::WritesInput, "wrote into the input pin Audio_In"},
        {Fault::SkipsSamples, "was never written"},
    };
    for (const auto& [fault, expected] : cases) {
        const std::string message = FirstFinding(fault, 40);
        EXPECT_NE(message.find(expected), std::string::npos)
            << "fault " << static_cast<int>(fault) << " gave: " << (message.empty() ? "no finding" : message);
    }
}

TEST(Validator, SessionIsAFunctionOfItsSeed) {
    auto library = er_host::Library::FromEntries(&getModuleProperties, &makeModule);
    er_validate::Totals first, second;
    er_validate::RunSession(*library, 0xC0FFEE, {}, first);
    er_validate::RunSession(*library, 0xC0FFEE, {}, second);
    EXPECT_EQ(first.samples, second.samples);
    EXPECT_EQ(first.process_calls, second.process_calls);
    EXPECT_EQ(first.notifications, second.notifications);
    EXPECT_EQ(first.compared, second.compared);
    EXPECT_EQ(first.finite_checked, second.finite_checked);
    // A replay cut short stops early.
    er_validate::Totals cut;
    er_validate::SessionOptions options;
    options.max_steps = 1;
    er_validate::RunSession(*library, 0xC0FFEE, options, cut);
    EXPECT_LT(cut.samples, first.samples);
}

}  // namespace
