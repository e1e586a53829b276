// The DPF plug-in that wraps a plug-in core (the effect's EffectCore or the room's RoomCore), for DPF's VST3
// format: a mechanical translator. It keeps one float per control port, which the core is connected to once
// and reads at each run; DPF's parameters read and write those floats, its programs set them from the presets,
// and its state (the program and every input parameter by symbol) restores them. The core decides everything
// else: the controls' translation, clamping, smoothing, the first run, what goes to the worker.
//
// Threads: the constructor, activate(), deactivate(), sampleRateChanged() and bufferSizeChanged() run on the
// host's main thread and may allocate (a new core when the rate or the block changes); run(), setParameterValue()
// and loadProgram() may run on the audio thread and never allocate or lock. The work a core hands out goes to a
// ThreadWorkQueue of the instance's own. Nothing here throws: every failure leaves an instance that plays
// silence.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>

#include "DistrhoPlugin.hpp"
#include "EffectCore.h"
#include "PluginFacts.h"
#include "PresetTexts.h"
#include "RoomCore.h"
#include "ThreadWorkQueue.h"

namespace er_daw {

// The facts of `kind`, worked out once per process; empty (no ports) when they could not be.
inline const PluginFacts& SharedFacts(Kind kind) noexcept {
    static const PluginFacts facts = [kind]() noexcept {
        try {
            return MakeFacts(kind, {std::begin(PRESET_TEXTS), std::end(PRESET_TEXTS)});
        } catch (...) {
            return PluginFacts{kind, {}, {}, {}, {}, {}, {}, {}};
        }
    }();
    return facts;
}

template <Kind KIND>
class CorePlugin final : public DISTRHO::Plugin {
    using Core = std::conditional_t<KIND == Kind::Room, er_plugin::RoomCore, er_plugin::EffectCore>;

public:
    CorePlugin() noexcept
        : Plugin(static_cast<std::uint32_t>(SharedFacts(KIND).parameters.size()),
                 static_cast<std::uint32_t>(SharedFacts(KIND).programs.size()), 0),
          m_facts(SharedFacts(KIND)) {
        std::fill(std::begin(m_values), std::end(m_values), 0.0f);
        std::copy(m_facts.defaults.begin(), m_facts.defaults.end(), m_values);
        try {
            m_queue.emplace(&CorePlugin::WorkOn, this);
        } catch (...) {
            // No thread to be had: the core runs without a worker (a line change waits for the next activation).
        }
        if (!isDummyInstance()) MakeCore();
    }

    ~CorePlugin() override {
        m_queue.reset();  // its thread may be working on the core: stopped first
    }

protected:
    const char* getName() const noexcept override { return m_facts.name.c_str(); }
    const char* getLabel() const noexcept override { return KIND == Kind::Room ? "er_room" : KIND == Kind::Mono ? "er_mono" : "er_stereo"; }
    const char* getMaker() const noexcept override { return "early_reflection developers"; }
    const char* getLicense() const noexcept override { return "ISC"; }
    std::uint32_t getVersion() const noexcept override { return d_version(2, 90, 0); }
    std::int64_t getUniqueId() const noexcept override {
        return KIND == Kind::Room ? d_cconst('E', 'R', 'r', 'm') : KIND == Kind::Mono ? d_cconst('E', 'R', 'm', 'o')
                                                                                       : d_cconst('E', 'R', 's', 't');
    }

    void initAudioPort(bool input, std::uint32_t index, DISTRHO::AudioPort& port) noexcept override {
        const auto& ports = input ? m_facts.inputs : m_facts.outputs;
        if (index >= ports.size()) return;
        const er_plugin::PortDescription& description = m_facts.ports[static_cast<std::size_t>(ports[index])];
        port.name = description.name.c_str();
        port.symbol = description.row.symbol;
        port.groupId = ports.size() == 1 ? DISTRHO::kPortGroupMono : DISTRHO::kPortGroupStereo;
    }

    void initParameter(std::uint32_t index, DISTRHO::Parameter& parameter) noexcept override {
        if (index >= m_facts.parameters.size()) return;
        const ParameterFacts& facts = m_facts.parameters[index];
        parameter.name = facts.name.c_str();
        parameter.symbol = facts.symbol.c_str();
        parameter.unit = facts.unit.c_str();
        parameter.ranges = DISTRHO::ParameterRanges(facts.default_value, facts.minimum, facts.maximum);
        // A choice is not marked integer: DPF 1.6's VST3 side converts an integer parameter's value to int
        // unchecked, undefined for the NaN a host may send; its entries make it a list in VST3 hosts all the same
        // (and the core rounds a choice's value to the nearest entry itself).
        parameter.hints = facts.output   ? DISTRHO::kParameterIsOutput
                          : facts.toggle ? DISTRHO::kParameterIsAutomatable | DISTRHO::kParameterIsBoolean |
                                              DISTRHO::kParameterIsInteger
                                         : DISTRHO::kParameterIsAutomatable;
        if (!facts.entries.empty()) {
            auto* values = new (std::nothrow) DISTRHO::ParameterEnumerationValue[facts.entries.size()];
            if (values == nullptr) return;
            for (std::size_t i = 0; i < facts.entries.size(); ++i) {
                values[i].value = facts.entries[i].value;
                values[i].label = facts.entries[i].label.c_str();
            }
            parameter.enumValues.count = static_cast<std::uint8_t>(facts.entries.size());
            parameter.enumValues.restrictedMode = true;
            parameter.enumValues.values = values;
        }
    }

    void initProgramName(std::uint32_t index, DISTRHO::String& name) noexcept override {
        if (index < m_facts.programs.size()) name = m_facts.programs[index].name.c_str();
    }

    float getParameterValue(std::uint32_t index) const noexcept override {
        return index < m_facts.parameters.size() ? m_values[m_facts.parameters[index].port] : 0.0f;
    }

    // What the core takes of the value, by its own rule: a value it ignores (not finite, no such entry) leaves the
    // last one, others are kept to the range. The core would do the same with the raw value; taking it here
    // too means a host reads back, shows and saves what plays, never a NaN or a 1e30.
    void setParameterValue(std::uint32_t index, float value) noexcept override {
        if (index >= m_facts.parameters.size() || m_facts.parameters[index].output) return;
        const std::int32_t port = m_facts.parameters[index].port;
        if (const std::optional<float> taken = TakenValue(m_facts, port, value)) m_values[port] = *taken;
    }

    void loadProgram(std::uint32_t index) noexcept override {
        if (index >= m_facts.programs.size()) return;
        for (const auto& [port, value] : m_facts.programs[index].values) m_values[port] = value;
    }

    void activate() noexcept override {
        if (m_core == nullptr) MakeCore();
        if (m_core == nullptr) return;
        m_core->Activate();
        std::copy(std::begin(m_values), std::end(m_values), m_activated_with);
        m_first_run = true;
    }

    void deactivate() noexcept override {
        m_first_run = false;
        // The worker may be inside the core's Work on the module objects Deactivate frees: it finishes first.
        if (m_queue) m_queue->Drain();
        if (m_core != nullptr) m_core->Deactivate();
    }

    void run(const float** inputs, float** outputs, std::uint32_t frames) noexcept override {
        if (m_core == nullptr) {
            for (std::size_t channel = 0; channel < m_facts.outputs.size(); ++channel) {
                if (outputs[channel] != nullptr) std::memset(outputs[channel], 0, frames * sizeof(float));
            }
            return;
        }
        for (std::size_t channel = 0; channel < m_facts.inputs.size(); ++channel) {
            m_core->ConnectPort(static_cast<std::uint32_t>(m_facts.inputs[channel]), const_cast<float*>(inputs[channel]));
        }
        for (std::size_t channel = 0; channel < m_facts.outputs.size(); ++channel) {
            m_core->ConnectPort(static_cast<std::uint32_t>(m_facts.outputs[channel]), outputs[channel]);
        }
        if (m_first_run) {
            m_first_run = false;
            // A VST3 host sends what it set before playing with the first process call (DPF applies it just before
            // this run): the core starts again from those values, as from values set before activation, instead
            // of playing them as changes (a new line or room would come late, from the worker). This run then
            // allocates, once; a host that sets its values before activating never gets here.
            if (ControlsMovedSinceActivation()) {
                m_core->Deactivate();
                m_core->Activate();
            }
        }
        m_core->Run(frames);
    }

    // DPF calls these while the plug-in is deactivated: the core is made anew for the new rate or block.
    void sampleRateChanged(double) noexcept override { MakeCore(); }
    void bufferSizeChanged(std::uint32_t) noexcept override { MakeCore(); }

private:
    static void WorkOn(void* context, std::uint32_t size, const void* data) noexcept {
        auto* plugin = static_cast<CorePlugin*>(context);
        if (plugin->m_core != nullptr) plugin->m_core->Work(size, data);
    }

    bool ControlsMovedSinceActivation() const noexcept {
        for (const ParameterFacts& parameter : m_facts.parameters) {
            if (!parameter.output &&
                std::memcmp(&m_values[parameter.port], &m_activated_with[parameter.port], sizeof(float)) != 0) {
                return true;
            }
        }
        return false;
    }

    // A core at the current rate and block, connected to the controls; none when the rate is unusable.
    void MakeCore() noexcept {
        if (m_queue) m_queue->Drain();  // the work the old core handed out is done before it goes
        m_core.reset();
        if (m_facts.ports.empty()) return;
        const auto rate = getSampleRate();
        const auto block = static_cast<std::int32_t>(std::min<std::uint32_t>(getBufferSize(), INT32_MAX));
        er_plugin::WorkQueue* queue = m_queue ? &*m_queue : nullptr;
        if constexpr (KIND == Kind::Room) {
            m_core.reset(Core::Create(rate, block, queue));
        } else {
            m_core.reset(Core::Create(er_plugin::VARIANTS[KIND == Kind::Mono ? 0 : 1], rate, block, queue));
        }
        if (m_core == nullptr) return;
        for (const ParameterFacts& parameter : m_facts.parameters) {
            m_core->ConnectPort(static_cast<std::uint32_t>(parameter.port), &m_values[parameter.port]);
        }
    }

    const PluginFacts& m_facts;
    float m_values[MAX_PORTS];               // one per port: the controls the core reads, the readings it writes
    float m_activated_with[MAX_PORTS] = {};  // the values at the last activate()
    bool m_first_run = false;                // no run since activate()
    std::unique_ptr<Core> m_core;            // null: no usable rate, no memory, or the dummy instance DPF describes
    std::optional<er_plugin::ThreadWorkQueue> m_queue;  // declared last: stopped before the core goes

    DISTRHO_DECLARE_NON_COPYABLE(CorePlugin)
};

}  // namespace er_daw
