#include "Reference.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "EffectCore.h"
#include "PinFacts.h"
#include "Ports.h"
#include "Room.h"
#include "RoomCore.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace er_daw_test {
namespace {

// The core's port descriptions of a plug-in, in port order (the mono variant's own ports only).
std::vector<er_plugin::PortDescription> Descriptions(Kind kind) {
    if (kind == Kind::Room) return er_plugin::RoomPortDescriptions();
    std::vector<er_plugin::PortDescription> ports = er_plugin::PortDescriptions();
    const auto& variant = er_plugin::VARIANTS[kind == Kind::Stereo ? 1 : 0];
    ports.resize(std::min<std::size_t>(ports.size(), static_cast<std::size_t>(variant.ports)));
    return ports;
}

// The audio ports of each channel, in channel order.
struct AudioPorts {
    std::vector<std::uint32_t> in, out;
};
AudioPorts Audio(Kind kind) {
    if (kind == Kind::Room) return {{er_plugin::ROOM_IN}, {er_plugin::ROOM_OUT_L, er_plugin::ROOM_OUT_R}};
    AudioPorts audio;
    for (std::int32_t c = 0; c < (kind == Kind::Stereo ? 2 : 1); ++c) {
        audio.in.push_back(static_cast<std::uint32_t>(er_plugin::CHANNEL_IN[c]));
        audio.out.push_back(static_cast<std::uint32_t>(er_plugin::CHANNEL_OUT[c]));
    }
    return audio;
}

// Either core behind the five calls a format makes.
struct AnyCore {
    std::unique_ptr<er_plugin::EffectCore> effect;
    std::unique_ptr<er_plugin::RoomCore> room;
    void ConnectPort(std::uint32_t port, void* data) {
        effect ? effect->ConnectPort(port, data) : room->ConnectPort(port, data);
    }
    void Activate() { effect ? effect->Activate() : room->Activate(); }
    void Deactivate() { effect ? effect->Deactivate() : room->Deactivate(); }
    void Run(std::uint32_t frames) { effect ? effect->Run(frames) : room->Run(frames); }
};

std::string Number(float value) {
    std::ostringstream text;
    text.precision(9);
    text << value;
    return text.str();
}

}  // namespace

const char* KindName(Kind kind) {
    static const char* const NAMES[] = {"mono", "stereo", "room"};
    return NAMES[static_cast<int>(kind)];
}

std::vector<Control> ControlsOf(Kind kind) {
    std::vector<Control> controls;
    for (const er_plugin::PortDescription& port : Descriptions(kind)) {
        if (!er_plugin::IsControl(port.row.kind) && !er_plugin::IsReading(port.row.kind)) continue;
        controls.push_back({port.row.symbol, port.name, port.minimum, port.maximum, port.default_value,
                            er_plugin::IsReading(port.row.kind),
                            er_plugin::IsChoice(port.row.kind) || port.row.kind == er_plugin::PortKind::Switch});
    }
    return controls;
}

std::uint32_t InputChannels(Kind kind) { return static_cast<std::uint32_t>(Audio(kind).in.size()); }
std::uint32_t OutputChannels(Kind kind) { return static_cast<std::uint32_t>(Audio(kind).out.size()); }

Channels CoreRender(Kind kind, double rate, std::int32_t max_block, const Controls& start, const Channels& input,
                    const std::vector<std::uint32_t>& runs, const std::vector<Change>& changes) {
    AnyCore core;
    if (kind == Kind::Room) {
        core.room.reset(er_plugin::RoomCore::Create(rate, max_block, nullptr));
    } else {
        core.effect.reset(
            er_plugin::EffectCore::Create(er_plugin::VARIANTS[kind == Kind::Stereo ? 1 : 0], rate, max_block, nullptr));
    }
    if (!core.effect && !core.room) return {};
    const std::vector<er_plugin::PortDescription> ports = Descriptions(kind);
    std::vector<float> values(ports.size(), 0.0f);
    const auto set = [&](const std::string& symbol, float value) {
        for (std::size_t port = 0; port < ports.size(); ++port) {
            if (symbol == ports[port].row.symbol) values[port] = value;
        }
    };
    for (std::size_t port = 0; port < ports.size(); ++port) {
        values[port] = ports[port].default_value;
        if (er_plugin::IsControl(ports[port].row.kind) || er_plugin::IsReading(ports[port].row.kind)) {
            core.ConnectPort(static_cast<std::uint32_t>(port), &values[port]);
        }
    }
    for (const auto& [symbol, value] : start) set(symbol, value);
    const AudioPorts audio = Audio(kind);
    const std::size_t frames = input.empty() ? 0 : input[0].size();
    Channels output(audio.out.size(), std::vector<float>(frames, 0.0f));
    core.Activate();
    std::size_t done = 0;
    // The host's runs, each cut where a change falls inside it (as a plug-in that takes an event at its frame does).
    std::size_t run_end = 0;
    for (std::size_t r = 0; done < frames && !runs.empty();) {
        if (done == run_end) run_end = done + std::min<std::size_t>(runs[r++ % runs.size()], frames - done);
        std::size_t until = run_end;
        for (const Change& change : changes) {
            if (change.frame > done && change.frame < until) until = change.frame;
        }
        const auto count = static_cast<std::uint32_t>(until - done);
        for (const Change& change : changes) {
            if (change.frame == done) set(change.symbol, change.value);
        }
        for (std::size_t c = 0; c < audio.in.size(); ++c) {
            core.ConnectPort(audio.in[c], const_cast<float*>(input[c].data() + done));
        }
        for (std::size_t c = 0; c < audio.out.size(); ++c) core.ConnectPort(audio.out[c], output[c].data() + done);
        core.Run(count);
        done += count;
    }
    core.Deactivate();
    return output;
}

std::optional<Channels> ErRender(Kind kind, double rate, std::int32_t block, const Controls& controls,
                                 const Channels& input, std::string& error, const std::string& settings) {
#if defined(ER_RENDER_PATH)
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("er-daw-test-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const fs::path in_path = folder / "in.raw", out_path = folder / "out.raw";
    const std::size_t frames = input.empty() ? 0 : input[0].size();
    {
        std::vector<float> interleaved;
        for (std::size_t i = 0; i < frames; ++i) {
            for (const auto& channel : input) interleaved.push_back(channel[i]);
        }
        std::ofstream file(in_path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(interleaved.data()),
                   static_cast<std::streamsize>(interleaved.size() * sizeof(float)));
    }
    std::string command = std::string("'") + ER_RENDER_PATH + "' '" + in_path.string() + "' '" + out_path.string() +
                          "' --type raw --format float --rate " + std::to_string(static_cast<long>(rate)) +
                          " --channels " + std::to_string(input.size()) + " --block " + std::to_string(block) +
                          " --tail 0 -q";
    std::map<std::string, float> value;
    for (const Control& control : ControlsOf(kind)) value[control.symbol] = control.default_value;
    for (const auto& [symbol, v] : controls) value[symbol] = v;
    if (kind == Kind::Room) {
        const auto level = [](float db) { return db <= -70.0f ? std::string("off") : Number(db); };
        command += " --room " + std::string(er_room::NamedRooms()[static_cast<std::size_t>(value["room"])].name) +
                   " --room-scale " + Number(value["size"]) + " --room-width " + Number(value["width"]) +
                   " --dry " + level(value["dry"]) + " --wet " + level(value["wet"]);
        if (value["window"] > 0.0f) command += " --room-window " + Number(value["window"]) + "ms";
    } else {
        // The pins by the module's names, but those the settings file sets (er-render's --set would win over it);
        // the plug-in's own controls have no er-render option.
        std::vector<std::string> file_lines;
        if (!settings.empty()) {
            std::ifstream file(settings);
            for (std::string line; std::getline(file, line);) file_lines.push_back(line);
        }
        const auto in_file = [&](std::string_view name) {
            for (const std::string& line : file_lines) {
                if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == '=') {
                    return true;
                }
            }
            return false;
        };
        for (const auto& facts : effect_pins::PINS) {
            if (in_file(facts.name)) continue;
            const std::size_t port = static_cast<std::size_t>(effect_pins::Index(facts.pin));
            const std::vector<Control> all = ControlsOf(kind);
            for (const Control& control : all) {
                if (control.symbol != er_plugin::PORT_ROWS[port].symbol) continue;
                command += " --set '" + std::string(facts.name) + "=" + Number(value[control.symbol]) + "'";
            }
        }
    }
    if (!settings.empty()) command += " --settings '" + settings + "'";
    command += " 2>'" + (folder / "err.txt").string() + "'";
    const int status = std::system(command.c_str());
    std::ifstream file(out_path, std::ios::binary);
    std::vector<float> interleaved;
    if (status == 0 && file) {
        file.seekg(0, std::ios::end);
        interleaved.resize(static_cast<std::size_t>(file.tellg()) / sizeof(float));
        file.seekg(0);
        file.read(reinterpret_cast<char*>(interleaved.data()),
                  static_cast<std::streamsize>(interleaved.size() * sizeof(float)));
    }
    std::ifstream err(folder / "err.txt");
    std::stringstream err_text;
    err_text << err.rdbuf();
    fs::remove_all(folder);
    if (status != 0 || interleaved.empty()) {
        error = "er-render failed (" + std::to_string(status) + "): " + command + "\n" + err_text.str();
        return std::nullopt;
    }
    const std::size_t channels = interleaved.size() / std::max<std::size_t>(frames, 1);
    Channels output(channels, std::vector<float>(frames));
    for (std::size_t i = 0; i < frames && (i + 1) * channels <= interleaved.size(); ++i) {
        for (std::size_t c = 0; c < channels; ++c) output[c][i] = interleaved[i * channels + c];
    }
    return output;
#else
    (void)kind, (void)rate, (void)block, (void)controls, (void)input, (void)settings;
    error = "er-render is not built here";
    return std::nullopt;
#endif
}

}  // namespace er_daw_test
