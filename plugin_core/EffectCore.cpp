#include "EffectCore.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>
#if defined(_WIN64)
#include <intrin.h>
#endif

#include "DelayLaw.h"
#include "FiniteInput.h"
#include "FloatScope.h"
#include "ModuleExports.h"

namespace er_plugin {

namespace {


std::uint32_t Bits(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The longest run (at most `longest`) in which the two buffers stay apart: 0 where they start together.
std::uint32_t DisjointRun(const float* a, const float* b, std::uint32_t longest) {
    const auto x = reinterpret_cast<std::uintptr_t>(a);
    const auto y = reinterpret_cast<std::uintptr_t>(b);
    const std::uintptr_t apart = (x > y ? x - y : y - x) / sizeof(float);
    return static_cast<std::uint32_t>(std::min<std::uintptr_t>(apart, longest));
}

// True when the two buffers of `frames` samples share memory (the host processes in place).
bool Overlap(const float* a, const float* b, std::uint32_t frames) { return DisjointRun(a, b, frames) < frames; }

// Announcement order (effect_pins::ANNOUNCE_ORDER): every pin the adapter sets, in pin order, "Active" last, so
// that the delay line is sized for the final "Max Delay(s)" (as er-render announces).
constexpr auto ANNOUNCE_ORDER = [] {
    std::array<std::int32_t, effect_pins::ANNOUNCE_ORDER.size()> order{};
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = effect_pins::Index(effect_pins::ANNOUNCE_ORDER[i]);
    return order;
}();
// The pin ports lie between these port numbers; many hosts keep their control values in one array indexed by
// port number, so that the span is one stretch of floats (the audio output's slot among them).
constexpr std::int32_t SPAN_FIRST = *std::min_element(ANNOUNCE_ORDER.begin(), ANNOUNCE_ORDER.end());
constexpr std::int32_t SPAN_LAST = *std::max_element(ANNOUNCE_ORDER.begin(), ANNOUNCE_ORDER.end());
static_assert(SPAN_LAST - SPAN_FIRST + 1 > 12 && SPAN_LAST - SPAN_FIRST + 1 <= 16, "three vectors and a tail");
// The plug-in's own controls that change what a run plays, watched in every run beside the pins.
constexpr std::array<std::int32_t, 2> OWN_PLAYED = {PORT_DELAY, PORT_MIX};
// The control ports a run looks at: every pin a host sets (the announced ones), then the plug-in's own inputs.
constexpr auto WATCHED = [] {
    std::array<std::int32_t, ANNOUNCE_ORDER.size() + OWN_PLAYED.size() + 1> watched{};
    auto next = std::copy(ANNOUNCE_ORDER.begin(), ANNOUNCE_ORDER.end(), watched.begin());
    next = std::copy(OWN_PLAYED.begin(), OWN_PLAYED.end(), next);
    *next = PORT_SMOOTH;
    return watched;
}();

// The float pins that ramp while smoothing is on, streaming to the modules while they move: the modules read
// them once per block.
constexpr std::array<std::int32_t, 3> RAMPED = {PORT_FEEDBACK, PORT_DAMPING, PORT_VOLUME};
constexpr bool Ramped(std::int32_t pin) { return std::find(RAMPED.begin(), RAMPED.end(), pin) != RAMPED.end(); }

// The calling thread, as cheaply as the platform tells it: the thread pointer on Linux, the thread's environment
// block on 64-bit Windows (where GCC has no thread-pointer builtin). Compared, never followed.
inline const void* ThisThread() {
#if defined(_WIN64)
    return reinterpret_cast<const void*>(__readgsqword(0x30));
#else
    return __builtin_thread_pointer();
#endif
}

// The gain a "1 Volume" pin value plays under a "Volume Mode": the value, or its square.
double LevelGain(double pin, std::int16_t volume_mode) { return volume_mode == effect_pins::choice::LINEAR ? pin : pin * pin; }
// The pin value that plays `gain` under a "Volume Mode" (gains of the Analogue law are never negative).
double LevelPin(double gain, std::int16_t volume_mode) {
    return volume_mode == effect_pins::choice::LINEAR ? gain : std::sqrt(std::max(0.0, gain));
}


}  // namespace

// ---- instantiation class ------------------------------------------------------------------------------------

EffectCore* EffectCore::Create(const Variant& variant, double rate, std::int32_t max_block, WorkQueue* queue) {
    if (!effect_pins::UsableRate(rate) || max_block < 1) return nullptr;
    try {
        std::vector<PortDescription> ports = PortDescriptions();
        if (ports.size() != PORT_COUNT) return nullptr;
        // The module objects themselves are made at each activation, opened at this instance's rate.
        return new EffectCore(variant, static_cast<float>(rate), std::min(max_block, LARGEST_MAX_BLOCK), queue,
                              std::move(ports));
    } catch (...) {
        return nullptr;  // no memory
    }
}

EffectCore::EffectCore(const Variant& variant, float rate, std::int32_t max_block, WorkQueue* queue,
                       std::vector<PortDescription> ports)
    : m_variant(variant), m_rate(rate), m_max_block(max_block), m_queue(queue), m_ports(std::move(ports)), m_fade_samples(FADE_MS * 0.001 * rate), m_ramp_samples(RAMP_MS * 0.001 * rate) {
    const auto block = static_cast<std::size_t>(m_max_block);
    for (std::int32_t port = 0; port < PORT_COUNT; ++port) {
        if (IsPin(port) && m_ports[port].row.kind != PortKind::AudioIn && m_ports[port].row.kind != PortKind::AudioOut &&
            !IsChoice(m_ports[port].row.kind)) {
            m_buffers[port].assign(block, 0.0f);
        }
        m_defaults[port] = m_ports[port].default_value;
        ConnectPort(static_cast<std::uint32_t>(port), nullptr);
    }
    for (std::int32_t c = 0; c < m_variant.channels; ++c) {
        m_channels[c].index = c;
        m_channels[c].own_in.assign(block, 0.0f);
        m_channels[c].own_out.assign(block, 0.0f);
        m_channels[c].dry.assign(block, 0.0f);
    }
}

EffectCore::~EffectCore() { CloseModules(); }

bool EffectCore::OpenModule(Channel& channel) {
    host_core::HostedModule& module = channel.module;
    if (module.Make(&makeModule) != host_core::Made::Ok) return false;
    module.WriteAddressesOnlyWhenSet();
    if (module.Record()->event == nullptr || module.Describe() < PIN_PORTS) return false;
    module.SetPins(PIN_PORTS, false, PIN_PORTS);
    for (std::int32_t pin = 0; pin < PIN_PORTS; ++pin) {
        if (module.Variable(pin) == nullptr) return false;
        if (!m_buffers[pin].empty()) module.SetBuffer(pin, m_buffers[pin].data());
    }
    module.SetClocks(static_cast<std::int32_t>(m_clock), static_cast<std::int32_t>(m_buffer_clock));
    FloatScope scope;
    module.Open(m_rate, m_max_block);
    return true;
}

void EffectCore::CloseModules() {
    for (Channel& channel : m_channels) channel.module.Close();
    m_modules_on = false;
}

void EffectCore::Activate() {
    // A request still queued for the objects these replace is dropped when it reaches Work.
    m_epoch.fetch_add(1, std::memory_order_relaxed);
    m_worker_owns.store(false, std::memory_order_relaxed);
    m_awaiting_worker = false;
    // New objects each time: no history survives, and they are opened at this instance's rate even if another
    // instance opened the module at another rate since.
    CloseModules();
    m_clock = 0;
    m_buffer_clock = 0;
    for (std::int32_t c = 0; c < m_variant.channels; ++c) {
        if (!OpenModule(m_channels[c])) {
            CloseModules();  // no memory: Run stays silent until the next Activate
            return;
        }
    }
    FloatScope scope;
    Announce();
    // The first run looks at the controls again: what a host sets between activate() and its first run() (lv2file
    // sets its -p values there) is where it starts, taken at once.
    m_starting = true;
    m_slow = true;
    m_direct_frames = 0;
}

void EffectCore::Deactivate() {
    m_direct_frames = 0;
    CloseModules();
}

void EffectCore::Announce() {
    m_buffer_clock = m_clock;
    for (const std::int32_t port : WATCHED) {
        m_seen[port] = Bits(PortValue(port));
        m_taken[port] = m_defaults[port];
        Take(port);
    }
    Notify(PORT_AUDIO_IN, PS_STREAMING);
    // "1 Time" is announced before "Max Delay(s)" and kept within the line the modules are about to make.
    m_sent_choice[PORT_MAX_DELAY] = static_cast<std::int16_t>(m_taken[PORT_MAX_DELAY]);
    for (const std::int32_t pin : ANNOUNCE_ORDER) {
        if (pin == PORT_TIME) {
            m_gliding = false;
            m_delay = -1.0;  // no glide from an earlier activation
            SendTime();
        } else if (IsChoice(m_ports[pin].row.kind)) {
            SendChoice(pin, static_cast<std::int16_t>(m_taken[pin]));
        } else {
            SendFloat(pin, effect_pins::PinFloat(m_taken[pin]), PS_CHANGED);
        }
    }
    for (const std::int32_t pin : RAMPED) {
        m_amounts[pin].Jump(m_taken[pin]);
        m_streaming[pin] = false;
    }
    m_gate_pending = false;
    m_mix.Jump(m_taken[PORT_MIX] / 100.0);
    m_guard_input = Recursive();
    const bool audible = m_taken[PORT_ACTIVE] != 0.0f;
    m_wet.Jump(audible ? 1.0 : 0.0);
    m_dry.Jump(audible ? 0.0 : 1.0);
    m_input.Jump(1.0);
    m_slow = NeedsSlowPath();
    UpdateReadings();
}

// ---- audio class ----------------------------------------------------------------------------------------------

void EffectCore::ConnectPort(std::uint32_t port, void* data) {
    if (port >= static_cast<std::uint32_t>(m_variant.ports)) return;
    if (m_connections[port] != data) m_direct_frames = 0;  // many hosts connect the same buffers every cycle
    m_connections[port] = static_cast<float*>(data);
    // An unconnected control port reads its default; an unconnected reading is written where nobody looks.
    if (data == nullptr && IsReading(m_ports[port].row.kind)) m_connections[port] = &m_readings[port];
    else if (data == nullptr && IsControl(m_ports[port].row.kind)) m_connections[port] = &m_defaults[port];
}

float EffectCore::PortValue(std::int32_t port) const { return *m_connections[port]; }

void EffectCore::Take(std::int32_t port) {
    const PortDescription& description = m_ports[port];
    const float value = PortValue(port);
    const std::optional<float> taken = ControlFor(description, value);
    if (!taken) return;
    m_taken[port] = port == PORT_MAX_DELAY ? LineHoldingItsSeconds(static_cast<std::int16_t>(*taken)) : *taken;
}

// The "Max Delay(s)" entry the modules get for the one a host chose: the same, unless the module's line for it at
// this rate is shorter than the seconds the entry shows (above 384 kHz, where its rate bands end); then the
// shortest that holds them, so that a line never plays less than it shows.
std::int16_t EffectCore::LineHoldingItsSeconds(std::int16_t entry) const {
    const auto index = std::clamp<std::int32_t>(entry, 0, effect_pins::MAX_DELAY_ENTRIES - 1);
    const double shown = effect_pins::MAX_DELAY_SAMPLES[static_cast<std::size_t>(index)] * (m_rate / 48000.0);
    if (static_cast<double>(effect_pins::BufferLength(index, m_rate)) >= shown) return entry;
    return static_cast<std::int16_t>(delay_law::ShortestLineHolding(shown, m_rate, false).value_or(0));
}

// Nothing glides or fades into the values a host starts with.
bool EffectCore::Smooth() const { return m_taken[PORT_SMOOTH] != 0.0f && !m_starting; }

bool EffectCore::Allocates(std::int32_t pin) const {
    return pin == PORT_ACTIVE || (pin == PORT_MAX_DELAY && m_sent_choice[PORT_ACTIVE] != 0);
}

bool EffectCore::LineDiffers() const {
    return m_sent_choice[PORT_ACTIVE] != static_cast<std::int16_t>(m_taken[PORT_ACTIVE]) ||
           (m_sent_choice[PORT_ACTIVE] != 0 &&
            m_sent_choice[PORT_MAX_DELAY] != static_cast<std::int16_t>(m_taken[PORT_MAX_DELAY]));
}

// Without a worker a line change waits for the next activation (after the first run).
bool EffectCore::LineChangePending() const { return m_queue != nullptr && LineDiffers(); }

bool EffectCore::NeedsSlowPath() const {
    return m_awaiting_worker || LineChangePending() || m_wet.value != 1.0 || m_dry.value != 0.0 ||
           m_input.value != 1.0 || AmountsMoving() || m_gliding || m_gate_pending || m_mix.value != 1.0 ||
           m_mix.Moving();
}

bool EffectCore::AmountsMoving() const {
    for (const std::int32_t pin : RAMPED) {
        if (m_streaming[pin]) return true;
    }
    return false;
}

// Feedback or damping keeps a state the next samples are made from: a sample that is not finite would stay in it.
bool EffectCore::Recursive() const { return m_taken[PORT_FEEDBACK] != 0.0f || m_taken[PORT_DAMPING] != 0.0f; }

// Three vectors and a tail against what was seen: a fifth of the instructions of a look at each port.
[[gnu::always_inline]] inline std::uint32_t EffectCore::SpanChanged() const {
    const auto* now = reinterpret_cast<const __m128i*>(m_span);
    const auto* seen = reinterpret_cast<const __m128i*>(m_span_seen);
    __m128i differ = _mm_xor_si128(_mm_loadu_si128(now), _mm_load_si128(seen));
    differ = _mm_or_si128(differ, _mm_xor_si128(_mm_loadu_si128(now + 1), _mm_load_si128(seen + 1)));
    differ = _mm_or_si128(differ, _mm_xor_si128(_mm_loadu_si128(now + 2), _mm_load_si128(seen + 2)));
    std::uint32_t tail = 0;
    for (std::int32_t slot = 12; slot <= SPAN_LAST - SPAN_FIRST; ++slot) tail |= Bits(m_span[slot]) ^ m_span_seen[slot];
    return (static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi32(differ, _mm_setzero_si128()))) ^ 0xFFFFu) |
           tail;
}

// The usual run, once a run before it on this thread has found the way: one block, no port changed, and the
// mono module awake with its routine current. The thread's floating-point control is not read again: reading it
// waits for every floating-point operation in flight, which costs a sixth of the cheapest block. It was the
// module's own when the general run checked it, and an audio thread's stays what its host set it to; a run on
// another thread, or after any change of a control, is checked again. "Smooth changes" is not looked at: alone
// it changes nothing a run plays, and it is taken with the next change of another port.
template <bool LOOK_AT_CONTROLS>
[[gnu::always_inline]] inline void EffectCore::RunUsual(std::uint32_t frames) {
    host_core::HostedModule& module = m_channels[0].module;
    if (frames - 1u < m_direct_frames && ThisThread() == m_direct_thread &&
        (!LOOK_AT_CONTROLS ||
         ((m_span != nullptr ? SpanChanged() : Changed(ANNOUNCE_ORDER, std::make_index_sequence<std::size(ANNOUNCE_ORDER)>{})) |
          Changed(OWN_PLAYED, std::make_index_sequence<std::size(OWN_PLAYED)>{})) == 0) &&
        module.NeedsNoPreparation() && (!m_guard_input || AllFinite(m_connections[PORT_AUDIO_IN], frames))) {
        WriteReadings();
        const auto clock = static_cast<std::int32_t>(m_clock);
        m_clock += frames;  // m_buffer_clock is set wherever a general run uses it
        return module.ProcessUnprepared(clock, static_cast<std::int32_t>(frames));
    }
    RunGeneral(frames);
}

void EffectCore::Run(std::uint32_t frames) { RunUsual<true>(frames); }
void EffectCore::RunUntouched(std::uint32_t frames) { RunUsual<false>(frames); }

void EffectCore::RunGeneral(std::uint32_t frames) {
    m_direct_frames = 0;
    if (frames == 0) return;
    if (!m_channels[0].module.Valid()) {
        Silence(frames);
        return;
    }
    FloatScope scope;
    // Most runs change nothing: one pass over the ports without a branch.
    if ((Changed(WATCHED, std::make_index_sequence<std::size(WATCHED)>{}) | static_cast<std::uint32_t>(m_slow)) != 0) {
        Update();
        if (!m_channels[0].module.Valid()) {  // the first run's fresh modules could not be had
            Silence(frames);
            return;
        }
    }
    if (!m_slow && frames <= static_cast<std::uint32_t>(m_max_block)) {
        const std::uint32_t direct = RunSteady(frames);
        m_direct_frames = m_variant.channels == 1 && scope.HostHasModuleControl() ? direct : 0;
        m_span = m_direct_frames != 0 ? PinSpan() : nullptr;
        m_direct_thread = ThisThread();
    } else {
        Process(frames);
    }
    WriteReadings();
}

// No modules (none could be had): silence out.
void EffectCore::Silence(std::uint32_t frames) {
    for (std::int32_t c = 0; c < m_variant.channels; ++c) {
        if (float* out = m_connections[CHANNEL_OUT[c]]) std::fill(out, out + frames, 0.0f);
    }
}

// The pin ports' values as one stretch of floats, where the host connected them so (else null), with what a
// run has seen of them: every pin port as taken, the slots between as they are now.
const float* EffectCore::PinSpan() {
    const auto first = reinterpret_cast<std::uintptr_t>(m_connections[SPAN_FIRST]);
    for (const std::int32_t port : ANNOUNCE_ORDER) {
        if (reinterpret_cast<std::uintptr_t>(m_connections[port]) != first + (port - SPAN_FIRST) * sizeof(float)) {
            return nullptr;
        }
    }
    const float* span = m_connections[SPAN_FIRST];
    std::memcpy(m_span_seen, span, (SPAN_LAST - SPAN_FIRST + 1) * sizeof(float));
    for (const std::int32_t port : ANNOUNCE_ORDER) m_span_seen[port - SPAN_FIRST] = m_seen[port];
    return span;
}

// Whether any of `ports` has changed since it was last dealt with. Unrolled: a load, a load, an xor and an or per
// port (a loop over the table costs twice that, which is a tenth of the cheapest routine's block of 256).
template <std::size_t N, std::size_t... I>
std::uint32_t EffectCore::Changed(const std::array<std::int32_t, N>& ports, std::index_sequence<I...>) const {
    return ((Bits(PortValue(ports[I])) ^ m_seen[ports[I]]) | ...);
}

// The usual run: nothing moves and the run is one block; each module reads and writes the host's buffers
// wherever ProcessChannel would let it. Written out per channel, so that the mono plug-in's run is a straight line.
// The longest run that could call every channel's module straight on the same host buffers again (0: this one
// could not).
std::uint32_t EffectCore::RunSteady(std::uint32_t frames) {
    std::uint32_t direct = RunSteadyChannel<0>(frames);
    if (m_variant.channels > 1) direct = std::min(direct, RunSteadyChannel<1>(frames));
    m_clock += frames;
    return direct;
}

template <std::int32_t C>
inline std::uint32_t EffectCore::RunSteadyChannel(std::uint32_t frames) {
    Channel& channel = m_channels[C];
    const float* in = m_connections[CHANNEL_IN[C]];
    float* out = m_connections[CHANNEL_OUT[C]];
    if (in == nullptr || out == nullptr || Overlap(in, out, frames) || (m_guard_input && !AllFinite(in, frames))) {
        ProcessChannel(channel, frames, 0, frames);
        return 0;
    }
    m_buffer_clock = m_clock;
    Call(channel, in, out, frames);
    return DisjointRun(in, out, static_cast<std::uint32_t>(m_max_block));
}

void EffectCore::Update() {
    if (m_awaiting_worker) {
        if (m_worker_owns.load(std::memory_order_acquire)) return;  // the worker has the modules
        LineMade();
    }
    m_buffer_clock = m_clock;
    for (const std::int32_t port : WATCHED) {
        const std::uint32_t raw = Bits(PortValue(port));
        if (raw == m_seen[port]) continue;
        m_seen[port] = raw;
        Take(port);
    }
    if (m_starting && m_queue == nullptr && LineDiffers()) {
        // A host without a worker (an offline one: lv2file) asks for another line before it has heard a
        // sample: the modules start again with it, as if the values had been there at activate(). The one run
        // that may allocate, and only with no worker to hand the work to.
        Activate();
        m_starting = false;
        m_slow = NeedsSlowPath();
        return;
    }
    for (const std::int32_t pin : ANNOUNCE_ORDER) {
        const PortKind kind = m_ports[pin].row.kind;
        if (pin == PORT_TIME) {
            SendTime();
        } else if (Ramped(pin)) {
            SendAmount(pin);
        } else if (pin == PORT_GATE) {
            SendGate();
        } else if (pin == PORT_VOLUME_MODE) {
            SendVolumeMode();
        } else if (IsChoice(kind)) {
            const auto value = static_cast<std::int16_t>(m_taken[pin]);
            const bool held = (pin == PORT_TIME_ACCURACY && m_gliding) || Allocates(pin);
            if (value != m_sent_choice[pin] && !held) SendChoice(pin, value);
        } else if (Bits(effect_pins::PinFloat(m_taken[pin])) != m_sent_float[pin]) {
            SendFloat(pin, effect_pins::PinFloat(m_taken[pin]), PS_CHANGED);
        }
    }
    m_mix.Follow(m_taken[PORT_MIX] / 100.0, m_ramp_samples, Smooth());
    m_guard_input = Recursive();
    SetGains();
    // A line change and a clear wait until their fade has silenced the echo.
    if (LineChangePending() && (m_wet.value == 0.0 || !Smooth())) ScheduleLineChange();
    if (m_gate_pending && (m_wet.value == 0.0 || !Smooth() || !Audible())) FireGate();
    m_starting = false;
    m_slow = NeedsSlowPath();
    UpdateReadings();
}

void EffectCore::ScheduleLineChange() {
    WorkRequest request{m_epoch.load(std::memory_order_relaxed), 0, {}, {}};
    for (const std::int32_t pin : {PORT_MAX_DELAY, PORT_ACTIVE}) {
        const auto value = static_cast<std::int16_t>(m_taken[pin]);
        if (value == m_sent_choice[pin]) continue;
        if (!Allocates(pin)) {
            SendChoice(pin, value);  // "Max Delay(s)" while off: sized at the next switch-on
            continue;
        }
        request.pins[request.count] = pin;
        request.values[request.count] = value;
        ++request.count;
    }
    if (request.count == 0) return;
    // Marked as sent before the worker may start: from here to the handing back only the worker writes.
    std::int16_t before[2] = {};
    for (std::int32_t i = 0; i < request.count; ++i) {
        before[i] = m_sent_choice[request.pins[i]];
        m_sent_choice[request.pins[i]] = request.values[i];
    }
    m_worker_owns.store(true, std::memory_order_release);
    if (!m_queue->Schedule(sizeof request, &request)) {
        m_worker_owns.store(false, std::memory_order_relaxed);  // nothing was queued: tried again next run
        for (std::int32_t i = 0; i < request.count; ++i) m_sent_choice[request.pins[i]] = before[i];
        return;
    }
    m_awaiting_worker = true;
    // A worker that ran at once (an offline host) has handed the modules back already: the change is exact.
    if (!m_worker_owns.load(std::memory_order_acquire)) LineMade();
}

// The worker has handed the modules back with their new lines (or without any): the delay starts afresh, and
// the input fades into the empty line.
void EffectCore::LineMade() {
    m_awaiting_worker = false;
    m_buffer_clock = m_clock;
    EndGlide();
    m_delay = -1.0;
    SendTime();
    m_input.Jump(Smooth() && m_modules_on ? 0.0 : 1.0);
    if (m_wet.value == 0.0 && m_dry.value == 0.0 && m_modules_on) m_wet.Jump(1.0);  // a new line: nothing to fade in
    SetGains();
    m_slow = NeedsSlowPath();
}

// The echo is heard: the modules are on and the user's "Active" is on.
bool EffectCore::Audible() const { return m_modules_on && m_taken[PORT_ACTIVE] != 0.0f && !m_awaiting_worker; }

void EffectCore::SetGains() {
    const bool on = m_taken[PORT_ACTIVE] != 0.0f;
    // With smoothing a line change waits for the echo to fade out; without, it is made as soon as it can be.
    const double wet = Audible() && !(Smooth() && (LineChangePending() || m_gate_pending)) ? 1.0 : 0.0;
    const double dry = on && m_modules_on ? 0.0 : 1.0;
    for (auto [ramp, target] : {std::pair{&m_wet, wet}, {&m_dry, dry}, {&m_input, 1.0}}) {
        ramp->Follow(target, m_fade_samples, Smooth());
    }
}

// A level, feedback or damping amount: at once, or with smoothing a ramp that streams to the modules (which read
// it at every block while it moves) and ends with the exact value, as a change.
void EffectCore::SendAmount(std::int32_t pin) {
    Ramp& amount = m_amounts[pin];
    const double target = m_taken[pin];
    if (!Smooth() || !Audible()) {
        amount.Jump(target);
        if (Bits(effect_pins::PinFloat(m_taken[pin])) != m_sent_float[pin] || m_streaming[pin]) {
            SendFloat(pin, effect_pins::PinFloat(m_taken[pin]), PS_CHANGED);
        }
        m_streaming[pin] = false;
        return;
    }
    if (amount.target == target) return;
    amount.Start(target, m_ramp_samples);
    StreamAmount(pin);
}

void EffectCore::StreamAmount(std::int32_t pin) {
    if (m_streaming[pin]) return;
    std::fill(m_buffers[pin].begin(), m_buffers[pin].end(), effect_pins::PinFloat(m_amounts[pin].value));
    Notify(pin, PS_STREAMING);
    m_streaming[pin] = true;
}

// With smoothing a change of the level law keeps the level the tap plays: the level jumps to the value that plays
// it under the new law and ramps from there to the control's.
void EffectCore::SendVolumeMode() {
    const auto law = static_cast<std::int16_t>(m_taken[PORT_VOLUME_MODE]);
    const std::int16_t before = m_sent_choice[PORT_VOLUME_MODE];
    if (law == before) return;
    if (Smooth() && Audible()) {
        Ramp& level = m_amounts[PORT_VOLUME];
        const double pin = static_cast<double>(effect_pins::PinFloat(level.value));
        level.Jump(LevelPin(LevelGain(pin, before), law) * 10.0);
        level.Start(m_taken[PORT_VOLUME], m_ramp_samples);
        if (m_streaming[PORT_VOLUME]) {
            m_buffers[PORT_VOLUME][0] = effect_pins::PinFloat(level.value);
        } else {
            StreamAmount(PORT_VOLUME);
        }
    }
    SendChoice(PORT_VOLUME_MODE, law);
}

// A clear (a positive gate) empties the line at once; with smoothing the echo fades out first and back in after.
void EffectCore::SendGate() {
    const float pin = effect_pins::PinFloat(m_taken[PORT_GATE]);
    if (m_gate_pending || Bits(pin) == m_sent_float[PORT_GATE]) return;  // a pending clear sends the latest with it
    if (pin > 0.0f && Smooth() && Audible()) {
        m_gate_pending = true;
        m_gate_value = pin;
        return;
    }
    SendFloat(PORT_GATE, pin, PS_CHANGED);
}

void EffectCore::FireGate() {
    m_gate_pending = false;
    SendFloat(PORT_GATE, m_gate_value, PS_CHANGED);
    // The line is empty now: with smoothing the input fades into it, as into a new line.
    if (Smooth()) m_input.Jump(0.0);
    const float now = effect_pins::PinFloat(m_taken[PORT_GATE]);
    if (Bits(now) != m_sent_float[PORT_GATE]) SendFloat(PORT_GATE, now, PS_CHANGED);
    SetGains();
}

void EffectCore::SendTime() {
    const auto mode = m_sent_choice[PORT_TIME_MODE];
    m_time_scale = effect_pins::TimeScale(mode, m_rate);
    const std::int64_t line = effect_pins::BufferLength(m_sent_choice[PORT_MAX_DELAY], m_rate);
    const bool fractional = m_taken[PORT_TIME_ACCURACY] != 0.0f;
    // Below one sample the module would read the whole line and beyond the line it would wrap: the plug-in keeps
    // the delay within 1 .. N samples, so that a longer time never gives a shorter delay.
    float pin = effect_pins::PinFloat(m_taken[PORT_TIME]);
    if (m_taken[PORT_DELAY] > 0.0f) {
        // Delay in milliseconds, whatever the unit: whole-sample reading lands on the nearest whole sample.
        const double samples = static_cast<double>(m_taken[PORT_DELAY]) * m_rate / 1000.0;
        pin = delay_law::PinValueForDelay(fractional ? samples : std::round(samples), m_time_scale);
    }
    const double requested = static_cast<double>(m_time_scale) * pin;
    const double asked = fractional ? requested : std::trunc(requested);
    if (asked < 1.0) pin = delay_law::PinValueForDelay(1.0, m_time_scale);
    if (asked > static_cast<double>(line)) pin = delay_law::PinValueForDelay(static_cast<double>(line), m_time_scale);
    const double delay =
        delay_law::RealisedDelay(static_cast<double>(m_time_scale) * pin, line, fractional).effective;
    m_time_pin = pin;
    if (!Smooth() || !Audible() || m_delay < 0.0 || line != m_line) {
        EndGlide();
        m_line = line;
        m_delay = delay;
        if (Bits(pin) != m_sent_float[PORT_TIME]) SendFloat(PORT_TIME, pin, PS_CHANGED);
        return;
    }
    if (!m_gliding && delay == m_delay) {
        if (Bits(pin) != m_sent_float[PORT_TIME]) SendFloat(PORT_TIME, pin, PS_CHANGED);
        return;
    }
    if (m_gliding && delay == m_glide.target) return;
    // Glide: the modules interpolate the delay at every sample while it moves.
    if (!m_gliding) {
        m_glide.Jump(m_delay);
        if (m_sent_choice[PORT_TIME_ACCURACY] != effect_pins::choice::FRACTION_FULL) SendChoice(PORT_TIME_ACCURACY, effect_pins::choice::FRACTION_FULL);
        Notify(PORT_TIME, PS_STREAMING);
        m_gliding = true;
    }
    m_glide.Start(delay, std::max(m_ramp_samples, std::fabs(delay - m_glide.value) / GLIDE_SPEED));
}

// The glide has arrived (or is cut short): the modules go back to the user's accuracy and a static time.
void EffectCore::EndGlide() {
    if (!m_gliding) return;
    m_gliding = false;
    const auto accuracy = static_cast<std::int16_t>(m_taken[PORT_TIME_ACCURACY]);
    if (accuracy != m_sent_choice[PORT_TIME_ACCURACY]) SendChoice(PORT_TIME_ACCURACY, accuracy);
    SendFloat(PORT_TIME, m_time_pin, PS_CHANGED);
    m_delay = m_glide.target;
}

void EffectCore::SendChoice(std::int32_t pin, std::int16_t value) {
    for (std::int32_t c = 0; c < m_variant.channels; ++c) m_channels[c].module.WriteChoice(pin, value);
    m_sent_choice[pin] = value;
    if (pin == PORT_ACTIVE) m_modules_on = value != 0;
    Notify(pin, PS_CHANGED);
}

void EffectCore::SendFloat(std::int32_t pin, float value, std::int32_t status) {
    std::fill(m_buffers[pin].begin(), m_buffers[pin].end(), value);
    m_sent_float[pin] = Bits(value);
    // Each gate is a new voice, as in er-render: the resume arms the reset the gate performs in "Mono Mode".
    if (pin == PORT_GATE && value > 0.0f) {
        for (std::int32_t c = 0; c < m_variant.channels; ++c) {
            m_channels[c].module.Dispatch(OP_RESUME);
        }
    }
    Notify(pin, status);
}

void EffectCore::Notify(std::int32_t pin, std::int32_t status) {
    SETimedEvent event{static_cast<std::int32_t>(m_clock), EV_PIN_STATUS, status, 0, pin};
    for (std::int32_t c = 0; c < m_variant.channels; ++c) {
        Channel& channel = m_channels[c];
        channel.module.SetClocks(static_cast<std::int32_t>(m_clock), static_cast<std::int32_t>(m_buffer_clock));
        channel.module.Deliver(event);  // an event wakes a sleeping module
    }
}

void EffectCore::Process(std::uint32_t frames) {
    for (std::uint32_t done = 0; done < frames;) {
        std::uint32_t count = std::min<std::uint32_t>(frames - done, static_cast<std::uint32_t>(m_max_block));
        if (m_slow && AmountsMoving()) count = std::min<std::uint32_t>(count, RAMP_STEP);
        if (m_slow) {
            ProcessSmoothed(done, count);
        } else {
            for (std::int32_t c = 0; c < m_variant.channels; ++c) ProcessChannel(m_channels[c], frames, done, count);
            m_clock += count;
        }
        done += count;
    }
}

// The module reads the host's input and writes the host's output where it can; the adapter's own buffers stand
// in for an unconnected port and for an input the output overwrites.
void EffectCore::ProcessChannel(Channel& channel, std::uint32_t frames, std::uint32_t done, std::uint32_t count) {
    const float* in = m_connections[CHANNEL_IN[channel.index]];
    float* out = m_connections[CHANNEL_OUT[channel.index]];
    const float* chunk_in = channel.own_in.data();
    if (in == nullptr) {
        std::fill_n(channel.own_in.data(), count, 0.0f);
    } else if (m_guard_input && !AllFinite(in + done, count)) {
        FiniteCopy(in + done, channel.own_in.data(), count);
    } else if (out != nullptr && Overlap(in, out, frames)) {
        std::copy_n(in + done, count, channel.own_in.data());
    } else {
        chunk_in = in + done;
    }
    float* chunk_out = out != nullptr ? out + done : channel.own_out.data();
    RunModule(channel, chunk_in, chunk_out, count);
}

void EffectCore::RunModule(Channel& channel, const float* in, float* out, std::uint32_t count) {
    // While the worker has the modules, nothing of theirs is touched, not even their buffer addresses.
    if (m_awaiting_worker) {
        std::fill_n(out, count, 0.0f);
        return;
    }
    m_buffer_clock = m_clock;
    Call(channel, in, out, count);
}

// A sleeping module is not called, and its output reads silence.
inline void EffectCore::Call(Channel& channel, const float* in, float* out, std::uint32_t count) {
    host_core::HostedModule& module = channel.module;
    module.SetBuffer(PORT_AUDIO_IN, const_cast<float*>(in));  // the module only reads its input
    module.SetBuffer(PORT_OUT, out);
    module.SetClocks(static_cast<std::int32_t>(m_clock), static_cast<std::int32_t>(m_clock));
    module.Process(0, static_cast<std::int32_t>(count));
}

// A stretch while something moves: the volume and the delay are set for it, the input faded into the line, and
// the output mixed from the echo and the dry input.
void EffectCore::ProcessSmoothed(std::uint32_t done, std::uint32_t n) {
    if (!m_awaiting_worker) {
        for (const std::int32_t pin : RAMPED) {
            if (m_streaming[pin]) m_buffers[pin][0] = effect_pins::PinFloat(m_amounts[pin].value);
        }
    }
    if (!m_awaiting_worker && m_gliding) {
        float* time = m_buffers[PORT_TIME].data();
        for (std::uint32_t i = 0; i < n; ++i) {
            time[i] = static_cast<float>(m_glide.value / m_time_scale);
            m_glide.Advance(1);
        }
    }
    const Ramp wet = m_wet, dry = m_dry, input = m_input, mix = m_mix;
    for (std::int32_t c = 0; c < m_variant.channels; ++c) {
        Channel& channel = m_channels[c];
        const float* in = m_connections[CHANNEL_IN[c]];
        float* out = m_connections[CHANNEL_OUT[c]];
        float* x = channel.dry.data();
        if (in == nullptr) std::fill_n(x, n, 0.0f);
        else if (m_guard_input) FiniteCopy(in + done, x, n);
        else std::copy_n(in + done, n, x);
        Ramp gain = input;
        for (std::uint32_t i = 0; i < n; ++i) {
            channel.own_in[i] = static_cast<float>(x[i] * gain.value);
            gain.Advance(1);
        }
        float* y = out != nullptr ? out + done : channel.own_out.data();
        RunModule(channel, channel.own_in.data(), y, n);
        // Mix m of the echo: the echo's gain times m, the input's the bypass's plus the rest of 1 - m (exactly the
        // bypass's at m = 1).
        Ramp w = wet, d = dry, m = mix;
        for (std::uint32_t i = 0; i < n; ++i) {
            y[i] = static_cast<float>(y[i] * (w.value * m.value) + x[i] * (d.value + (1.0 - d.value) * (1.0 - m.value)));
            w.Advance(1);
            d.Advance(1);
            m.Advance(1);
        }
    }
    if (!m_awaiting_worker) m_clock += n;
    m_wet.Advance(n);
    m_dry.Advance(n);
    m_input.Advance(n);
    m_mix.Advance(n);
    if (m_awaiting_worker) return;
    m_buffer_clock = m_clock;
    for (const std::int32_t pin : RAMPED) {
        if (!m_streaming[pin]) continue;
        m_amounts[pin].Advance(n);
        if (m_amounts[pin].Moving()) continue;
        SendFloat(pin, effect_pins::PinFloat(m_taken[pin]), PS_CHANGED);
        m_streaming[pin] = false;
    }
    if (m_gliding && !m_glide.Moving()) EndGlide();
    if (m_gliding) m_delay = m_glide.value;
    if (LineChangePending() && m_wet.value == 0.0) ScheduleLineChange();
    if (m_gate_pending && m_wet.value == 0.0) FireGate();
    m_slow = NeedsSlowPath();
    UpdateReadings();
}

// The readings change only where the delay does; a run stores them.
void EffectCore::UpdateReadings() {
    const double delay = m_taken[PORT_ACTIVE] != 0.0f && m_delay > 0.0 ? m_delay : 0.0;
    m_reading_samples = static_cast<float>(delay);
    m_reading_ms = static_cast<float>(delay * 1000.0 / m_rate);
}

void EffectCore::WriteReadings() {
    *m_connections[PORT_DELAY_SAMPLES] = m_reading_samples;
    *m_connections[PORT_DELAY_MS] = m_reading_ms;
}

// ---- worker ---------------------------------------------------------------------------------------------------

bool EffectCore::Work(std::uint32_t size, const void* data) {
    WorkRequest request{};
    if (size != sizeof request || data == nullptr) return false;
    std::memcpy(&request, data, sizeof request);
    if (request.epoch != m_epoch.load(std::memory_order_relaxed) || !m_channels[0].module.Valid()) {
        return true;
    }
    {
        FloatScope scope;
        for (std::int32_t i = 0; i < request.count && i < 2; ++i) SendChoice(request.pins[i], request.values[i]);
    }
    m_worker_owns.store(false, std::memory_order_release);
    return true;
}

}  // namespace er_plugin
