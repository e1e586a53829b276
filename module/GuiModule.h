// The module's GUI object. The effect has no user interface of its own: the object exists so that the host
// finds a well-formed GUI record, and answers every request with the base's defaults.
#pragma once

#include "SEGUI_base.h"

class GuiModule : public SEGUI_base {
public:
    GuiModule(SEHostCallback host_callback, void* host_data);
    ~GuiModule() override;
};
