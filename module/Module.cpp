#include "Module.h"

float g_sample_rate = 0.0f;
float g_time_scale_s = 0.0f;
float g_time_scale_ms = 0.0f;

BufferAllocator g_buffer_allocator = &AllocateZeroedLine;

// Fields take their working values at open and from the pins; until then they read zero and there is no
// delay line.
Module::Module(SEHostCallback host_callback, void* host_data) : SEModule_base(host_callback, host_data) {}

// m_buffer releases the delay line, then the base part releases the pins. m_out_pin belongs to the pins.
Module::~Module() = default;
