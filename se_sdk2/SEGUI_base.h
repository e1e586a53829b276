// Base of a module's GUI object. Every operation does nothing by default; the object exists so that the host
// finds a well-formed GUI record.
#pragma once

#include <cstdint>

#include "SEAbi.h"

class SEGUI_base {
public:
    SEGUI_base(SEHostCallback host_callback, void* host_data);  // never calls the callback
    virtual ~SEGUI_base() = default;

    SEGUI_base(const SEGUI_base&) = delete;
    SEGUI_base& operator=(const SEGUI_base&) = delete;

    // Opcode 1 answers 1 and destroys the object; opcodes 0 to 12 reach one operation each; others answer 0.
    virtual se_answer Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr, float opt);

    // Reached by opcodes 0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 6 and 7, in this slot order. This module's GUI object
    // answers none of them; where a request's meaning is not this module's business, the operation is named for
    // its arguments and the opcode that reaches it.
    virtual void OnOpen(bool flag);                                                       // 0: flag = (index == 1)
    virtual void OnClose();                                                               // 1, then destruction
    virtual void OnPinQuery(std::int32_t index, void* ptr);                               // 2
    virtual void OnValue3(void* ptr, float opt, std::int32_t index, std::int32_t value);  // 3
    virtual void OnValue4(void* ptr, float opt, std::int32_t index, std::int32_t value);  // 4
    virtual void OnValue5(void* ptr, float opt, std::int32_t index, std::int32_t value);  // 5
    virtual void OnPointer8(void* ptr);                                                   // 8
    virtual void OnPointer9(void* ptr);                                                   // 9
    virtual std::uint8_t OnQuery();                                                       // 10: its answer
    virtual void OnIndex11(std::int32_t index);                                           // 11
    virtual void OnIndex12(std::int32_t index);                                           // 12
    virtual void OnMessage(std::int32_t value, std::int32_t index, void* ptr);            // 6
    struct Pair {
        std::int32_t index;
        SEGUI_base* object;
    };
    virtual void OnPair(Pair* pair);  // 7

    SEGUIRecord* Record() { return &m_record; }

protected:
    SEHostCallback m_host_callback;  // kept, never called
    SEGUIRecord m_record;            // its address is what makeModule hands out
};
