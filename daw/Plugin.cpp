// DPF's entry point for one plug-in binary: which of the three plug-ins it is comes from the DistrhoPluginInfo.h
// of its folder (ER_DAW_KIND). A failure to make the instance reaches DPF as null, never as an exception.
#include "DistrhoPluginInfo.h"

#include "CorePlugin.h"

START_NAMESPACE_DISTRHO

Plugin* createPlugin() {
    try {
        return new er_daw::CorePlugin<ER_DAW_KIND>();
    } catch (...) {
        return nullptr;
    }
}

END_NAMESPACE_DISTRHO
