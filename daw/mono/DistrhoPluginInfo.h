// The mono plug-in's identity for DPF's VST3 and for the CLAP plug-in (ClapPlugin.cpp): what a format must know
// before any instance exists. The name hosts list comes from the core (CorePlugin::getName); the CLAP id is the LV2
// plug-in's URI.
#pragma once

#define DISTRHO_PLUGIN_BRAND "early_reflection"
#define DISTRHO_PLUGIN_NAME "1x_Early_Reflection_ZV2005"
#define DISTRHO_PLUGIN_URI "urn:early-reflection:ZV_1x_ER_Gen"
#define DISTRHO_PLUGIN_CLAP_ID "urn:early-reflection:ZV_1x_ER_Gen"
#define DISTRHO_PLUGIN_CLAP_FEATURES "audio-effect", "delay", "mono"
#define DISTRHO_PLUGIN_VST3_CATEGORIES "Fx|Delay"
#define DISTRHO_PLUGIN_NUM_INPUTS 1
#define DISTRHO_PLUGIN_NUM_OUTPUTS 1
#define DISTRHO_PLUGIN_IS_RT_SAFE 1
#define DISTRHO_PLUGIN_HAS_UI 0
#define DISTRHO_PLUGIN_WANT_PROGRAMS 1
// State without keys of its own: DPF then saves and restores the program and every input parameter by symbol
// (CLAP offers its state extension only with this on).
#define DISTRHO_PLUGIN_WANT_STATE 1
#define DISTRHO_PLUGIN_WANT_FULL_STATE 0

#define ER_DAW_KIND er_daw::Kind::Mono
