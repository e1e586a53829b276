// early_reflection._core: the extension under the pure-Python package. It checks what crosses from Python
// (dtypes, shapes, finite samples) before anything moves, releases the GIL while audio is processed, and turns
// every refusal of er-render's code into ValueError (TypeError for a wrong kind of array). The friendly API,
// its keyword names and its docs are the package's Python side.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "EffectCore.h"
#include "EffectPins.h"
#include "Failure.h"
#include "ListText.h"
#include "PinFacts.h"
#include "RoomCore.h"
#include "SampleCodec.h"

namespace py = pybind11;
using namespace er_python;

namespace {

// One thread at a time in an effect: the GIL is released while it processes, so a second thread could
// otherwise enter the same instance. Raises RuntimeError rather than wait.
class InUse {
public:
    explicit InUse(EffectCore& core) : m_core(core) {
        if (m_core.busy.exchange(true)) {
            throw std::runtime_error("this Effect is processing in another thread; give each thread its own Effect");
        }
    }
    ~InUse() { m_core.busy.store(false); }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;

private:
    EffectCore& m_core;
};

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

// A float32 or float64 array of one or two dimensions, as (channels, frames) float32 C-contiguous (a copy
// only when it is not one already). Throws TypeError or ValueError naming the fault.
FloatArray Samples(const py::handle& object, const char* what) {
    if (!py::isinstance<py::array>(object)) {
        throw py::type_error(std::string(what) + " must be a NumPy array of float32 or float64 samples, not " +
                             std::string(py::str(py::type::of(object).attr("__name__"))));
    }
    const auto array = py::reinterpret_borrow<py::array>(object);
    const py::dtype dtype = array.dtype();
    if (dtype.kind() != 'f' || (dtype.itemsize() != 4 && dtype.itemsize() != 8)) {
        throw py::type_error(std::string(what) + " must hold float32 or float64 samples, not " +
                             std::string(py::str(py::object(dtype))) + " (scale integer samples to -1 .. 1 first)");
    }
    if (array.ndim() != 1 && array.ndim() != 2) {
        throw py::value_error(std::string(what) + " must be shaped (frames,) or (channels, frames), not " +
                              std::to_string(array.ndim()) + "-dimensional");
    }
    if (array.ndim() == 2 && array.shape(0) == 0) throw py::value_error(std::string(what) + " has no channel");
    FloatArray samples = FloatArray::ensure(array);
    if (!samples) throw py::error_already_set();
    // float64 beyond the float range becomes infinite here, and is refused with the rest.
    const float* data = samples.data();
    const auto count = static_cast<std::size_t>(samples.size());
    constexpr float LARGEST = std::numeric_limits<float>::max();
    std::size_t bad = 0;
    for (std::size_t i = 0; i < count; ++i) bad += std::fabs(data[i]) <= LARGEST ? 0 : 1;
    if (bad > 0) {
        std::size_t first = 0;
        while (std::fabs(data[first]) <= LARGEST) ++first;
        const auto frames = static_cast<std::size_t>(samples.shape(samples.ndim() - 1));
        throw py::value_error(std::string(what) + " holds " + std::to_string(bad) + " sample" +
                              (bad == 1 ? "" : "s") + " that " + (bad == 1 ? "is" : "are") +
                              " not finite (NaN or infinite; float64 beyond float32's range counts), the first at "
                              "frame " + std::to_string(first % frames) + " of channel " +
                              std::to_string(first / frames));
    }
    return samples;
}

std::int32_t Rows(const py::array& array) { return array.ndim() == 1 ? 1 : static_cast<std::int32_t>(array.shape(0)); }
std::int64_t Frames(const py::array& array) { return array.shape(array.ndim() - 1); }

// The array a call writes into: `out` when given (float32, C-contiguous, writeable, the input's shape), else a new
// one of the input's shape.
py::array_t<float> Output(const py::array& input, const py::object& out) {
    std::vector<py::ssize_t> shape(input.shape(), input.shape() + input.ndim());
    if (out.is_none()) return py::array_t<float>(shape);
    if (!py::isinstance<py::array>(out)) throw py::type_error("out must be a NumPy float32 array");
    auto array = py::reinterpret_borrow<py::array>(out);
    if (!array.dtype().is(py::dtype::of<float>())) {
        throw py::type_error("out must be float32, not " + std::string(py::str(py::object(array.dtype()))));
    }
    if (!(array.flags() & py::array::c_style)) throw py::value_error("out must be C-contiguous");
    if (!array.writeable()) throw py::value_error("out is read-only");
    if (array.ndim() != input.ndim() || !std::equal(shape.begin(), shape.end(), array.shape())) {
        throw py::value_error("out must have the input's shape");
    }
    if (py::detail::array_proxy(array.ptr())->data == py::detail::array_proxy(input.ptr())->data) {
        throw py::value_error("out may not be the input's own memory");
    }
    return py::reinterpret_borrow<py::array_t<float>>(array);
}

py::object ShownValue(const er_render::PinSetting& setting) {
    if (setting.choice) return py::str(setting.entry);
    return py::float_(er_render::PinToShown(setting.from));
}

Levels LevelsOf(const std::string& dry, const std::string& wet, const std::string& gain) { return {dry, wet, gain}; }

py::dict TapsOf(const er_render::RoomPattern& pattern) {
    const auto count = static_cast<py::ssize_t>(pattern.taps.size());
    py::array_t<std::int32_t> channel(count), order(count);
    py::array_t<std::int32_t> bounces({count, static_cast<py::ssize_t>(er_room::WALL_COUNT)});
    py::array_t<double> delay(count), samples(count), gain(count), cutoff(count), damping(count), distance(count);
    py::array_t<double> image({count, py::ssize_t{3}});
    py::array_t<float> time(count), volume(count), damping_pin(count);
    py::array_t<std::int16_t> max_delay(count);
    for (py::ssize_t i = 0; i < count; ++i) {
        const er_render::RoomTap& tap = pattern.taps[static_cast<std::size_t>(i)];
        channel.mutable_at(i) = tap.tap.channel;
        order.mutable_at(i) = tap.tap.order;
        for (py::ssize_t wall = 0; wall < er_room::WALL_COUNT; ++wall) bounces.mutable_at(i, wall) = tap.tap.bounces[wall];
        delay.mutable_at(i) = tap.tap.delay;
        samples.mutable_at(i) = tap.realised.effective;
        gain.mutable_at(i) = tap.tap.gain;
        cutoff.mutable_at(i) = tap.tap.cutoff_hz;
        damping.mutable_at(i) = tap.damping;
        distance.mutable_at(i) = tap.tap.distance;
        image.mutable_at(i, 0) = tap.tap.image.x;
        image.mutable_at(i, 1) = tap.tap.image.y;
        image.mutable_at(i, 2) = tap.tap.image.z;
        const auto pin = [&](std::string_view name) { return *er_render::FindSetting(tap.settings, name); };
        time.mutable_at(i) = pin(er_render::pins::TIME).from;
        volume.mutable_at(i) = pin(er_render::pins::VOLUME).from;
        damping_pin.mutable_at(i) = pin(er_render::pins::DAMPING).from;
        max_delay.mutable_at(i) = pin(er_render::pins::MAX_DELAY).value;
    }
    py::dict taps;
    taps["channel"] = channel;
    taps["order"] = order;
    taps["bounces"] = bounces;
    taps["delay"] = delay;
    taps["delay_samples"] = samples;
    taps["gain"] = gain;
    taps["cutoff_hz"] = cutoff;
    taps["damping"] = damping;
    taps["distance"] = distance;
    taps["image"] = image;
    taps["time_pin"] = time;
    taps["volume_pin"] = volume;
    taps["damping_pin"] = damping_pin;
    taps["max_delay"] = max_delay;
    taps["channels"] = pattern.pattern.channels;
    taps["accuracy"] = pattern.accuracy;
    taps["tail_seconds"] = er_render::RoomTailSeconds(pattern);
    taps["early_share"] = pattern.early_share;
    return taps;
}

py::dict RoomFields(const er_room::Room& room) {
    auto point = [](const er_room::Vec3& v) { return py::make_tuple(v.x, v.y, v.z); };
    py::dict walls;
    for (std::int32_t wall = 0; wall < er_room::WALL_COUNT; ++wall) {
        py::dict surface;
        surface["absorption"] = room.walls[wall].absorption;
        surface["cutoff_hz"] = room.walls[wall].cutoff_hz;
        walls[py::str(std::string(er_room::WALL_NAMES[wall]))] = surface;
    }
    py::dict fields;
    fields["name"] = room.name;
    fields["size"] = point(room.size);
    fields["source"] = point(room.source);
    fields["listener"] = point(room.listener);
    fields["walls"] = walls;
    fields["spacing"] = room.spacing;
    fields["speed_of_sound"] = room.speed_of_sound;
    fields["max_order"] = room.max_order;
    fields["window"] = room.window;
    fields["origin"] = room.origin;
    fields["sabine"] = er_room::SabineSeconds(room);
    fields["eyring"] = er_room::EyringSeconds(room);
    return fields;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The early-reflection module, er-render's settings and rooms (internal; use early_reflection).";
    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const er_render::Failure& failure) {
            PyErr_SetString(PyExc_ValueError, failure.what());
        } catch (const er_room::RoomError& problem) {
            PyErr_SetString(PyExc_ValueError, problem.what());
        }
    });

    m.def("pins", [] {
        py::list pins;
        for (const er_host::PinDescription& pin : ModulePins()) {
            py::dict row;
            row["name"] = pin.name;
            row["direction"] = pin.direction;
            row["choice"] = pin.datatype == DT_LIST;
            row["default"] = pin.default_value;
            py::list choices;
            if (pin.datatype == DT_LIST) {
                for (const er_text::ListEntry& entry : er_text::ParseListText(pin.extra_text)) choices.append(entry.text);
            }
            row["choices"] = choices;
            pins.append(row);
        }
        return pins;
    });

    py::class_<EffectCore>(m, "EffectCore")
        .def(py::init([](float rate, const Assignments& assignments, const std::string& dry, const std::string& wet,
                         const std::string& gain, std::int32_t block, bool allow_unsafe) {
                 return new EffectCore(rate, assignments, LevelsOf(dry, wet, gain), block, allow_unsafe);
             }),
             py::arg("rate"), py::arg("assignments"), py::arg("dry"), py::arg("wet"), py::arg("gain"),
             py::arg("block"), py::arg("allow_unsafe"))
        .def(
            "_set",
            [](EffectCore& core, const Assignments& assignments, const std::string& dry, const std::string& wet,
               const std::string& gain) {
                InUse in_use(core);
                core.Set(assignments, LevelsOf(dry, wet, gain));
            },
            py::arg("assignments"), py::arg("dry"), py::arg("wet"), py::arg("gain"))
        .def("reset", [](EffectCore& core) {
                InUse in_use(core);
                core.Reset();
            },
             "Forgets the stream: the next call starts afresh at sample 0 (as a new render) and may have other "
             "channels. The settings stay.")
        .def(
            "process",
            [](EffectCore& core, const py::object& x, const py::object& out) {
                const FloatArray input = Samples(x, "the input");
                py::array_t<float> output = Output(input, out);
                const std::int32_t channels = Rows(input);
                const std::int64_t frames = Frames(input);
                InUse in_use(core);
                core.Check(channels, frames);
                const float* in = input.data();
                float* to = output.mutable_data();
                {
                    py::gil_scoped_release released;
                    core.Process(in, to, channels, frames);
                }
                return output;
            },
            py::arg("x"), py::arg("out") = py::none(),
            R"(process(x, out=None) -> numpy.ndarray

Runs x through the effect and returns float32 samples of x's shape: x is float32 or float64, shaped (frames,)
or (channels, frames); float64 is rounded to float32 first, as er-render reads a file. The stream goes on from
the last call. `out`, when given, is a C-contiguous, writeable float32 array of x's shape that receives the
samples (no allocation). Raises TypeError for another dtype, ValueError for another shape, samples that are
not finite, or a channel count other than the stream's. The GIL is released while the samples are processed.)")
        .def_property_readonly("rate", &EffectCore::Rate)
        .def_property_readonly("block", &EffectCore::Block)
        .def_property_readonly("channels", &EffectCore::Channels)
        .def_property_readonly("position", &EffectCore::Position)
        .def_property_readonly("warnings", &EffectCore::Warnings)
        .def_property_readonly("_settings",
                               [](const EffectCore& core) {
                                   py::dict settings;
                                   for (const er_render::PinSetting& setting : core.Settings()) {
                                       settings[py::str(setting.name)] = ShownValue(setting);
                                   }
                                   return settings;
                               })
        .def_property_readonly("_mix",
                               [](const EffectCore& core) {
                                   const er_render::Mix& mix = core.Mix();
                                   return py::make_tuple(mix.dry ? py::object(py::float_(mix.dry_gain)) : py::none(),
                                                         mix.wet_gain, mix.gain);
                               })
        .def_property_readonly("_delay", [](const EffectCore& core) -> py::object {
            if (!core.View()) return py::none();
            const er_render::EffectView& view = *core.View();
            const er_render::TapDelay delay = er_render::TapDelayFor(view, view.time.from);
            return py::make_tuple(delay.effective, delay.requested, delay.buffer, view.active);
        });

    // The benchmark's reference: `calls` calls of x's frames through the same core from C++, no Python between
    // them (the module and er-render's host alone). Answers seconds per call.
    m.def("_time_process", [](EffectCore& core, const py::object& x, std::int64_t calls) {
        const FloatArray input = Samples(x, "the input");
        std::vector<float> out(static_cast<std::size_t>(input.size()));
        const std::int32_t channels = Rows(input);
        const std::int64_t frames = Frames(input);
        InUse in_use(core);
        py::gil_scoped_release released;
        const auto started = std::chrono::steady_clock::now();
        for (std::int64_t i = 0; i < calls; ++i) core.Process(input.data(), out.data(), channels, frames);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() /
               static_cast<double>(calls);
    });

    // The module's own time: after one call through the core (which announces the settings), `calls` calls of
    // the record's process entry on the host's buffers of channel 0, nothing else. Seconds per call.
    m.def("_time_module", [](EffectCore& core, const py::object& x, std::int64_t calls) {
        const FloatArray input = Samples(x, "the input");
        if (input.ndim() != 1) throw py::value_error("one channel");
        const auto frames = static_cast<std::int32_t>(input.size());
        std::vector<float> out(static_cast<std::size_t>(frames));
        InUse in_use(core);
        core.Process(input.data(), out.data(), 1, frames);
        er_host::Instance& instance = core.StreamRenderer()->InstanceOf(0);
        std::copy(input.data(), input.data() + frames, instance.Buffer(instance.FindPin("Audio_In")));
        SEModuleRecord* record = instance.Record();
        py::gil_scoped_release released;
        const auto started = std::chrono::steady_clock::now();
        for (std::int64_t i = 0; i < calls; ++i) record->process(record->object, 0, frames);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() /
               static_cast<double>(calls);
    });

    py::class_<er_room::Room>(m, "RoomModel").def_property_readonly("fields", &RoomFields);

    // The rates the module runs at, for the package's own check of a sample_rate before anything is built.
    m.attr("LOWEST_RATE") = effect_pins::LOWEST_RATE;
    m.attr("HIGHEST_RATE") = effect_pins::HIGHEST_RATE;
    m.def("usable_rate", &effect_pins::UsableRate, py::arg("rate"));
    m.def("round_frames", [](double seconds, float rate) {
        bool outside = false;
        return er_render::RoundToRange(seconds * rate, 0, INT32_MAX, outside);
    });
    m.def("named_rooms", [] {
        py::list rooms;
        for (const er_room::NamedRoom& named : er_room::NamedRooms()) {
            rooms.append(py::make_tuple(std::string(named.name), std::string(named.description)));
        }
        return rooms;
    });
    m.def(
        "room_by_name",
        [](const std::string& name_or_file, std::int32_t order, const std::string& scale, const std::string& width,
           const std::string& window) { return RoomByName(name_or_file, {order, scale, width, window}); },
        py::arg("name_or_file"), py::arg("order"), py::arg("scale"), py::arg("width"), py::arg("window"));
    m.def(
        "room_from_json",
        [](const std::string& text, const std::string& origin, std::int32_t order, const std::string& scale,
           const std::string& width, const std::string& window) {
            return RoomFromJson(text, origin, {order, scale, width, window});
        },
        py::arg("text"), py::arg("origin"), py::arg("order"), py::arg("scale"), py::arg("width"), py::arg("window"));
    m.def(
        "room_taps",
        [](const er_room::Room& room, float rate, const std::string& accuracy) {
            return TapsOf(RoomTaps(room, rate, accuracy));
        },
        py::arg("room"), py::arg("rate"), py::arg("accuracy"));
    m.def(
        "render_room",
        [](const er_room::Room& room, float rate, const py::object& x, const std::string& tail, const std::string& dry,
           const std::string& wet, const std::string& gain, std::int32_t block, const std::string& accuracy) {
            const FloatArray input = Samples(x, "the input");
            const float* in = input.data();
            const std::int32_t channels = Rows(input);
            const std::int64_t frames = Frames(input);
            RoomRun run;
            {
                py::gil_scoped_release released;
                run = RenderRoom(room, rate, in, channels, frames, tail, LevelsOf(dry, wet, gain), block, accuracy);
            }
            py::array_t<float> out({static_cast<py::ssize_t>(run.channels), static_cast<py::ssize_t>(run.frames)});
            std::copy(run.samples.begin(), run.samples.end(), out.mutable_data());
            return out;
        },
        py::arg("room"), py::arg("rate"), py::arg("x"), py::arg("tail"), py::arg("dry"), py::arg("wet"),
        py::arg("gain"), py::arg("block"), py::arg("accuracy"));
}
