// The module's fourteen pins as a host must see them, written out independently of the module's own table so
// that tests of the module and of the tools compare against one statement of the texts.
#pragma once

#include <cstdint>

#include "SEAbi.h"

namespace expected_pins {

struct Pin {
    const char* name;
    std::int32_t direction, datatype;
    const char* default_value;  // null: none
    const char* extra;          // null: none
};

inline constexpr Pin PINS[] = {
    {"Audio_In", DR_IN, DT_FSAMPLE, "0", nullptr},
    {"Active", DR_IN, DT_LIST, "0", "OFF,ON"},
    {"Feedback +/-10", DR_IN, DT_FSAMPLE, "0.0", "10,0,10,0"},
    {"Damping 0-10", DR_IN, DT_FSAMPLE, "0.0", "10,0,10,0"},
    {"Damping/Feedback Mode", DR_IN, DT_LIST, "1", "Tap1,Input+Tap1,Output,Input+Output"},
    {"Out", DR_OUT, DT_FSAMPLE, nullptr, nullptr},
    {"Time Accuracy", DR_IN, DT_LIST, "0", "Sample,Fraction(Econ),Fraction(Full)"},
    {"Time Mode", DR_IN, DT_LIST, "1", "Time(s)=0, Time(ms),Samples"},
    {"1 Time", DR_IN, DT_FSAMPLE, "100", "100,0,100,0"},
    {"1 Volume 10=100%", DR_IN, DT_FSAMPLE, "10", "10,0,10,0"},
    {"Max Delay(s)", DR_SETTING, DT_LIST, "8",
     "10.920=0,5.460,2.730,1.360,0.680,0.340,0.170,0.085 (4096sm),0.040 (2048sm),0.020 (1024sm),"
     "0.010 (512sm),0.005 (256sm)"},
    {"Volume Mode", DR_IN, DT_LIST, "0", "Linear,Analogue"},
    {"Midi_to_CV:Mono Mode(Poly Reset)", DR_IN, DT_LIST, "0", "On=1,Off=0"},
    {"Midi_to_CV:Gate(Poly Reset)", DR_IN, DT_FSAMPLE, "0", nullptr},
};

}  // namespace expected_pins
