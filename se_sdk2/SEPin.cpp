#include "SEPin.h"

#include <cstdint>
#include <iterator>

#include "SECheck.h"
#include "SEModule_base.h"

namespace {

constexpr const char* SOURCE = "se_sdk2/SEPin";

// Where a pin without a variable of its own keeps its value, by data type.
enum class LocalStorage {
    None,        // no value storage: the pin's variable stays null
    Zeroed,      // a choice index, a byte or a word, starting at 0
    HostBuffer,  // the address of the pin's sample buffer, asked from the host
};

constexpr LocalStorage STORAGE_BY_DATATYPE[] = {
    LocalStorage::Zeroed,      // 0 DT_LIST: 16-bit choice index
    LocalStorage::None,        // 1
    LocalStorage::None,        // 2
    LocalStorage::None,        // 3
    LocalStorage::Zeroed,      // 4: one byte
    LocalStorage::HostBuffer,  // 5 DT_FSAMPLE
    LocalStorage::Zeroed,      // 6: four bytes
    LocalStorage::None,        // 7
    LocalStorage::Zeroed,      // 8: four bytes
};

LocalStorage StorageFor(std::int32_t datatype) {
    if (datatype < 0 || datatype >= static_cast<std::int32_t>(std::size(STORAGE_BY_DATATYPE))) {
        return LocalStorage::None;
    }
    return STORAGE_BY_DATATYPE[datatype];
}

}  // namespace

void SEPin::Init(SEModule_base* module, std::int32_t index, std::int32_t datatype, void* variable) {
    m_module = module;
    m_index = index;
    m_datatype = datatype;
    m_variable = variable;
    m_status = PS_STATIC;
    m_local = Local{};
    if (variable != nullptr) return;  // the value lives in the effect's variable, kept current by the host

    switch (StorageFor(datatype)) {
    case LocalStorage::None:
        break;
    case LocalStorage::Zeroed:
        m_variable = &m_local;
        break;
    case LocalStorage::HostBuffer:
        m_local.samples = reinterpret_cast<float*>(m_module->CallHost(HOST_GET_PIN_BUFFER, index));
        m_variable = &m_local;
        break;
    }
}

void SEPin::OnStatusChange(std::int32_t status) {
    // A pin the host has but no description set up has no owner to tell.
    if (!SE_CHECK(m_module != 0, SOURCE)) return;
    m_status = status;
    m_module->OnPinChange(this);
    // A one-time change is seen during its notification only.
    if (status == PS_CHANGED) m_status = PS_STATIC;
}

se_answer SEPin::TransmitStatusChange(std::int32_t sample_clock, std::int32_t status) {
    if (!SE_CHECK(m_module != 0, SOURCE)) return 0;
    return m_module->CallHost(HOST_SET_PIN_STATUS, m_index, status,
                              reinterpret_cast<void*>(static_cast<std::intptr_t>(sample_clock)));
}

float SEPin::CurrentValue() {
    if (!SE_CHECK(m_datatype == DT_FSAMPLE, SOURCE)) return 0.0f;
    if (!SE_CHECK(m_module != 0, SOURCE)) return 0.0f;
    const float* buffer = *static_cast<float* const*>(m_variable);
    if (!SE_CHECK(buffer != 0, SOURCE)) return 0.0f;
    // Clocks wrap in unsigned 32-bit; the host guarantees the difference is an element of the current buffer.
    const std::uint32_t buffer_clock = static_cast<std::uint32_t>(m_module->CallHost(HOST_GET_BUFFER_CLOCK, m_index));
    const std::uint32_t element = static_cast<std::uint32_t>(m_module->SampleClock()) - buffer_clock;
    return buffer[element];
}
