#include "Plan.h"

#include <cmath>
#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

#include "Batch.h"
#include "EffectPins.h"
#include "Failure.h"
#include "ListText.h"
#include "Room.h"
#include "SampleCodec.h"
#include "Settings.h"
#include "Summary.h"
#include "Text.h"
#include "Units.h"

namespace er_render {

using namespace er_text;

namespace {

constexpr long long MAX_BLOCK = 1 << 20;
constexpr long long MAX_CHANNELS = 1024;
constexpr float DEFAULT_RATE = 48000.0f;
constexpr int IMPULSE_FORMAT = SF_FORMAT_WAV | SF_FORMAT_FLOAT;       // a response keeps its full precision
constexpr int TEST_SIGNAL_FORMAT = SF_FORMAT_WAV | SF_FORMAT_PCM_16;  // plays anywhere
constexpr double MAX_DECIBELS = 200.0;
constexpr int MAX_DITHERED_BITS = 16;
// A unit impulse's samples, 0 and 1.0, as the steps of an integer input: scaled by a power of two no finer than
// an output step, every sample of its response lies on a step, as a file's does.
constexpr SampleCodec UNIT_IMPULSE{1};
// How far below a whole number of samples a plain "1 Time" may fall and still be that number meant: a shown
// value's float falls short of it by far less than this.
constexpr double PLAIN_DELAY_NEAR = 1.0e-3;

double CheckedSeconds(const std::string& text, const char* option, double low) {
    const auto seconds = ParseNumber(text);
    if (!seconds || *seconds < low || *seconds > MAX_SECONDS) {
        throw Failure(EXIT_USAGE, std::string(option) + " takes seconds from " + FormatNumber(low) + " to " +
                                      FormatNumber(MAX_SECONDS) + ", not " + Quoted(text));
    }
    return *seconds;
}

long long CheckedWhole(const std::string& text, const char* what, long long high) {
    const auto value = ParseInteger(text);
    if (!value || *value <= 0 || *value > high) {
        throw Failure(EXIT_USAGE, std::string(what) + " must be a whole number from 1 to " + std::to_string(high) +
                                      ", not " + Quoted(text));
    }
    return *value;
}

// --rate: whole hertz that the module runs at.
int CheckedRate(const std::string& text) {
    const auto value = ParseInteger(text);
    if (!value || !effect_pins::UsableRate(static_cast<double>(*value))) {
        throw Failure(EXIT_USAGE, "--rate must be a whole number from " + FormatNumber(effect_pins::LOWEST_RATE) +
                                      " to " + FormatNumber(effect_pins::HIGHEST_RATE) + ", not " + Quoted(text));
    }
    return static_cast<int>(*value);
}

// The rate of a render without an input file.
float RateOption(const Options& options) {
    return options.rate.empty() ? DEFAULT_RATE : static_cast<float>(CheckedRate(options.rate));
}

// --tail TIME in seconds: "2", "2s", "500ms" or "1200smp", from 0 to MAX_SECONDS.
double TailSeconds(const std::string& text, float rate) {
    const std::int64_t frames = ParseMoment(text, rate);
    if (frames < 0 || static_cast<double>(frames) > MAX_SECONDS * rate) {
        throw Failure(EXIT_USAGE, "--tail takes a time from 0 to " + FormatNumber(MAX_SECONDS) + " s, not " + Quoted(text));
    }
    return static_cast<double>(frames) / rate;
}

std::int64_t SecondsToFrames(double seconds, float rate) {
    bool outside = false;
    return RoundToRange(seconds * rate, 0, INT32_MAX, outside);
}

// OUT's container: the one its extension names; for "-" and a name without an extension, --type's, else the
// input's. --type naming another container than OUT's extension is refused, and so is an extension that names
// no container, unless --type names one.
int OutputContainer(int input_format, const std::string& path, const Options& options) {
    int typed = 0;
    if (!options.type.empty()) {
        typed = MajorFormatForExtension(options.type);
        if (typed == 0) throw Failure(EXIT_USAGE,
                                      "--type takes a file extension libsndfile knows (wav, flac, "
                                      "aiff, ogg, raw, ...), not " +
                                          Quoted(options.type));
    }
    const std::string extension = path == "-" ? "" : ExtensionOf(path);
    if (extension.empty()) return typed != 0 ? typed : input_format & SF_FORMAT_TYPEMASK;
    const int named = MajorFormatForExtension(extension);
    if (named == 0 && typed == 0) {
        throw Failure(EXIT_USAGE, "OUT " + Quoted(path) + ": no container has the extension ." + extension +
                                      "; name one with --type (wav, flac, aiff, ogg, raw, ...)");
    }
    if (named != 0 && typed != 0 && named != typed) {
        throw Failure(EXIT_USAGE, "--type " + options.type + " contradicts OUT " + Quoted(path) +
                                      ", whose extension names a " + MajorFormatName(named) +
                                      " file; --type is for \"-\" and names without an extension");
    }
    return named != 0 ? named : typed;
}

// The container and subtype of OUT: the subtype --format names (unless `format_is_inputs`: a raw input's), else
// the one nearest `input_format`'s that the container holds.
int OutputFormat(int input_format, const std::string& path, const Options& options, int channels, int rate,
                 bool format_is_inputs = false) {
    const int major = OutputContainer(input_format, path, options);
    // A raw input's --format describes the input; the output's follows from it as from any input's format.
    std::string name = format_is_inputs ? "" : ToLower(Trim(options.format));
    // An Ogg file named .opus holds Opus, as opusenc and sox write it.
    const bool opus = ExtensionOf(path) == "opus" || (ExtensionOf(path).empty() && ToLower(options.type) == "opus");
    if (name.empty() && opus) name = "opus";
    const int subtype = name.empty() ? NearestSubtype(input_format, major, channels, rate)
                                     : SubtypeForName(name, major, channels, rate);
    if (subtype == 0) throw Failure(EXIT_USAGE, FormatRefusal(major, name, channels, rate));
    return major | subtype;
}

// --compression LEVEL as the encoder of `format` takes it: FLAC's level 0..8, Vorbis and Opus quality 0..10.
EncoderSettings EncoderOption(const Options& options, int format) {
    EncoderSettings encoder;
    if (options.compression.empty()) return encoder;
    const int subtype = format & SF_FORMAT_SUBMASK;
    const bool flac = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC;
    const bool lossy = subtype == SF_FORMAT_VORBIS || subtype == SF_FORMAT_OPUS;
    if (!flac && !lossy) {
        throw Failure(EXIT_USAGE, "--compression applies to FLAC, Vorbis and Opus output, not " +
                                      MajorFormatName(format) + " " + std::string(SubtypeName(format)));
    }
    const double high = flac ? 8.0 : 10.0;
    const auto level = ParseNumber(options.compression);
    if (!level || *level < 0.0 || *level > high) {
        throw Failure(EXIT_USAGE, std::string("--compression for ") + (flac ? "FLAC takes a level from 0 to 8" : "Vorbis and Opus takes a quality from 0 to 10") +
                                      ", not " + Quoted(options.compression));
    }
    (flac ? encoder.compression_level : encoder.vbr_quality) = *level / high;
    return encoder;
}

// A raw input's layout from --rate, --channels and --format; null when IN is no raw stream (a name ending in
// .raw, or "-", a FIFO or a device with --rate). --rate and --channels describe a raw input alone: a file has its own.
std::optional<RawLayout> RawInput(const Options& options, const std::string& in) {
    struct stat status {};
    const bool stream = in == "-" || (stat(in.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode));
    const bool raw = ExtensionOf(in) == "raw" || (stream && !options.rate.empty());
    if (!raw) {
        if (!options.rate.empty() || !options.channels.empty()) {
            throw Failure(EXIT_USAGE,
                          "--rate and --channels describe a raw input (a .raw file, or \"-\", a pipe or a device "
                          "with --rate); " +
                              Quoted(in) + " renders at its own rate and channels");
        }
        if (options.mode == Mode::ANALYSE && !options.format.empty()) {
            throw Failure(EXIT_USAGE, "--format does not apply to IN -n, which writes nothing, unless IN is raw");
        }
        return std::nullopt;
    }
    if (options.rate.empty() || options.channels.empty() || options.format.empty()) {
        throw Failure(EXIT_USAGE, "the raw input " + Quoted(in) +
                                      " needs --rate, --channels and --format "
                                      "(e.g. --rate 48000 --channels 2 --format pcm16)");
    }
    RawLayout layout;
    layout.rate = CheckedRate(options.rate);
    layout.channels = static_cast<int>(CheckedWhole(options.channels, "--channels", MAX_CHANNELS));
    const int subtype = SubtypeForName(ToLower(Trim(options.format)), SF_FORMAT_RAW, layout.channels, layout.rate);
    if (subtype == 0) {
        throw Failure(EXIT_USAGE, "--format for a raw input takes " +
                                      SubtypeNames(SF_FORMAT_RAW, layout.channels, layout.rate) + "; not " +
                                      Quoted(options.format));
    }
    layout.format = SF_FORMAT_RAW | subtype;
    return layout;
}

std::vector<Assignment> GatherAssignments(const Options& options) {
    std::vector<Assignment> assignments;
    if (!options.preset.empty()) {
        const std::string path = PresetPath(options.preset);
        if (path.empty()) throw Failure(EXIT_USAGE, "no preset " + Quoted(options.preset) + " (see er-render --list-presets)");
        for (Assignment& assignment : ReadSettingsFile(path)) assignments.push_back(std::move(assignment));
    }
    for (const std::string& file : options.settings_files) {
        for (Assignment& assignment : ReadSettingsFile(file)) assignments.push_back(std::move(assignment));
    }
    for (const std::string& set : options.sets) {
        assignments.push_back(ParseAssignment(set, "--set " + Quoted(set)));
    }
    return assignments;
}

std::vector<std::int64_t> GateFrames(const Options& options, const RenderJob& job) {
    std::vector<std::int64_t> frames;
    for (const std::string& gate : options.gates) {
        const std::int64_t frame = ParseMoment(gate, job.rate);
        if (frame < 0 || frame >= job.total_frames) {
            throw Failure(EXIT_USAGE, "--gate " + gate + " lies outside the render (0 to " +
                                          std::to_string(job.total_frames - 1) + " samples)");
        }
        frames.push_back(frame);
    }
    return frames;
}

// A level in decibels ("-6", "+3.5") or "off", as a linear gain.
double Gain(const std::string& text, const char* option) {
    if (EqualsIgnoreCase(Trim(text), "off")) return 0.0;
    const auto decibels = ParseDecibels(text);
    if (!decibels || std::fabs(*decibels) > MAX_DECIBELS) {
        throw Failure(EXIT_USAGE, std::string(option) + " takes decibels from -" + FormatNumber(MAX_DECIBELS) +
                                      " to " + FormatNumber(MAX_DECIBELS) + " or \"off\", not " + Quoted(text));
    }
    return std::pow(10.0, *decibels / 20.0);
}


// The power of two a gain is, as its exponent; nothing for any other gain (0 included).
std::optional<int> PowerOfTwo(double gain) {
    int exponent = 0;
    if (!(std::fabs(gain) > 0.0) || std::frexp(std::fabs(gain), &exponent) != 0.5) return std::nullopt;
    return exponent - 1;
}

// Whether every output sample is a sample of the output format, so that nothing needs dither: a silent output
// (--gain off, or neither the input nor the module in the mix, or the module switched off with no dry input), or a
// sum of integer input samples each scaled by powers of two no finer than the output's step: the dry input, and
// the module's output where it is a whole-sample pure delay.
bool ExactRender(const RenderPlan& plan, const SampleCodec& source, const SampleCodec& output) {
    const Mix& mix = plan.job.mix;
    const bool module_silent = mix.wet_gain == 0.0 || (plan.view && !plan.view->active);
    const bool dry_silent = !mix.dry || mix.dry_gain == 0.0;
    if (mix.gain == 0.0 || (module_silent && dry_silent)) return true;
    if (!source.IsInteger() || source.bits > 24) return false;  // the module's float holds 24 bits
    const int finest = source.bits - output.bits;
    // A path's gains multiply; their product must be a power of two that leaves each input step a whole number
    // of output steps.
    auto exact = [&](std::initializer_list<double> gains) {
        int exponent = 0;
        for (const double gain : gains) {
            const auto power = PowerOfTwo(gain);
            if (!power) return false;
            exponent += *power;
        }
        return exponent >= finest;
    };
    if (!dry_silent && !exact({mix.dry_gain, mix.gain})) return false;
    if (module_silent) return true;
    if (!plan.view) return false;
    const EffectView& view = *plan.view;
    const double volume = view.volume.from;
    const double tap_gain = view.volume_mode == effect_pins::choice::LINEAR ? volume : volume * volume;
    return !view.volume.ramp && SelectRoutingVariant(view) == RoutingVariant::Plain &&
           SelectTimeReading(view) == TimeReading::WholeSample && exact({tap_gain, mix.wet_gain, mix.gain});
}

// TPDF dither where sox adds it by default: integer output of 16 bits or fewer from a render that is not exact.
// Coded formats (mu-law, A-law, ADPCM) get none: their own steps are coarser than any dither.
void ChooseDither(RenderPlan& plan, const Options& options, const SampleCodec& source) {
    const SampleCodec output = CodecForSubtype(plan.format);
    const std::string mode = ToLower(Trim(options.dither));
    if (mode != "" && mode != "none" && mode != "tpdf") {
        throw Failure(EXIT_USAGE, "--dither takes none or tpdf, not " + Quoted(options.dither));
    }
    if (!output.IsInteger()) {
        plan.dither_reason = "none (float samples)";
    } else if (mode == "none" || mode == "tpdf") {
        plan.dither.enabled = mode == "tpdf";
        plan.dither_reason = plan.dither.enabled ? "TPDF (--dither tpdf)" : "none (--dither none)";
    } else if (output.coded) {
        plan.dither_reason = "none (" + std::string(SubtypeName(plan.format)) + " is coded, not stored sample for sample)";
    } else if (output.bits > MAX_DITHERED_BITS) {
        plan.dither_reason = Printf("none (%d-bit samples)", output.bits);
    } else if (ExactRender(plan, source, output)) {
        plan.dither_reason = "none (every sample is exact)";
    } else {
        plan.dither.enabled = true;
        plan.dither_reason = Printf("TPDF (%d-bit samples)", output.bits);
    }
}

// Refuses a "1 Time" longer than the longest line the module has at the render's rate, unless `accept`: no
// "Max Delay(s)" holds it, so the module would wrap the tap to a delay nobody asked for.
void CheckLongestLine(const EffectView& view, const PinSetting& time, bool accept) {
    if (accept || !view.active) return;
    EffectView longest = view;
    longest.max_delay = 0;
    for (const auto& [value, asked] : {std::pair{view.time.from, time.from_delay}, {view.time.to, time.to_delay}}) {
        const TapDelay delay = TapDelayFor(longest, value);
        if (!delay.beyond_buffer) continue;
        // A delay with a unit is named as written, not as the float the module receives.
        const double samples = asked ? asked->Samples(view.rate) : delay.requested;
        throw Failure(EXIT_USAGE, time.origin + Printf(": a delay of %.9g samples (%.3f s) at %g Hz is longer than the "
                                                       "longest \"Max Delay(s)\" line, %lld samples (%.3f s); "
                                                       "--allow-unsafe lets the module wrap the tap",
                                                       samples, samples / view.rate, static_cast<double>(view.rate),
                                                       static_cast<long long>(delay.buffer),
                                                       static_cast<double>(delay.buffer) / view.rate));
    }
}

// A plain "1 Time" that whole-sample reading truncates to one sample less than the number it is closest to, as
// in a host: the note names the spelling with a unit that gets that number exactly.
std::string PlainDelayNote(const EffectView& view) {
    const PinSetting& time = view.time;
    if (!view.active || time.from_delay || time.ramp || SelectTimeReading(view) != TimeReading::WholeSample) return "";
    const TapDelay delay = TapDelayFor(view, time.from);
    const double nearest = std::nearbyint(delay.requested);
    if (delay.beyond_buffer || delay.requested < 1.0 || nearest == std::trunc(delay.requested) ||
        nearest - delay.requested > PLAIN_DELAY_NEAR) {
        return "";
    }
    return Printf(
        "\"%s=%s\" asks the module for %.9g samples, which it truncates to %.0f as a host does; "
        "\"%s=%.0fsmp\" gives exactly %.0f",
        time.name.c_str(), FormatNumber(PinToShown(time.from)).c_str(), delay.requested,
        std::trunc(delay.requested), time.name.c_str(), nearest, nearest);
}

}  // namespace

void FitMaxDelay(std::vector<PinSetting>& settings, const std::vector<er_host::PinDescription>& pins,
                 const EffectView& view) {
    PinSetting* max_delay = nullptr;
    for (PinSetting& setting : settings) {
        if (setting.name == pins::MAX_DELAY) max_delay = &setting;
    }
    if (max_delay == nullptr || max_delay->from_user) return;
    const std::optional<std::int32_t> holding = ShortestHoldingMaxDelay(view);
    const std::int32_t index = holding.value_or(0);
    for (const auto& pin : pins) {
        if (pin.name != pins::MAX_DELAY) continue;
        for (const ListEntry& entry : ParseListText(pin.extra_text)) {
            if (entry.value != index) continue;
            max_delay->value = static_cast<std::int16_t>(entry.value);
            max_delay->entry = entry.text;
            max_delay->chosen_by_tool = holding ? "chosen to hold the delay" : "the longest line; the delay wraps round it";
        }
    }
}

std::optional<EffectView> SettleSettings(std::vector<PinSetting>& settings,
                                         const std::vector<er_host::PinDescription>& pins, float rate,
                                         bool allow_unsafe, std::vector<std::string>& warnings,
                                         std::vector<std::string>& notes) {
    ApplyDelayUnits(settings, rate, allow_unsafe);
    std::optional<EffectView> view = ViewEffect(settings, rate);
    if (!view) return view;
    CheckLongestLine(*view, *FindSetting(settings, pins::TIME), allow_unsafe);
    FitMaxDelay(settings, pins, *view);
    view = ViewEffect(settings, rate);
    for (std::string& warning : DelayWarnings(*view)) warnings.push_back(std::move(warning));
    if (std::string note = PlainDelayNote(*view); !note.empty()) notes.push_back(std::move(note));
    return view;
}

Mix MixFromLevels(const std::string& dry, const std::string& wet, const std::string& gain) {
    Mix mix;
    mix.dry = !dry.empty();
    if (mix.dry) mix.dry_gain = Gain(dry, "--dry");
    if (!wet.empty()) mix.wet_gain = Gain(wet, "--wet");
    if (!gain.empty()) mix.gain = Gain(gain, "--gain");
    return mix;
}

RenderPlan PlanRender(const Options& options, const std::vector<er_host::PinDescription>& pins) {
    // --plot or --plot-data alone: the setting's impulse response, drawn but not written as sound.
    const bool picture_only = options.mode == Mode::PLOT;
    const bool impulse = options.mode == Mode::IMPULSE || picture_only;
    RenderPlan plan;
    RenderJob& job = plan.job;
    job.block = static_cast<std::int32_t>(CheckedWhole(options.block, "--block", MAX_BLOCK));
    job.settings = ResolveSettings(pins, GatherAssignments(options), options.allow_unsafe);
    if (!picture_only && !options.null_output) plan.output_path = options.files.back();
    int format = 0;
    bool raw_input = false;
    if (impulse) {
        job.rate = RateOption(options);
        job.channels = 1;
        job.input_frames =
            picture_only ? 1 : SecondsToFrames(CheckedSeconds(options.impulse, "--impulse", 0.0), job.rate);
        if (job.input_frames == 0) {
            throw Failure(EXIT_USAGE, "--impulse " + options.impulse + " is shorter than one sample");
        }
        plan.input_label = "unit impulse";
        format = IMPULSE_FORMAT;
    } else {
        const std::optional<RawLayout> raw = RawInput(options, options.files[0]);
        raw_input = raw.has_value();
        plan.input = std::make_unique<InputFile>(options.files[0], raw ? &*raw : nullptr);
        const SF_INFO& info = plan.input->Info();
        job.rate = static_cast<float>(info.samplerate);
        job.channels = info.channels;
        job.input_frames = info.frames;
        plan.input_label = plan.protected_path = options.files[0];
        format = info.format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK);
        plan.metadata = plan.input->Metadata();
        // A room's output channels are its ears, whatever the input's channels fed.
        if (!options.room.empty()) plan.metadata.channel_map.clear();
        if (plan.input->HeaderTooLong()) {
            plan.warnings.push_back(Quoted(options.files[0]) + " is shorter than its header says (cut short?); " +
                                    std::to_string(info.frames) + " whole frames are there, and are read");
        }
    }
    if (!plan.output_path.empty()) {
        plan.format = FormatKeepingLayout(
            OutputFormat(format, plan.output_path, options, job.channels, static_cast<int>(job.rate), raw_input),
            plan.metadata, job.channels, static_cast<int>(job.rate));
        plan.encoder = EncoderOption(options, plan.format);
    } else {
        plan.format = format;
    }
    plan.view = SettleSettings(job.settings, pins, job.rate, options.allow_unsafe, plan.warnings, plan.notes);
    const double tail_seconds = !options.tail.empty() ? TailSeconds(options.tail, job.rate)
                                : !plan.view          ? 0.0
                                : picture_only        ? PictureTailSeconds(*plan.view)
                                : !impulse            ? DefaultTailSeconds(*plan.view)
                                                      : 0.0;
    plan.tail_frames = SecondsToFrames(tail_seconds, job.rate);
    plan.tail_capped = options.tail.empty() && !impulse && plan.view && DefaultTailFor(*plan.view).capped;
    if (plan.view) {
        // One trip round the loop holds every echo the last stretch of the tail can still carry; a ramped tap
        // may end at its longer delay.
        job.end_window = static_cast<std::int64_t>(LongestTapDelay(*plan.view)) + 1;
    }
    if (impulse && !picture_only && plan.view && plan.view->active) {
        const TapDelay first = TapDelayFor(*plan.view, plan.view->time.from);
        if (static_cast<double>(job.input_frames) <= std::floor(first.effective)) {
            plan.warnings.push_back(Printf(
                "--impulse %s is %lld samples, and the first echo comes at %.9g samples "
                "(%.6f s): the response holds no echo",
                options.impulse.c_str(), static_cast<long long>(job.input_frames),
                first.effective, first.effective / job.rate));
        }
    }
    job.total_frames = job.input_frames + plan.tail_frames;
    if (job.total_frames > INT32_MAX) {
        throw Failure(EXIT_USAGE, "the render would be " + std::to_string(job.total_frames) +
                                      " frames; the host's sample clock counts at most 2147483647");
    }
    job.gates = GateFrames(options, job);
    job.mix = MixFromLevels(options.dry, options.wet, options.gain);
    ChooseDither(plan, options, impulse ? UNIT_IMPULSE : CodecForSubtype(format));
    return plan;
}

RoomPlan PlanRoom(const Options& options, const std::vector<er_host::PinDescription>& pins) {
    if (!options.pattern_out.empty() && !PatternKindKnown(options.pattern_out)) {
        throw Failure(EXIT_USAGE, "--pattern-out writes .json or .csv, not " + Quoted(options.pattern_out));
    }
    std::vector<Assignment> accuracy;
    for (const std::string& set : options.sets) {
        Assignment assignment = ParseAssignment(set, "--set " + Quoted(set));
        if (assignment.name != pins::TIME_ACCURACY) {
            throw Failure(EXIT_USAGE, "--room sets every pin of its taps but \"" + std::string(pins::TIME_ACCURACY) +
                                          "\"; " + assignment.origin + " does not apply");
        }
        accuracy.push_back(std::move(assignment));
    }
    const er_room::Room room = LoadRoom(options.room, options.room_scale, options.room_width);
    RoomPlan plan;
    // The command line has checked that a room without a render writes its pattern or picture alone.
    const bool impulse = !options.impulse.empty();
    if (options.files.empty() && !impulse && !options.null_output) {
        plan.pattern = RealisePattern(WindowRoom(room, options.room_window, RateOption(options)), RateOption(options),
                                      accuracy, pins);
        return plan;
    }
    Options base = options;
    base.mode = impulse ? Mode::IMPULSE : options.null_output ? Mode::ANALYSE
                                                              : Mode::RENDER;
    base.gates.clear();
    base.plot.clear();
    RenderPlan render = PlanRender(base, pins);
    RenderJob& job = render.job;
    plan.pattern = RealisePattern(WindowRoom(room, options.room_window, job.rate), job.rate, accuracy, pins);
    plan.input_channels = job.channels;
    job.channels = RoomOutputChannels(plan.pattern, plan.input_channels);
    if (job.channels == 0) {
        throw Failure(EXIT_USAGE, "a stereo room takes a mono or a stereo input, not " +
                                      std::to_string(plan.input_channels) + " channels");
    }
    if (options.tail.empty() && !impulse) {
        render.tail_frames = SecondsToFrames(RoomTailSeconds(plan.pattern), job.rate);
        render.tail_capped = false;
        job.total_frames = job.input_frames + render.tail_frames;
        if (job.total_frames > INT32_MAX) {
            throw Failure(EXIT_USAGE, "the render would be " + std::to_string(job.total_frames) +
                                          " frames; the host's sample clock counts at most 2147483647");
        }
    }
    job.end_window = 0;
    job.gates = GateFrames(options, job);
    // Each tap's line is its own; the render's one setting says nothing about them.
    for (PinSetting& setting : job.settings) setting.chosen_by_tool.clear();
    // Many taps summed: no sample is exact, whatever one tap's settings would allow.
    render.view.reset();
    render.warnings.clear();
    ChooseDither(render, options, SampleCodec{});
    plan.render = std::move(render);
    return plan;
}

std::string PresetFolder() {
    std::error_code error;
    const std::filesystem::path tool = std::filesystem::read_symlink("/proc/self/exe", error);
    return (tool.parent_path() / "er-render-presets").string();
}

std::vector<std::pair<std::string, std::string>> Presets() {
    std::vector<std::pair<std::string, std::string>> presets;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(PresetFolder(), error)) {
        if (entry.path().extension() != ".settings") continue;
        std::ifstream text(entry.path());
        std::string description;
        // The description is the comment at the top, its lines joined.
        for (std::string line; std::getline(text, line) && Trim(line).starts_with('#');) {
            const std::string_view words = Trim(Trim(line).substr(1));
            if (!words.empty()) description += (description.empty() ? "" : " ") + std::string(words);
        }
        presets.emplace_back(entry.path().stem().string(), description);
    }
    // The presets ship beside the tool: none there is a broken installation, not an empty list.
    if (presets.empty()) {
        throw Failure(EXIT_INPUT, "the presets shipped with er-render are missing: no .settings file in " +
                                      Quoted(PresetFolder()));
    }
    std::sort(presets.begin(), presets.end());
    return presets;
}

std::string PresetPath(const std::string& name) {
    for (const auto& [preset, description] : Presets()) {
        if (EqualsIgnoreCase(preset, Trim(name))) return PresetFolder() + "/" + preset + ".settings";
    }
    return "";
}

SignalPlan PlanTestSignal(const Options& options) {
    SignalPlan plan;
    plan.path = options.files[0];
    plan.rate = RateOption(options);
    plan.frames = SecondsToFrames(CheckedSeconds(options.test_signal, "--test-signal", 0.001), plan.rate);
    plan.format = OutputFormat(TEST_SIGNAL_FORMAT, plan.path, options, 1, static_cast<int>(plan.rate));
    plan.encoder = EncoderOption(options, plan.format);
    return plan;
}

namespace {

// A file the run reads or writes, and what it is to the user ("the settings file", "--plot").
struct RunFile {
    std::string path;  // "-": stdin for an input, stdout for an output
    std::string role;
};

constexpr const char* BATCH_OUTPUT = "the batch's output";

bool Identify(const std::string& path, int stream, struct stat& found) {
    return path == "-" ? fstat(stream, &found) == 0 : stat(path.c_str(), &found) == 0;
}

}  // namespace

void RefuseOverwritingInputs(const Options& options) {
    std::vector<RunFile> reads, writes;
    const bool writes_last = (options.mode == Mode::RENDER || options.mode == Mode::IMPULSE ||
                              options.mode == Mode::TEST_SIGNAL || options.mode == Mode::ROOM) &&
                             !options.null_output && !options.files.empty();
    for (std::size_t i = 0; i < options.files.size(); ++i) {
        if (writes_last && i + 1 == options.files.size()) {
            writes.push_back({options.files[i], "the output"});
        } else {
            reads.push_back({options.files[i], "the input file"});
        }
    }
    if (options.mode == Mode::BATCH) {
        for (const std::string& target : BatchOutputs(options)) writes.push_back({target, BATCH_OUTPUT});
    }
    for (const auto& [path, role] : {std::pair{&options.plot, "--plot"}, std::pair{&options.plot_data, "--plot-data"},
                                     std::pair{&options.pattern_out, "--pattern-out"}}) {
        if (!path->empty()) writes.push_back({*path, role});
    }
    for (const std::string& path : options.settings_files) reads.push_back({path, "the settings file"});
    if (!options.preset.empty()) reads.push_back({PresetPath(options.preset), "the preset's file"});
    if (!options.room.empty() && er_room::FindNamedRoom(ToLower(options.room)) == nullptr) {
        reads.push_back({options.room, "the room file"});
    }
    const bool loads_module = (In(options.mode) & In(Mode::LIST_PRESETS, Mode::TEST_SIGNAL, Mode::VERSION)) == 0;
    if (loads_module) {
        reads.push_back({options.module.empty() ? er_host::Library::DefaultModulePath() : options.module, "the module"});
    }
    // Two named outputs (OUT, --plot, --plot-data, --pattern-out) that are one file would leave only the one
    // committed last: names compared as they resolve, links followed, whether the file exists yet or not.
    for (std::size_t a = 0; a < writes.size(); ++a) {
        for (std::size_t b = a + 1; b < writes.size(); ++b) {
            if (writes[a].role == BATCH_OUTPUT || writes[b].role == BATCH_OUTPUT) continue;
            if (writes[a].path == "-" || writes[b].path == "-") continue;
            std::error_code error_a, error_b;
            const auto first = std::filesystem::weakly_canonical(writes[a].path, error_a);
            const auto second = std::filesystem::weakly_canonical(writes[b].path, error_b);
            if (error_a || error_b || first != second) continue;
            throw Failure(EXIT_OUTPUT, writes[b].role + " " + Quoted(writes[b].path) + " is " + writes[a].role + " " +
                                           Quoted(writes[a].path) + "; each file er-render writes is its own");
        }
    }
    for (const RunFile& write : writes) {
        struct stat target {};
        // Only a regular file is replaced; a device or a pipe that is also read is no file of the user's to lose.
        if (!Identify(write.path, STDOUT_FILENO, target) || !S_ISREG(target.st_mode)) continue;
        for (const RunFile& read : reads) {
            struct stat source {};
            if (read.path.empty() || !Identify(read.path, STDIN_FILENO, source)) continue;
            if (source.st_dev != target.st_dev || source.st_ino != target.st_ino) continue;
            const std::string what = write.path == "-" ? "stdout" : write.role + " " + Quoted(write.path);
            const std::string is = read.path == "-"           ? "the input on stdin"
                                   : read.path == write.path ? read.role
                                                             : read.role + " " + Quoted(read.path);
            throw Failure(EXIT_OUTPUT, what + " is " + is + "; er-render never overwrites a file it reads");
        }
    }
}

}  // namespace er_render
