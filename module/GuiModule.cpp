#include "GuiModule.h"

GuiModule::GuiModule(SEHostCallback host_callback, void* host_data) : SEGUI_base(host_callback, host_data) {}

GuiModule::~GuiModule() = default;
