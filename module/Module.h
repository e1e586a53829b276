// The early-reflection effect's processing object. (Stub until the effect lands: constructor only.)
#pragma once

#include "SEModule_base.h"

class Module : public SEModule_base {
public:
    Module(SEHostCallback host_callback, void* host_data);
    ~Module() override;
};
