#include "Plan.h"

#include <cmath>
#include <filesystem>

#include "EffectPins.h"
#include "Failure.h"
#include "ListText.h"
#include "SampleCodec.h"
#include "Settings.h"
#include "Summary.h"
#include "Text.h"

namespace er_render {

namespace {

constexpr long long MAX_BLOCK = 1 << 20;
constexpr long long MAX_RATE = 768000;
constexpr float DEFAULT_RATE = 48000.0f;
constexpr int IMPULSE_FORMAT = SF_FORMAT_WAV | SF_FORMAT_FLOAT;      // a response keeps its full precision
constexpr int TEST_SIGNAL_FORMAT = SF_FORMAT_WAV | SF_FORMAT_PCM_16;  // plays anywhere
constexpr double MAX_DECIBELS = 200.0;
constexpr int MAX_DITHERED_BITS = 16;

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

// The rate of a render without an input file.
float RateOption(const Options& options) {
    return options.rate.empty() ? DEFAULT_RATE : static_cast<float>(CheckedWhole(options.rate, "--rate", MAX_RATE));
}

std::int64_t SecondsToFrames(double seconds, float rate) {
    bool outside = false;
    return RoundToRange(seconds * rate, 0, INT32_MAX, outside);
}

// The container --type or OUT's extension names (else `format`'s), with the subtype --format names (else the
// one nearest `format`'s that the container holds).
int OutputFormat(int format, const std::string& path, const Options& options, int channels, int rate) {
    int major = MajorFormatForPath(path);
    if (!options.type.empty()) {
        major = MajorFormatForExtension(options.type);
        if (major == 0) throw Failure(EXIT_USAGE, "--type takes a file extension libsndfile knows (wav, flac, "
                                                  "aiff, ogg, ...), not " + Quoted(options.type));
    }
    if (major == 0) major = format & SF_FORMAT_TYPEMASK;
    if (options.format.empty()) {
        const int subtype = NearestSubtype(format, major, channels, rate);
        return major | (subtype != 0 ? subtype : (format & SF_FORMAT_SUBMASK));
    }
    const int subtype = SubtypeForName(options.format, major, channels, rate);
    if (subtype == 0) {
        throw Failure(EXIT_USAGE, "--format for a " + MajorFormatName(major) + " file takes " +
                                      SubtypeNames(major, channels, rate) + "; not " + Quoted(options.format));
    }
    return major | subtype;
}

std::vector<Assignment> GatherAssignments(const Options& options) {
    std::vector<Assignment> assignments;
    for (const std::string& preset : options.presets) {
        const std::string path = PresetPath(preset);
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error)) {
            throw Failure(EXIT_USAGE, "no preset " + Quoted(preset) + " (see er-render --list-presets)");
        }
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

// Unless the user chose "Max Delay(s)", the shortest line that holds every delay the render asks for; the
// longest line when none does (DelayWarnings then says so).
void FitMaxDelay(std::vector<PinSetting>& settings, const std::vector<er_host::PinDescription>& pins,
                 const EffectView& view) {
    PinSetting* max_delay = nullptr;
    for (PinSetting& setting : settings) {
        if (setting.name == pins::MAX_DELAY) max_delay = &setting;
    }
    if (max_delay == nullptr || max_delay->from_user) return;
    const std::int32_t index = ShortestHoldingMaxDelay(view).value_or(0);
    for (const auto& pin : pins) {
        if (pin.name != pins::MAX_DELAY) continue;
        for (const ListEntry& entry : ParseListText(pin.extra_text)) {
            if (entry.value != index) continue;
            max_delay->value = static_cast<std::int16_t>(entry.value);
            max_delay->entry = entry.text;
            max_delay->chosen_by_tool = true;
        }
    }
}

// A level in decibels ("-6", "+3.5") or "off", as a linear gain.
double Gain(const std::string& text, const char* option) {
    if (EqualsIgnoreCase(Trim(text), "off")) return 0.0;
    const auto decibels = ParseNumber(text);
    if (!decibels || std::fabs(*decibels) > MAX_DECIBELS) {
        throw Failure(EXIT_USAGE, std::string(option) + " takes decibels from -" + FormatNumber(MAX_DECIBELS) +
                                      " to " + FormatNumber(MAX_DECIBELS) + " or \"off\", not " + Quoted(text));
    }
    return std::pow(10.0, *decibels / 20.0);
}

Mix MixOption(const Options& options) {
    Mix mix;
    mix.dry = !options.dry.empty();
    if (mix.dry) mix.dry_gain = Gain(options.dry, "--dry");
    if (!options.wet.empty()) mix.wet_gain = Gain(options.wet, "--wet");
    if (!options.gain.empty()) mix.gain = Gain(options.gain, "--gain");
    return mix;
}

// Whether every output sample is exactly a sample of the input's format (until it clips): a switched-off effect,
// or a whole-sample pure delay of integer samples scaled by a power of two (1, 2, 4, ..., either sign), with
// nothing mixed in.
bool ExactRender(const RenderPlan& plan, const SampleCodec& source) {
    if (!plan.job.mix.Identity() || !plan.view || !source.IsInteger()) return false;
    const EffectView& view = *plan.view;
    if (!view.active) return true;
    const double volume = view.volume.from;
    const double gain = std::fabs(view.volume_mode == 0 ? volume : volume * volume);
    int exponent = 0;
    const bool power_of_two = std::frexp(gain, &exponent) == 0.5 && exponent >= 1;
    return !view.volume.ramp && power_of_two && SelectRoutingVariant(view) == PLAIN &&
           SelectTimeReading(view) == TimeReading::WHOLE_SAMPLE;
}

// TPDF dither where sox adds it by default: integer output of 16 bits or fewer from a render that is not exact.
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
    } else if (output.bits > MAX_DITHERED_BITS) {
        plan.dither_reason = Printf("none (%d-bit samples)", output.bits);
    } else if (source.IsInteger() && source.bits <= output.bits && ExactRender(plan, source)) {
        plan.dither_reason = "none (every sample is exact)";
    } else {
        plan.dither.enabled = true;
        plan.dither_reason = Printf("TPDF (%d-bit samples)", output.bits);
    }
}

}  // namespace

RenderPlan PlanRender(const Options& options, const std::vector<er_host::PinDescription>& pins) {
    // --plot or --plot-data without files: the setting's impulse response, drawn but not written as sound.
    const bool picture_only = options.files.empty() && options.impulse.empty() && !options.null_output &&
                              !(options.plot.empty() && options.plot_data.empty());
    const std::size_t outputs = options.null_output ? 0 : 1;  // -n stands in for OUT
    const bool impulse = !options.impulse.empty() || picture_only;
    if (impulse && !picture_only && options.files.size() != outputs) {
        throw Failure(EXIT_USAGE, outputs == 0 ? "--impulse SECONDS -n takes no file" : "--impulse SECONDS takes one file: OUT");
    }
    if (!impulse && options.files.size() != 1 + outputs) {
        throw Failure(EXIT_USAGE, outputs == 0 ? "expected IN -n" : "expected IN OUT (or --impulse SECONDS OUT); see er-render --help");
    }
    if (options.json && outputs == 1 && options.files.back() == "-") {
        throw Failure(EXIT_USAGE, "--json and OUT \"-\" both want stdout");
    }
    if (!impulse && !options.rate.empty()) {
        throw Failure(EXIT_USAGE, "--rate applies to --impulse and --test-signal; a file renders at its own rate");
    }
    if (impulse && !picture_only && !options.tail.empty()) {
        throw Failure(EXIT_USAGE, "--tail does not apply to --impulse, whose length is SECONDS");
    }
    RenderPlan plan;
    RenderJob& job = plan.job;
    job.block = static_cast<std::int32_t>(CheckedWhole(options.block, "--block", MAX_BLOCK));
    job.settings = ResolveSettings(pins, GatherAssignments(options), options.allow_unsafe);
    if (!picture_only && !options.null_output) plan.output_path = options.files.back();
    int format = 0;
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
        plan.input = std::make_unique<InputFile>(options.files[0]);
        const SF_INFO& info = plan.input->Info();
        job.rate = static_cast<float>(info.samplerate);
        job.channels = info.channels;
        job.input_frames = info.frames;
        plan.input_label = plan.protected_path = options.files[0];
        format = info.format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK);
    }
    plan.format = OutputFormat(format, plan.output_path, options, job.channels, static_cast<int>(job.rate));
    ApplyDelayUnits(job.settings, job.rate, options.allow_unsafe);
    plan.view = ViewEffect(job.settings, job.rate);
    if (plan.view) {
        FitMaxDelay(job.settings, pins, *plan.view);
        plan.view = ViewEffect(job.settings, job.rate);
        plan.warnings = DelayWarnings(*plan.view);
    }
    const double tail_seconds = !options.tail.empty()            ? CheckedSeconds(options.tail, "--tail", 0.0)
                                : !plan.view                     ? 0.0
                                : picture_only                   ? PictureTailSeconds(*plan.view)
                                : !impulse                       ? DefaultTailSeconds(*plan.view)
                                                                 : 0.0;
    plan.tail_frames = SecondsToFrames(tail_seconds, job.rate);
    plan.tail_capped = options.tail.empty() && !impulse && plan.view && tail_seconds >= MAX_DEFAULT_TAIL_SECONDS;
    if (plan.view) {
        // One trip round the loop holds every echo the last stretch of the tail can still carry.
        const TapDelay delay = TapDelayFor(*plan.view, plan.view->time.from);
        job.end_window = static_cast<std::int64_t>(delay.effective) + 1;
    }
    job.total_frames = job.input_frames + plan.tail_frames;
    if (job.total_frames > INT32_MAX) {
        throw Failure(EXIT_USAGE, "the render would be " + std::to_string(job.total_frames) +
                                      " frames; the host's sample clock counts at most 2147483647");
    }
    job.gates = GateFrames(options, job);
    job.mix = MixOption(options);
    // A unit impulse is no integer file: its render is never exact in integer samples.
    ChooseDither(plan, options, impulse ? SampleCodec{} : CodecForSubtype(format));
    return plan;
}

std::string PresetFolder() {
    std::error_code error;
    const std::filesystem::path tool = std::filesystem::read_symlink("/proc/self/exe", error);
    return (tool.parent_path() / "er-render-presets").string();
}

std::string PresetPath(const std::string& name) { return PresetFolder() + "/" + name + ".settings"; }

SignalPlan PlanTestSignal(const Options& options) {
    if (options.files.size() != 1) throw Failure(EXIT_USAGE, "--test-signal SECONDS takes one file: OUT");
    if (!options.plot.empty() || !options.plot_data.empty()) {
        throw Failure(EXIT_USAGE, "--plot and --plot-data draw a setting; the --test-signal has none");
    }
    SignalPlan plan;
    plan.path = options.files[0];
    plan.rate = RateOption(options);
    plan.frames = SecondsToFrames(CheckedSeconds(options.test_signal, "--test-signal", 0.001), plan.rate);
    plan.format = OutputFormat(TEST_SIGNAL_FORMAT, plan.path, options, 1, static_cast<int>(plan.rate));
    return plan;
}

}  // namespace er_render
