#include "SEGUI_base.h"

#include <iterator>

namespace {

se_answer SE_CDECL GuiDispatchForwarder(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                        void* ptr, float opt) {
    auto* object = static_cast<SEGUI_base*>(static_cast<SEGUIRecord*>(record)->object);
    return object->Dispatch(opcode, index, value, ptr, opt);
}

using GuiOpcodeHandler = se_answer (*)(SEGUI_base& gui, std::int32_t index, std::int32_t value, void* ptr,
                                       float opt);

// Indexed by opcode: each row hands the opcode's arguments to one operation and gives the answer.
constexpr GuiOpcodeHandler GUI_OPCODES[] = {
    // 0
    [](SEGUI_base& gui, std::int32_t index, std::int32_t, void*, float) -> se_answer {
        gui.OnOpen(index == 1);
        return 0;
    },
    // 1: the object is gone when this returns
    [](SEGUI_base& gui, std::int32_t, std::int32_t, void*, float) -> se_answer {
        gui.OnClose();
        delete &gui;
        return 1;
    },
    // 2
    [](SEGUI_base& gui, std::int32_t index, std::int32_t, void* ptr, float) -> se_answer {
        gui.OnPinQuery(index, ptr);
        return 0;
    },
    // 3
    [](SEGUI_base& gui, std::int32_t index, std::int32_t value, void* ptr, float opt) -> se_answer {
        gui.OnValue3(ptr, opt, index, value);
        return 0;
    },
    // 4
    [](SEGUI_base& gui, std::int32_t index, std::int32_t value, void* ptr, float opt) -> se_answer {
        gui.OnValue4(ptr, opt, index, value);
        return 0;
    },
    // 5
    [](SEGUI_base& gui, std::int32_t index, std::int32_t value, void* ptr, float opt) -> se_answer {
        gui.OnValue5(ptr, opt, index, value);
        return 0;
    },
    // 6
    [](SEGUI_base& gui, std::int32_t index, std::int32_t value, void* ptr, float) -> se_answer {
        gui.OnMessage(value, index, ptr);
        return 0;
    },
    // 7: the pair lives for the call only
    [](SEGUI_base& gui, std::int32_t index, std::int32_t, void*, float) -> se_answer {
        SEGUI_base::Pair pair{index, &gui};
        gui.OnPair(&pair);
        return 0;
    },
    // 8
    [](SEGUI_base& gui, std::int32_t, std::int32_t, void* ptr, float) -> se_answer {
        gui.OnPointer8(ptr);
        return 0;
    },
    // 9
    [](SEGUI_base& gui, std::int32_t, std::int32_t, void* ptr, float) -> se_answer {
        gui.OnPointer9(ptr);
        return 0;
    },
    // 10: the only opcode whose answer comes from the object
    [](SEGUI_base& gui, std::int32_t, std::int32_t, void*, float) -> se_answer { return gui.OnQuery(); },
    // 11
    [](SEGUI_base& gui, std::int32_t index, std::int32_t, void*, float) -> se_answer {
        gui.OnIndex11(index);
        return 0;
    },
    // 12
    [](SEGUI_base& gui, std::int32_t index, std::int32_t, void*, float) -> se_answer {
        gui.OnIndex12(index);
        return 0;
    },
};

}  // namespace

SEGUI_base::SEGUI_base(SEHostCallback host_callback, void* host_data)
    : m_host_callback(host_callback), m_record{} {
    m_record.magic = SE_GUI_MAGIC;
    m_record.version = SE_RECORD_VERSION;
    m_record.dispatch = &GuiDispatchForwarder;
    m_record.host_data = host_data;
    m_record.object = static_cast<void*>(this);
}

se_answer SEGUI_base::Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr, float opt) {
    if (opcode < 0 || opcode >= static_cast<std::int32_t>(std::size(GUI_OPCODES))) return 0;
    // Opcode 1 destroys this object inside the handler: return its answer without touching a member.
    return GUI_OPCODES[opcode](*this, index, value, ptr, opt);
}

// This module has no user interface: every default does nothing.
void SEGUI_base::OnOpen(bool) {}
void SEGUI_base::OnClose() {}
void SEGUI_base::OnPinQuery(std::int32_t, void*) {}
void SEGUI_base::OnValue3(void*, float, std::int32_t, std::int32_t) {}
void SEGUI_base::OnValue4(void*, float, std::int32_t, std::int32_t) {}
void SEGUI_base::OnValue5(void*, float, std::int32_t, std::int32_t) {}
void SEGUI_base::OnPointer8(void*) {}
void SEGUI_base::OnPointer9(void*) {}
std::uint8_t SEGUI_base::OnQuery() { return 0; }
void SEGUI_base::OnIndex11(std::int32_t) {}
void SEGUI_base::OnIndex12(std::int32_t) {}
void SEGUI_base::OnMessage(std::int32_t, std::int32_t, void*) {}
void SEGUI_base::OnPair(Pair*) {}
