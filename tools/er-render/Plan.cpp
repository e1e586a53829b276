#include "Plan.h"

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

// `format` with the container --type or OUT's extension names, and the subtype --format names.
int OutputFormat(int format, const std::string& path, const Options& options) {
    int major = MajorFormatForPath(path);
    if (!options.type.empty()) {
        major = MajorFormatForExtension(options.type);
        if (major == 0) throw Failure(EXIT_USAGE, "--type takes a file extension libsndfile knows (wav, flac, "
                                                  "aiff, ogg, ...), not " + Quoted(options.type));
    }
    if (major != 0) format = major | (format & SF_FORMAT_SUBMASK);
    if (!options.format.empty()) {
        const int subtype = SubtypeForName(options.format);
        if (subtype == 0) {
            throw Failure(EXIT_USAGE, "--format takes pcm16, pcm24 or float, not " + Quoted(options.format));
        }
        format = (format & SF_FORMAT_TYPEMASK) | subtype;
    }
    return format;
}

std::vector<Assignment> GatherAssignments(const Options& options) {
    std::vector<Assignment> assignments;
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

}  // namespace

RenderPlan PlanRender(const Options& options, const std::vector<er_host::PinDescription>& pins) {
    // --plot or --plot-data without files: the setting's impulse response, drawn but not written as sound.
    const bool picture_only = options.files.empty() && options.impulse.empty() &&
                              !(options.plot.empty() && options.plot_data.empty());
    const bool impulse = !options.impulse.empty() || picture_only;
    if (impulse && !picture_only && options.files.size() != 1) {
        throw Failure(EXIT_USAGE, "--impulse SECONDS takes one file: OUT");
    }
    if (!impulse && options.files.size() != 2) {
        throw Failure(EXIT_USAGE, "expected IN OUT (or --impulse SECONDS OUT); see er-render --help");
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
    if (!picture_only) plan.output_path = options.files.back();
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
    plan.format = OutputFormat(format, plan.output_path, options);
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
    job.total_frames = job.input_frames + plan.tail_frames;
    if (job.total_frames > INT32_MAX) {
        throw Failure(EXIT_USAGE, "the render would be " + std::to_string(job.total_frames) +
                                      " frames; the host's sample clock counts at most 2147483647");
    }
    job.gates = GateFrames(options, job);
    return plan;
}

SignalPlan PlanTestSignal(const Options& options) {
    if (options.files.size() != 1) throw Failure(EXIT_USAGE, "--test-signal SECONDS takes one file: OUT");
    if (!options.plot.empty() || !options.plot_data.empty()) {
        throw Failure(EXIT_USAGE, "--plot and --plot-data draw a setting; the --test-signal has none");
    }
    SignalPlan plan;
    plan.path = options.files[0];
    plan.rate = RateOption(options);
    plan.frames = SecondsToFrames(CheckedSeconds(options.test_signal, "--test-signal", 0.001), plan.rate);
    plan.format = OutputFormat(TEST_SIGNAL_FORMAT, plan.path, options);
    return plan;
}

}  // namespace er_render
