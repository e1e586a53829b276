#include "Peers.h"

#include <cmath>
#include <map>
#include <tuple>
#include <type_traits>

#include <faust/dsp/dsp.h>
#include <faust/gui/MapUI.h>
#include <stk/Delay.h>
#include <stk/DelayL.h>
#include <stk/OnePole.h>

namespace er_bench {

namespace {

constexpr int PEER_SAMPLE_RATE = 48000;  // no peer here depends on it

// ---- STK: stk::Delay or stk::DelayL, with stk::OnePole as the damping in the feedback path ----------------

// Written as an STK user would: the tap read before this sample's write (nextOut), the line ticked with what
// the variant writes. OnePole's pole D gives (1 - D) * z + D * S, the effect's low-pass.
template <Kind K, Variant V>
class StkPeer final : public Peer {
public:
    explicit StkPeer(const Job& job)
        : m_line(InitialDelay(job), static_cast<unsigned long>(job.buffer_size - 1)),
          m_volume(job.volume),
          m_feedback(job.feedback) {
        m_damping.setPole(job.damping);
    }

    void Run(const float* in, const float* time, float* out, std::int32_t count) override {
        for (std::int32_t i = 0; i < count; ++i) {
            if constexpr (K == Kind::Full) m_line.setDelay(time[i]);
            const stk::StkFloat x = in[i];
            if constexpr (V == Variant::Plain) {
                out[i] = static_cast<float>(m_volume * m_line.tick(x));
            } else {
                const stk::StkFloat d = m_line.nextOut();
                const stk::StkFloat y = m_volume * d;
                m_line.tick(Write(x, d, y));
                out[i] = static_cast<float>(y);
            }
        }
    }

private:
    using Line = std::conditional_t<K == Kind::Sample, stk::Delay, stk::DelayL>;

    static auto InitialDelay(const Job& job) {
        if constexpr (K == Kind::Sample) return static_cast<unsigned long>(std::lround(job.delay));
        else return static_cast<stk::StkFloat>(EffectiveDelay(job.delay));
    }

    stk::StkFloat Write(stk::StkFloat x, stk::StkFloat d, stk::StkFloat y) {
        if constexpr (V == Variant::TapFeedback) return x + m_feedback * m_damping.tick(d);
        else if constexpr (V == Variant::InputTapFeedback) return m_damping.tick(x + m_feedback * d);
        else if constexpr (V == Variant::OutputFeedback) return x + m_feedback * m_damping.tick(y);
        else return m_damping.tick(x + m_feedback * y);
    }

    Line m_line;
    stk::OnePole m_damping;
    stk::StkFloat m_volume;
    stk::StkFloat m_feedback;
};

using PeerMaker = std::unique_ptr<Peer> (*)(const Job&);

template <Kind K, Variant V>
std::unique_ptr<Peer> MakeStk(const Job& job) {
    return std::make_unique<StkPeer<K, V>>(job);
}

template <Kind K>
constexpr PeerMaker STK_ROW[VARIANT_COUNT] = {
    &MakeStk<K, Variant::Plain>, &MakeStk<K, Variant::TapFeedback>, &MakeStk<K, Variant::InputTapFeedback>,
    &MakeStk<K, Variant::OutputFeedback>, &MakeStk<K, Variant::InputOutputFeedback>};

constexpr const PeerMaker* STK_PEERS[KIND_COUNT] = {STK_ROW<Kind::Sample>, STK_ROW<Kind::Econ>,
                                                    STK_ROW<Kind::Full>};

// ---- Faust: the generated programs of faust/, behind their sliders -------------------------------------------

class FaustPeer final : public Peer {
public:
    FaustPeer(std::unique_ptr<dsp> program, const Job& job)
        : m_dsp(std::move(program)), m_time_scale(1.0 / job.buffer_size) {
        m_dsp->init(PEER_SAMPLE_RATE);
        m_dsp->buildUserInterface(&m_ui);
        const std::map<std::string, double> values = {
            {"k", std::lround(job.delay)}, {"time", EffectiveDelay(job.delay)}, {"volume", job.volume}, {"feedback", job.feedback}, {"damping", job.damping}};
        for (auto& [label, zone] : m_ui.getLabelMap()) *zone = static_cast<FAUSTFLOAT>(values.at(label));
    }

    void Run(const float* in, const float* time, float* out, std::int32_t count) override {
        FAUSTFLOAT* inputs[2] = {const_cast<float*>(in), const_cast<float*>(time)};
        FAUSTFLOAT* outputs[1] = {out};
        m_dsp->compute(count, inputs, outputs);
    }

    // The programs take a moving time as a fraction of the line (faust/er_peers.lib says why).
    float TimeInput(double delay) const override { return static_cast<float>(delay * m_time_scale); }

private:
    std::unique_ptr<dsp> m_dsp;
    MapUI m_ui;
    double m_time_scale;
};

using FaustKey = std::tuple<Kind, Variant, std::int32_t>;

std::map<FaustKey, FaustFactory>& FaustPrograms() {
    static std::map<FaustKey, FaustFactory> programs;
    return programs;
}

}  // namespace

bool RegisterFaustPeer(Kind kind, Variant variant, std::int32_t max_delay, FaustFactory factory) {
    FaustPrograms()[{kind, variant, max_delay}] = std::move(factory);
    return true;
}

std::vector<NamedPeer> MakePeers(const Job& job) {
    std::vector<NamedPeer> peers;
    peers.push_back({"stk", STK_PEERS[static_cast<int>(job.kind)][static_cast<int>(job.variant)](job)});
    const auto program = FaustPrograms().find({job.kind, job.variant, job.buffer_size});
    if (program != FaustPrograms().end()) {
        peers.push_back({"faust", std::make_unique<FaustPeer>(program->second(), job)});
    }
    return peers;
}

std::vector<std::string> PeerNames(const Job& job) {
    std::vector<std::string> names{"stk"};
    if (FaustPrograms().count({job.kind, job.variant, job.buffer_size})) names.push_back("faust");
    return names;
}

}  // namespace er_bench
