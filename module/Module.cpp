#include "Module.h"

Module::Module(SEHostCallback host_callback, void* host_data) : SEModule_base(host_callback, host_data) {}

Module::~Module() = default;
