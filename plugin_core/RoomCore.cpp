#include "RoomCore.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#include "FiniteInput.h"
#include "FloatScope.h"
#include "Room.h"

namespace er_plugin {

namespace {

enum : std::int32_t { IDLE,
                      WORKING,
                      READY };
// The controls that shape the room: a change is worked out anew.
constexpr std::int32_t SHAPE[] = {ROOM_PRESET, ROOM_SIZE, ROOM_WIDTH, ROOM_DISTANCE, ROOM_BRIGHTNESS, ROOM_WINDOW};
constexpr std::int32_t CONTROLS[] = {ROOM_PRESET, ROOM_SIZE, ROOM_WIDTH, ROOM_DISTANCE, ROOM_BRIGHTNESS,
                                     ROOM_DRY, ROOM_WET, ROOM_SMOOTH, ROOM_WINDOW};
constexpr double INSIDE = 0.01;  // metres: a moved source keeps this far from every wall
// What the worker is asked to do.
enum : std::uint32_t { BUILD_ROOM = 1,
                       FREE_ROOMS = 2 };
// A new room's lines are primed with up to this much of the input heard last; past its reach, this much more lets
// its low-passes settle (the dullest, D about 0.97 at 44.1 kHz, falls by 60 dB in some 230 samples).
constexpr double HEARD_SECONDS = 1.0;
constexpr std::int32_t SETTLE = 2048;
// Where a window would need more taps than a pattern may hold, the plug-in narrows it rather than refuse: a
// control must do something wherever it is turned.
constexpr int NARROWING_TRIES = 12;

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
    return er_room::Windowed(room, static_cast<double>(taken[ROOM_WINDOW]) / 1000.0);
}

// The room's pattern; a window that would give too many taps narrowed to the widest that fits, to within
// 1/2^NARROWING_TRIES of the one asked for.
er_room::Pattern PatternOf(const er_room::Room& room) {
    try {
        return er_room::ImageSources(room);
    } catch (const er_room::RoomError&) {
        if (room.window == 0.0) throw;
    }
    double fits = 0.0, too_wide = room.window;
    std::optional<er_room::Pattern> widest;
    for (int attempt = 0; attempt < NARROWING_TRIES; ++attempt) {
        er_room::Room narrower = room;
        narrower.window = (fits + too_wide) / 2.0;
        try {
            widest = er_room::ImageSources(narrower);
            fits = narrower.window;
        } catch (const er_room::RoomError&) {
            too_wide = narrower.window;
        }
    }
    if (!widest) throw er_room::RoomError("no window fits");
    return std::move(*widest);
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

std::vector<PortDescription> RoomPortDescriptions() {
    std::vector<PortDescription> ports;
    for (const PortRow& row : ROOM_PORT_ROWS) {
        PortDescription port{row, row.name != nullptr ? row.name : "", "", row.minimum, row.maximum, row.plugin_default, {}};
        if (row.symbol == std::string_view("room")) {
            const auto& rooms = er_room::NamedRooms();
            for (std::size_t i = 0; i < rooms.size(); ++i) {
                port.entries.push_back({std::string(rooms[i].name), static_cast<std::int16_t>(i)});
            }
        }
        ports.push_back(std::move(port));
    }
    return ports;
}

RoomCore* RoomCore::Create(double rate, std::int32_t max_block, WorkQueue* queue) {
    if (!effect_pins::UsableRate(rate) || max_block < 1) return nullptr;
    try {
        std::unique_ptr<RoomCore> room(new RoomCore(static_cast<float>(rate), std::min(max_block, LARGEST_MAX_BLOCK)));
        room->m_queue = queue;
        room->m_engine = room->Build(room->m_taken);
        if (!room->m_engine) return nullptr;
        return room.release();
    } catch (...) {
        return nullptr;  // no memory
    }
}

RoomCore::RoomCore(float rate, std::int32_t max_block)
    : m_rate(rate), m_max_block(max_block), m_fade_samples(FADE_MS * 0.001 * rate) {
    for (auto* sums : {m_sums, m_fading_sums}) {
        for (int ear = 0; ear < 2; ++ear) sums[ear].assign(static_cast<std::size_t>(max_block), 0.0);
    }
    m_silence.assign(static_cast<std::size_t>(max_block), 0.0f);
    m_finite.assign(static_cast<std::size_t>(max_block), 0.0f);
    std::size_t heard = 1;
    while (static_cast<double>(heard) < HEARD_SECONDS * rate) heard *= 2;
    m_heard.assign(heard, 0.0f);
    for (std::int32_t port = 0; port < ROOM_PORT_COUNT; ++port) {
        m_defaults[port] = m_taken[port] = m_seen[port] = ROOM_PORT_ROWS[port].plugin_default;
        ConnectPort(static_cast<std::uint32_t>(port), nullptr);
    }
}

RoomCore::~RoomCore() = default;

std::int32_t RoomCore::Taps() const {
    return m_engine ? m_engine->Taps() : 0;
}

std::size_t RoomCore::MemoryBytes() const {
    std::size_t bytes = sizeof(*this) + (m_heard.capacity() + m_silence.capacity() + m_finite.capacity()) * sizeof(float);
    for (const auto* sums : {m_sums, m_fading_sums}) {
        for (int ear = 0; ear < 2; ++ear) bytes += sums[ear].capacity() * sizeof(double);
    }
    if (m_engine) bytes += m_engine->MemoryBytes();
    return bytes;
}

void RoomCore::ConnectPort(std::uint32_t port, void* data) {
    if (port >= static_cast<std::uint32_t>(ROOM_PORT_COUNT)) return;
    m_connections[port] = static_cast<float*>(data);
    if (data == nullptr && IsControl(ROOM_PORT_ROWS[port].kind)) m_connections[port] = &m_defaults[port];
}

void RoomCore::TakeControls() {
    for (const std::int32_t port : CONTROLS) {
        if (const auto value = RoomControlFor(port, *m_connections[port])) m_taken[port] = *value;
    }
}

bool RoomCore::Changed() const {
    for (const std::int32_t port : SHAPE) {
        if (Bits(m_taken[port]) != Bits(m_seen[port])) return true;
    }
    return false;
}

std::unique_ptr<RoomCore::Engine> RoomCore::Build(const float* shape) const {
    try {
        const er_room::Pattern pattern = PatternOf(Shaped(shape));
        return std::make_unique<Engine>(er_room::PlanRoom(pattern, m_rate, false, 1), m_max_block);
    } catch (...) {
        return nullptr;  // a shape the model refuses (or no memory): the room stays as it is
    }
}

void RoomCore::Remember(const float* in, std::uint32_t count) {
    const std::size_t mask = m_heard.size() - 1;
    for (std::uint32_t i = 0; i < count;) {
        const std::size_t run = std::min<std::size_t>(count - i, m_heard.size() - m_heard_at);
        std::memcpy(m_heard.data() + m_heard_at, in + i, run * sizeof(float));
        m_heard_at = (m_heard_at + run) & mask;
        i += static_cast<std::uint32_t>(run);
    }
}

void RoomCore::Install(std::unique_ptr<Engine> next, bool crossfade) {
    // The recent input, oldest first: the ring's two runs.
    const auto want = static_cast<std::size_t>(next->Reach()) + SETTLE;
    const std::size_t frames = std::min(want, m_heard.size());
    const std::size_t start = (m_heard_at + m_heard.size() - frames) & (m_heard.size() - 1);
    const std::size_t first = std::min(frames, m_heard.size() - start);
    const float* older = m_heard.data() + start;
    const float* newer = m_heard.data();
    next->Prime(&older, static_cast<std::int64_t>(first));
    next->Prime(&newer, static_cast<std::int64_t>(frames - first));
    if (crossfade && m_engine) {
        Discard(std::move(m_fading));
        m_fading = std::move(m_engine);
        m_crossfade = 0.0;
    } else {
        Discard(std::move(m_fading));
        Discard(std::move(m_engine));
        m_crossfade = 1.0;
    }
    m_engine = std::move(next);
}

void RoomCore::Discard(std::unique_ptr<Engine> engine) {
    if (!engine) return;
    for (auto& slot : m_discarded) {
        if (!slot) {
            slot = std::move(engine);
            return;
        }
    }
    // Both slots held (a worker that has not run yet): the rarest of cases, freed here rather than leaked.
    engine.reset();
}

void RoomCore::Activate() {
    m_state.store(IDLE, std::memory_order_relaxed);
    m_freeing.store(false, std::memory_order_relaxed);
    for (auto& slot : m_discarded) slot.reset();
    m_next.reset();
    m_fading.reset();
    m_crossfade = 1.0;
    std::fill(m_heard.begin(), m_heard.end(), 0.0f);
    m_heard_at = 0;
    TakeControls();
    std::copy(std::begin(m_taken), std::end(m_taken), std::begin(m_seen));
    if (auto engine = Build(m_taken)) {
        m_engine = std::move(engine);
    } else if (m_engine) {
        m_engine->Reset();  // the shape is refused: the room as it was, afresh
    }
    m_starting = true;  // nothing ramps or fades into the values the host starts with
}

void RoomCore::Deactivate() {}

void RoomCore::Run(std::uint32_t frames) {
    const FloatScope scope;
    TakeControls();
    const bool smooth = m_taken[ROOM_SMOOTH] != 0.0f && !m_starting;
    const bool free_slots = !m_freeing.load(std::memory_order_acquire);
    // A room that has faded out goes to the worker once its slots are free (the worker may be freeing them now).
    if (free_slots && m_fading && m_crossfade >= 1.0) Discard(std::move(m_fading));
    if (free_slots && m_state.load(std::memory_order_acquire) == READY) {
        Install(std::move(m_next), smooth);
        m_state.store(IDLE, std::memory_order_relaxed);
    }
    if (m_starting && m_queue == nullptr && Changed()) {
        // What a host without a worker sets between Activate and the first run (lv2file's values) is where the
        // room starts: worked out here, the one run that may allocate.
        std::copy(std::begin(m_taken), std::end(m_taken), std::begin(m_seen));
        if (auto engine = Build(m_seen)) {
            m_engine = std::move(engine);
            m_fading.reset();
        }
    }
    if (m_queue != nullptr && free_slots && m_state.load(std::memory_order_relaxed) == IDLE && Changed()) {
        std::copy(std::begin(m_taken), std::end(m_taken), std::begin(m_seen));
        m_state.store(WORKING, std::memory_order_release);
        const std::uint32_t job = BUILD_ROOM;
        if (!m_queue->Schedule(sizeof job, &job)) {
            m_state.store(IDLE, std::memory_order_relaxed);
            m_seen[ROOM_PRESET] = NAN;  // tried again next run
        } else if (m_state.load(std::memory_order_acquire) == READY) {
            Install(std::move(m_next), smooth);  // a worker that ran at once (an offline host)
            m_state.store(IDLE, std::memory_order_relaxed);
        }
    }
    if (m_queue != nullptr && (m_discarded[0] || m_discarded[1]) && !m_freeing.load(std::memory_order_relaxed)) {
        m_freeing.store(true, std::memory_order_release);
        const std::uint32_t job = FREE_ROOMS;
        if (!m_queue->Schedule(sizeof job, &job)) {
            m_freeing.store(false, std::memory_order_relaxed);  // tried again next run
        }
    }
    m_dry.Follow(Gain(m_taken[ROOM_DRY]), m_fade_samples, smooth);
    m_wet.Follow(Gain(m_taken[ROOM_WET]), m_fade_samples, smooth);
    m_starting = false;
    const float* in = m_connections[ROOM_IN];
    float* outs[2] = {m_connections[ROOM_OUT_L], m_connections[ROOM_OUT_R]};
    const double fade_step = 1.0 / std::max(1.0, m_fade_samples);
    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t count = std::min<std::uint32_t>(frames - done, static_cast<std::uint32_t>(m_max_block));
        const float* chunk_in = in != nullptr ? in + done : m_silence.data();
        // The engine's low-passes keep their state: input that is not finite is taken as silence (into the
        // scratch, since the host's buffer is its own).
        if (in != nullptr && !AllFinite(chunk_in, count)) {
            FiniteCopy(chunk_in, m_finite.data(), count);
            chunk_in = m_finite.data();
        }
        // Every read of the input comes before any output is written: the host may process in place.
        Remember(chunk_in, count);
        const bool fading = m_fading != nullptr && m_crossfade < 1.0;
        for (auto [engine, sums] : {std::pair{m_engine.get(), m_sums}, std::pair{fading ? m_fading.get() : nullptr, m_fading_sums}}) {
            if (engine == nullptr) continue;
            double* wet[2] = {sums[0].data(), sums[1].data()};
            engine->Process(&chunk_in, wet, static_cast<std::int32_t>(count));
            if (engine->Outputs() == 1) std::copy_n(sums[0].begin(), count, sums[1].begin());  // one ear: both play it
        }
        if (!m_engine) {
            for (auto& sums : m_sums) std::fill_n(sums.begin(), count, 0.0);
        }
        const bool ramping = m_dry.Moving() || m_wet.Moving();
        for (std::uint32_t i = 0; i < count; ++i) {
            const double x = chunk_in[i], dry = m_dry.value, wet = m_wet.value;
            for (std::int32_t channel = 0; channel < 2; ++channel) {
                double sum = m_sums[channel][i];
                if (fading) sum = m_crossfade * sum + (1.0 - m_crossfade) * m_fading_sums[channel][i];
                const double mixed = (dry != 0.0 ? dry * x : 0.0) + wet * sum;
                if (outs[channel] != nullptr) outs[channel][done + i] = static_cast<float>(mixed);
            }
            if (ramping) {
                m_dry.Advance(1);
                m_wet.Advance(1);
            }
            if (fading) m_crossfade = std::min(1.0, m_crossfade + fade_step);
        }
        done += count;
    }
}

bool RoomCore::Work(std::uint32_t size, const void* data) {
    std::uint32_t job = 0;
    if (data == nullptr || size != sizeof job) return false;
    std::memcpy(&job, data, sizeof job);
    if (job == FREE_ROOMS) {
        if (!m_freeing.load(std::memory_order_acquire)) return true;
        for (auto& slot : m_discarded) slot.reset();
        m_freeing.store(false, std::memory_order_release);
        return true;
    }
    if (job != BUILD_ROOM) return false;
    if (m_state.load(std::memory_order_acquire) != WORKING) return true;
    // The shape Run noted before it handed the work over; Run leaves it alone until the work is back.
    m_next = Build(m_seen);
    m_state.store(m_next ? READY : IDLE, std::memory_order_release);
    return true;
}

}  // namespace er_plugin
