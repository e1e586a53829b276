// A small CLAP and VST3 host for tests and benchmarks: loads a plug-in binary (dlopen, LoadLibrary under wine),
// makes an instance, sets the rate and the maximum block, activates it, sets parameters (before activation, at the
// start of a block, or as time-stamped events inside a block), processes 32-bit float audio, saves and restores
// state, deactivates. Written from the formats' own headers as Debian's dpf-source ships them (CLAP's, and VST3's as
// plain C, "travesty"); it knows nothing of the plug-ins it loads beyond what they describe.
//
// One thread calls everything, as an offline host does: the formats' thread rules (main thread, audio thread) are
// kept in order, never at once. Nothing here throws across the plug-in's boundary; a refusal is a false/empty
// result with the reason in LastError().
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace er_daw_host {

enum class Format { Clap, Vst3 };
const char* FormatName(Format format);

// A parameter as the plug-in describes it. Values in this host are always plain (the plug-in's own units); the
// VST3 side converts to and from the normalised values its interface carries.
struct Parameter {
    std::uint32_t id = 0;  // the format's parameter id
    std::string name;      // CLAP: name; VST3: title
    std::string symbol;    // CLAP: the module path's last element (the plug-ins put the symbol there); VST3: empty
    double minimum = 0.0, maximum = 0.0, default_value = 0.0;
    bool stepped = false;    // whole numbers only
    bool read_only = false;  // an output: the plug-in writes it
    bool hidden = false;
    bool program_change = false;  // VST3: the parameter that selects a program
};

// A parameter change at a frame of the block it is handed to.
struct ParameterEvent {
    std::uint32_t frame = 0;
    std::uint32_t id = 0;
    double value = 0.0;  // plain; VST3 sends (value - minimum) / (maximum - minimum), unclamped
};

class Instance {
public:
    virtual ~Instance() = default;
    virtual Format GetFormat() const = 0;
    virtual const std::vector<Parameter>& Parameters() const = 0;
    // The parameter whose symbol (CLAP) or name (either format) is `key`; null if none.
    const Parameter* Find(const std::string& key) const;
    virtual std::uint32_t InputChannels() const = 0;   // over every input bus/port, in order
    virtual std::uint32_t OutputChannels() const = 0;

    // CLAP: activate + start_processing; VST3: setup_processing + set_active + set_processing.
    virtual bool Activate(double rate, std::uint32_t max_block) = 0;
    virtual void Deactivate() = 0;
    // CLAP, active: reset (a fresh start on the audio thread); VST3 has no such call (false).
    virtual bool Reset() = 0;
    virtual bool Active() const = 0;
    // CLAP, inactive: applied at once (params.flush). Otherwise queued for the next Process at frame 0 (VST3's
    // processor takes values from process calls alone; its edit controller is told at once while inactive).
    virtual bool Set(std::uint32_t id, double value) = 0;
    // `in` and `out` hold InputChannels() and OutputChannels() pointers of `frames` samples each.
    virtual bool Process(const float* const* in, float* const* out, std::uint32_t frames,
                         std::span<const ParameterEvent> events = {}) = 0;
    // A benchmark's loop: PrepareRepeat makes one ordinary Process call (what is pending is delivered) and keeps
    // that call, without events; each Repeat hands it to the plug-in again with nothing of the host's own around
    // it, as an LV2 host's run is one call through the descriptor. The buffers stay the caller's.
    virtual bool PrepareRepeat(const float* const* in, float* const* out, std::uint32_t frames) = 0;
    virtual void Repeat() = 0;
    virtual std::optional<double> Get(std::uint32_t id) = 0;
    // The plug-in's text for a plain value of a parameter, and the plain value it reads from a text (CLAP's
    // value_to_text and text_to_value; VST3's string for value and value for string, through the normalised value).
    virtual std::optional<std::string> TextFor(std::uint32_t id, double value) = 0;
    virtual std::optional<double> ValueFor(std::uint32_t id, const std::string& text) = 0;
    virtual std::optional<std::vector<std::uint8_t>> SaveState() = 0;
    virtual bool LoadState(std::span<const std::uint8_t> state) = 0;
    // Selects a program: VST3 through its program-change parameter; CLAP has none (false).
    virtual bool SelectProgram(std::int32_t program) = 0;
    // The programs' names, in order (VST3: the program-change parameter's texts); empty where there are none.
    virtual std::vector<std::string> ProgramNames() = 0;

    // What the plug-in sent back during the last Process call (its readings), plain, in the order sent. A VST3
    // host passes each on to the edit controller, as a host showing the readings does.
    const std::vector<ParameterEvent>& Sent() const { return m_sent; }

    const std::string& LastError() const { return m_error; }

protected:
    std::vector<ParameterEvent> m_sent;
    bool Fail(std::string reason) {
        m_error = std::move(reason);
        return false;
    }
    std::string m_error;
};

// A loaded plug-in binary and its factory. Instances must not outlive it.
class Binary {
public:
    // `path`: a .clap file, or a .vst3 bundle folder (the binary for this system inside it) or the binary itself.
    static std::unique_ptr<Binary> Load(Format format, const std::string& path, std::string& error);
    virtual ~Binary() = default;
    virtual Format GetFormat() const = 0;
    // CLAP: the descriptors' ids; VST3: the audio-module classes' names.
    virtual std::vector<std::string> Plugins() const = 0;
    // The plug-in whose id (CLAP) or class name (VST3) is `plugin`, initialised; null with `error` set on failure.
    virtual std::unique_ptr<Instance> Create(const std::string& plugin, std::string& error) = 0;
};

// The binary inside a VST3 bundle folder for the running system (Contents/x86_64-linux/NAME.so,
// Contents/x86_64-win/NAME.vst3); a path that is not a folder is returned as it is.
std::string Vst3BinaryPath(const std::string& bundle);

}  // namespace er_daw_host
