#include "RoomAdapter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "Room.h"
#include "TapPins.h"

namespace er_lv2 {

namespace {

enum : std::int32_t { IDLE,
                      WORKING,
                      READY };
// The controls that shape the room: a change is worked out anew.
constexpr std::int32_t SHAPE[] = {ROOM_PRESET, ROOM_SIZE, ROOM_WIDTH, ROOM_DISTANCE, ROOM_BRIGHTNESS};
constexpr std::int32_t CONTROLS[] = {ROOM_PRESET, ROOM_SIZE, ROOM_WIDTH, ROOM_DISTANCE,
                                     ROOM_BRIGHTNESS, ROOM_DRY, ROOM_WET, ROOM_SMOOTH};
constexpr double INSIDE = 0.01;                      // metres: a moved source keeps this far from every wall
constexpr std::uint32_t PATTERN_WORK = 0xFFFFFFFFu;  // a header's tap for the room's own work

double Gain(float db) { return db <= ROOM_LEVEL_OFF ? 0.0 : std::pow(10.0, static_cast<double>(db) / 20.0); }

std::uint32_t Bits(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The named room of the controls, shaped by them. Each factor at 1 leaves the room exactly as named.
er_room::Room Shaped(const float* taken) {
    const auto& named = er_room::NamedRooms();
    const auto index = std::clamp<std::size_t>(static_cast<std::size_t>(taken[ROOM_PRESET]), 0, named.size() - 1);
    er_room::Room room = named[index].room;
    if (taken[ROOM_SIZE] != 1.0f) room = er_room::Scaled(room, taken[ROOM_SIZE]);
    room = er_room::Widened(room, taken[ROOM_WIDTH]);
    if (taken[ROOM_DISTANCE] != 1.0f) {
        const double factor = taken[ROOM_DISTANCE];
        auto along = [&](double listener, double source, double size) {
            return std::clamp(listener + (source - listener) * factor, INSIDE, size - INSIDE);
        };
        room.source = {along(room.listener.x, room.source.x, room.size.x),
                       along(room.listener.y, room.source.y, room.size.y),
                       along(room.listener.z, room.source.z, room.size.z)};
    }
    for (er_room::Surface& wall : room.walls) wall.cutoff_hz *= taken[ROOM_BRIGHTNESS];
    return room;
}

}  // namespace

std::optional<float> RoomControlFor(std::int32_t port, float value) {
    if (port < 0 || port >= ROOM_PORT_COUNT || !std::isfinite(value)) return std::nullopt;
    const PortRow& row = ROOM_PORT_ROWS[port];
    if (!IsControl(row.kind)) return std::nullopt;
    const float clamped = std::clamp(value, row.minimum, row.maximum);
    if (row.kind == PortKind::Choice) return std::nearbyint(clamped);
    if (row.kind == PortKind::Switch) return clamped > 0.0f ? 1.0f : 0.0f;
    return clamped;
}

// One tap: the mono plug-in's adapter, its controls, its output and its share of the worker.
struct RoomAdapter::Tap {
    std::unique_ptr<Adapter> adapter;
    float controls[PORT_COUNT] = {};
    std::vector<float> out;
    std::int32_t channel = 0;
    // The adapter's worker: its requests reach the host's worker with this tap's number in front.
    RoomAdapter* room = nullptr;
    std::uint32_t index = 0;
    LV2_Worker_Schedule schedule{};
    LV2_Feature feature{};
    std::vector<const LV2_Feature*> features;
};

struct RoomAdapter::WorkHeader {
    std::uint32_t tap;  // PATTERN_WORK: work out the room
    std::uint32_t size;
};

RoomAdapter* RoomAdapter::Create(double rate, const LV2_Feature* const* features) {
    if (!(rate >= 1.0 && rate <= 10.0e6)) return nullptr;
    std::unique_ptr<RoomAdapter> room(new (std::nothrow) RoomAdapter(static_cast<float>(rate),
                                                                     Adapter::MaxBlockLength(features)));
    if (!room) return nullptr;
    room->m_schedule = static_cast<const LV2_Worker_Schedule*>(Adapter::Feature(features, LV2_WORKER__schedule));
    // As many instances as the largest pattern the controls can ask for, every named room at two ears; an even
    // number, half an ear.
    std::size_t most = 0;
    for (const auto& named : er_room::NamedRooms()) {
        er_room::Room widest = named.room;
        if (widest.spacing == 0.0) widest.spacing = 0.1;
        most = std::max(most, er_room::ImageSources(widest).taps.size());
    }
    most += most % 2;
    for (std::size_t i = 0; i < most; ++i) {
        auto tap = std::make_unique<Tap>();
        tap->room = room.get();
        tap->index = static_cast<std::uint32_t>(i);
        tap->channel = i < most / 2 ? 0 : 1;
        // The tap's own worker first, where the adapter's search meets it before the host's; the host's list as
        // it is (some end it with an odd entry the adapter knows how to pass).
        if (room->m_schedule != nullptr) {
            tap->schedule = {tap.get(), &ScheduleForTap};
            tap->feature = {LV2_WORKER__schedule, &tap->schedule};
            tap->features.push_back(&tap->feature);
        }
        for (const LV2_Feature* const* f = features; f != nullptr && *f != nullptr; ++f) tap->features.push_back(*f);
        tap->features.push_back(nullptr);
        tap->adapter.reset(Adapter::Create(VARIANTS[0], rate, tap->features.data()));
        if (!tap->adapter) return nullptr;
        tap->out.assign(static_cast<std::size_t>(room->m_max_block), 0.0f);
        const auto ports = PortDescriptions();
        for (std::int32_t port = 0; port < MONO_PORTS; ++port) tap->controls[port] = ports[port].default_value;
        tap->controls[PORT_FEEDBACK] = 0.0f;
        tap->controls[effect_pins::Index(effect_pins::Pin::RoutingMode)] = er_room::TAP_ROUTING;
        tap->controls[PORT_TIME_MODE] = er_room::TAP_TIME_MODE;
        tap->controls[effect_pins::Index(effect_pins::Pin::VolumeMode)] = er_room::TAP_VOLUME_MODE;
        tap->controls[PORT_TIME_ACCURACY] = effect_pins::choice::SAMPLE;
        tap->controls[PORT_VOLUME] = 0.0f;
        for (std::int32_t port = 0; port < MONO_PORTS; ++port) {
            if (IsControl(ports[port].row.kind)) tap->adapter->ConnectPort(static_cast<std::uint32_t>(port), &tap->controls[port]);
        }
        room->m_taps.push_back(std::move(tap));
    }
    room->m_pending.resize(most);
    return room.release();
}

RoomAdapter::RoomAdapter(float rate, std::int32_t max_block)
    : m_rate(rate), m_max_block(max_block), m_fade_samples(FADE_MS * 0.001 * rate) {
    for (auto& sums : m_sums) sums.assign(static_cast<std::size_t>(max_block), 0.0);
    m_silence.assign(static_cast<std::size_t>(max_block), 0.0f);
    for (std::int32_t port = 0; port < ROOM_PORT_COUNT; ++port) {
        m_defaults[port] = m_taken[port] = ROOM_PORT_ROWS[port].plugin_default;
        ConnectPort(static_cast<std::uint32_t>(port), nullptr);
    }
}

RoomAdapter::~RoomAdapter() = default;

void RoomAdapter::ConnectPort(std::uint32_t port, void* data) {
    if (port >= static_cast<std::uint32_t>(ROOM_PORT_COUNT)) return;
    m_connections[port] = static_cast<float*>(data);
    if (data == nullptr && IsControl(ROOM_PORT_ROWS[port].kind)) m_connections[port] = &m_defaults[port];
}

void RoomAdapter::TakeControls() {
    for (const std::int32_t port : CONTROLS) {
        if (const auto value = RoomControlFor(port, *m_connections[port])) m_taken[port] = *value;
    }
}

bool RoomAdapter::Changed() const {
    for (const std::int32_t port : SHAPE) {
        if (Bits(m_taken[port]) != Bits(m_seen[port])) return true;
    }
    return false;
}

bool RoomAdapter::Realise(const float* shape, std::vector<TapValues>& into, std::int32_t& count) const {
    try {
        const er_room::Room room = Shaped(shape);
        er_room::Validate(room);
        const er_room::Pattern pattern = er_room::ImageSources(room);
        // The first half of the instances is the left ear's, the second the right's, whatever the room: a tap
        // never changes ears, so a change of the room never switches a sounding tap from one output to another.
        // A mono room plays its taps at both ears.
        const std::size_t half = into.size() / 2;
        for (TapValues& values : into) values.sounding = false;
        std::size_t at_ear[2] = {0, 0};
        count = 0;
        for (const er_room::Tap& tap : pattern.taps) {
            const er_room::TapPins pins = er_room::PinsForTap(tap, m_rate, false);
            for (std::int32_t ear = 0; ear < 2; ++ear) {
                if (pattern.channels == 2 && tap.channel != ear) continue;
                if (at_ear[ear] == half) return false;
                into[ear * half + at_ear[ear]++] = {pins.time, pins.volume, pins.damping,
                                                    static_cast<float>(pins.max_delay), true};
                ++count;
            }
        }
        return true;
    } catch (...) {
        return false;  // a shape the model refuses (or no memory): the taps stay where they are
    }
}

void RoomAdapter::Apply() {
    for (std::size_t i = 0; i < m_taps.size(); ++i) {
        Tap& tap = *m_taps[i];
        tap.controls[PORT_SMOOTH] = m_taken[ROOM_SMOOTH];
        const TapValues& values = m_pending[i];
        if (!values.sounding) {
            tap.controls[PORT_VOLUME] = 0.0f;  // a tap the room no longer has fades out where it is
            continue;
        }
        tap.controls[PORT_TIME] = values.time;
        tap.controls[PORT_VOLUME] = values.volume;
        tap.controls[PORT_DAMPING] = values.damping;
        tap.controls[PORT_MAX_DELAY] = values.max_delay;
    }
    m_sounding = m_pending_count;
}

void RoomAdapter::Activate() {
    m_state.store(IDLE, std::memory_order_relaxed);
    TakeControls();
    std::copy(std::begin(m_taken), std::end(m_taken), std::begin(m_seen));
    if (!Realise(m_taken, m_pending, m_pending_count)) m_pending_count = 0;
    Apply();
    for (auto& tap : m_taps) tap->adapter->Activate();
    m_starting = true;  // nothing ramps into the values the host starts with
}

void RoomAdapter::Deactivate() {
    for (auto& tap : m_taps) tap->adapter->Deactivate();
}

void RoomAdapter::Run(std::uint32_t frames) {
    TakeControls();
    if (m_state.load(std::memory_order_acquire) == READY) {
        Apply();
        m_state.store(IDLE, std::memory_order_relaxed);
    }
    if (m_starting && m_schedule == nullptr && Changed()) {
        // What a host without a worker sets between Activate and the first run (lv2file's values) is where the
        // room starts: worked out here, the one run that may allocate, as the taps' own fresh lines then are.
        std::copy(std::begin(m_taken), std::end(m_taken), std::begin(m_seen));
        if (Realise(m_seen, m_pending, m_pending_count)) Apply();
    }
    if (m_schedule != nullptr && m_state.load(std::memory_order_relaxed) == IDLE && Changed()) {
        std::copy(std::begin(m_taken), std::end(m_taken), std::begin(m_seen));
        m_state.store(WORKING, std::memory_order_release);
        const WorkHeader header{PATTERN_WORK, 0};
        if (m_schedule->schedule_work(m_schedule->handle, sizeof header, &header) != LV2_WORKER_SUCCESS) {
            m_state.store(IDLE, std::memory_order_relaxed);
            m_seen[ROOM_PRESET] = NAN;  // tried again next run
        } else if (m_state.load(std::memory_order_acquire) == READY) {
            Apply();  // a worker that ran at once (an offline host)
            m_state.store(IDLE, std::memory_order_relaxed);
        }
    }
    for (auto& tap : m_taps) tap->controls[PORT_SMOOTH] = m_taken[ROOM_SMOOTH];
    const bool smooth = m_taken[ROOM_SMOOTH] != 0.0f && !m_starting;
    m_dry.Follow(Gain(m_taken[ROOM_DRY]), m_fade_samples, smooth);
    m_wet.Follow(Gain(m_taken[ROOM_WET]), m_fade_samples, smooth);
    m_starting = false;
    const float* in = m_connections[ROOM_IN];
    float* outs[2] = {m_connections[ROOM_OUT_L], m_connections[ROOM_OUT_R]};
    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t count = std::min<std::uint32_t>(frames - done, static_cast<std::uint32_t>(m_max_block));
        const float* chunk_in = in != nullptr ? in + done : m_silence.data();
        for (auto& sums : m_sums) std::fill_n(sums.begin(), count, 0.0);
        // Every tap reads the input before any output is written: the host may process in place.
        for (auto& tap : m_taps) {
            tap->adapter->ConnectPort(PORT_AUDIO_IN, const_cast<float*>(chunk_in));
            tap->adapter->ConnectPort(PORT_OUT, tap->out.data());
            tap->adapter->Run(count);
        }
        for (std::int32_t channel = 0; channel < 2; ++channel) {
            double* sum = m_sums[channel].data();
            for (auto& tap : m_taps) {
                if (tap->channel != channel) continue;
                for (std::uint32_t i = 0; i < count; ++i) sum[i] += tap->out[i];
            }
        }
        const bool ramping = m_dry.Moving() || m_wet.Moving();
        for (std::uint32_t i = 0; i < count; ++i) {
            const double x = chunk_in[i], dry = m_dry.value, wet = m_wet.value;
            for (std::int32_t channel = 0; channel < 2; ++channel) {
                const double mixed = (dry != 0.0 ? dry * x : 0.0) + wet * m_sums[channel][i];
                if (outs[channel] != nullptr) outs[channel][done + i] = static_cast<float>(mixed);
            }
            if (ramping) {
                m_dry.Advance(1);
                m_wet.Advance(1);
            }
        }
        done += count;
    }
}

LV2_Worker_Status RoomAdapter::ScheduleForTap(LV2_Worker_Schedule_Handle handle, std::uint32_t size,
                                              const void* data) {
    auto* tap = static_cast<Tap*>(handle);
    unsigned char message[128];
    const WorkHeader header{tap->index, size};
    if (sizeof header + size > sizeof message) return LV2_WORKER_ERR_NO_SPACE;
    std::memcpy(message, &header, sizeof header);
    std::memcpy(message + sizeof header, data, size);
    const LV2_Worker_Schedule* host = tap->room->m_schedule;
    return host->schedule_work(host->handle, static_cast<std::uint32_t>(sizeof header + size), message);
}

LV2_Worker_Status RoomAdapter::Work(std::uint32_t size, const void* data) {
    WorkHeader header{};
    if (data == nullptr || size < sizeof header) return LV2_WORKER_ERR_UNKNOWN;
    std::memcpy(&header, data, sizeof header);
    if (header.tap == PATTERN_WORK) {
        if (m_state.load(std::memory_order_acquire) != WORKING) return LV2_WORKER_SUCCESS;
        // The shape Run noted before it handed the work over; Run leaves it alone until the work is back.
        if (!Realise(m_seen, m_pending, m_pending_count)) {
            m_state.store(IDLE, std::memory_order_release);
            return LV2_WORKER_SUCCESS;
        }
        m_state.store(READY, std::memory_order_release);
        return LV2_WORKER_SUCCESS;
    }
    if (header.tap >= m_taps.size() || header.size != size - sizeof header) return LV2_WORKER_ERR_UNKNOWN;
    return m_taps[header.tap]->adapter->Work(header.size, static_cast<const unsigned char*>(data) + sizeof header);
}

}  // namespace er_lv2
