// Each peer of the benchmark computes the effect's job: an impulse comes out at the same sample, and the
// feedback tails and the responses to a signal agree to within single-precision rounding. Checked for every
// job (whole-sample, held fraction, moving fraction; five routing variants) and every peer, at several block
// splits of the same stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "Job.h"
#include "Ours.h"
#include "Peers.h"

namespace er_bench {
namespace {

constexpr std::int32_t HOST_BLOCK = 256;
constexpr std::int32_t STREAM = 4096;  // long enough for many round trips of a 10-sample loop
// Single precision carries 24 bits; the peers keep the line or the state in another precision, round at other
// places and in another mode (the effect's moving-delay loops round toward zero), and the loop compounds that
// over its round trips. Measured at most 8 float steps of the response's peak; 2^-19 of the peak (16 steps).
constexpr double TOLERANCE = 1.0 / 524288;

// Runs `contender` over `input` in blocks of `split`, feeding the job's moving delay in its own unit.
std::vector<float> Render(Peer& contender, const Job& job, const std::vector<float>& input, std::int32_t split) {
    std::vector<float> time(input.size()), out(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) time[i] = contender.TimeInput(MovingDelay(job, i));
    for (std::size_t at = 0; at < input.size(); at += split) {
        const std::int32_t count = std::min<std::int32_t>(split, static_cast<std::int32_t>(input.size() - at));
        contender.Run(input.data() + at, time.data() + at, out.data() + at, count);
    }
    return out;
}

std::vector<float> Impulse() {
    std::vector<float> input(STREAM, 0.0f);
    input[0] = 1.0f;
    return input;
}

std::vector<float> Signal() {
    std::vector<float> input(STREAM);
    FillSignal(input.data(), STREAM, 7);
    return input;
}

std::int32_t FirstSound(const std::vector<float>& out) {
    const auto it = std::find_if(out.begin(), out.end(), [](float v) { return std::fabs(v) > 1e-6f; });
    return static_cast<std::int32_t>(it - out.begin());
}

// Compares a peer's stream with ours sample by sample; reports the first sample outside the tolerance.
void ExpectSameStream(const std::vector<float>& ours, const std::vector<float>& theirs, const std::string& what) {
    double peak = 0.0;
    for (float v : ours) peak = std::max(peak, static_cast<double>(std::fabs(v)));
    ASSERT_GT(peak, 0.0) << what << ": our output is silent";
    for (std::size_t i = 0; i < ours.size(); ++i) {
        ASSERT_NEAR(ours[i], theirs[i], TOLERANCE * peak) << what << ", first difference at sample " << i;
    }
}

struct Case {
    Kind kind;
    Variant variant;
    std::int32_t buffer;
    double delay;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << RoutineName(c.kind, c.variant) << ", line " << c.buffer << ", delay " << c.delay;
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (std::int32_t kind = 0; kind < KIND_COUNT; ++kind) {
        for (std::int32_t variant = 0; variant < VARIANT_COUNT; ++variant) {
            for (std::int32_t buffer : {2048, 524288}) {
                const double fraction = kind == 0 ? 0.0 : 0.375;
                cases.push_back({static_cast<Kind>(kind), static_cast<Variant>(variant), buffer, 10 + fraction});
            }
        }
    }
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return RoutineName(info.param.kind, info.param.variant) + "_" + std::to_string(info.param.buffer);
}

class PeerJob : public ::testing::TestWithParam<Case> {
protected:
    Job MakeJob() const {
        Job job;
        job.kind = GetParam().kind;
        job.variant = GetParam().variant;
        job.buffer_size = GetParam().buffer;
        job.delay = GetParam().delay;
        return job;
    }
};

TEST_P(PeerJob, ImpulseLandsAtTheSameSampleAndTailsAgree) {
    const Job job = MakeJob();
    OurRoutine ours(job, HOST_BLOCK);
    const std::vector<float> reference = Render(ours, job, Impulse(), HOST_BLOCK);
    const std::int32_t first = FirstSound(reference);
    // The moving delay starts 0.75 samples early; the others land at the whole part of the delay.
    EXPECT_EQ(first, job.kind == Kind::Full ? static_cast<std::int32_t>(job.delay - 0.75)
                                            : static_cast<std::int32_t>(job.delay));
    ASSERT_EQ(PeerNames(job).size(), 2u) << "both STK and Faust peers exist for this job";
    for (std::int32_t split : {1, 37, HOST_BLOCK}) {
        for (NamedPeer& peer : MakePeers(job)) {
            const std::string what = peer.name + " at blocks of " + std::to_string(split);
            const std::vector<float> theirs = Render(*peer.peer, job, Impulse(), split);
            EXPECT_EQ(FirstSound(theirs), first) << what;
            ExpectSameStream(reference, theirs, what);
        }
    }
}

TEST_P(PeerJob, ResponsesToASignalAgree) {
    const Job job = MakeJob();
    OurRoutine ours(job, HOST_BLOCK);
    const std::vector<float> reference = Render(ours, job, Signal(), 100);
    for (NamedPeer& peer : MakePeers(job)) {
        ExpectSameStream(reference, Render(*peer.peer, job, Signal(), 100), peer.name);
    }
}

INSTANTIATE_TEST_SUITE_P(AllJobs, PeerJob, ::testing::ValuesIn(AllCases()), CaseName);

// The benchmark's settings really install fifteen different routines, and switching off a sixteenth.
TEST(OurSettings, InstallADifferentRoutineForEveryJob) {
    std::set<SEProcessEntry> entries;
    for (const Case& c : AllCases()) {
        if (c.buffer != 2048) continue;
        Job job;
        job.kind = c.kind;
        job.variant = c.variant;
        job.delay = c.delay;
        OurRoutine ours(job, HOST_BLOCK);
        entries.insert(ours.Entry());
    }
    entries.insert(OurRoutine::Silent(HOST_BLOCK)->Entry());
    EXPECT_EQ(entries.size(), 16u);
}

}  // namespace
}  // namespace er_bench
