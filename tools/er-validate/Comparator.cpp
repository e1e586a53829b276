#include "SessionParts.h"

#include <bit>
#include <cmath>

namespace er_validate {

namespace {

// Samples compare equal when their bits are equal or both are NaN.
bool Same(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) || (std::isnan(a) && std::isnan(b));
}

}  // namespace

bool Session::CheckOutput(Group& group, Member& member, const Segment& segment) {
    for (std::int32_t i = 0; i < segment.length; ++i) {
        float& y = member.output[static_cast<std::size_t>(i)];
        if (IsCanary(y)) {
            // Before the first "Active" event the frame's empty routine runs and writes nothing.
            if (segment.must_write[static_cast<std::size_t>(i)] || member.kind == MemberKind::Reference) {
                return Fail(group, &member, Format("Out sample %d of the segment was never written", i));
            }
            y = 0.0f;
        }
        if (std::fpclassify(y) == FP_SUBNORMAL) {
            return Fail(group, &member, Format("subnormal output %g at sample %d of the segment", y, i));
        }
        if (segment.must_be_finite[static_cast<std::size_t>(i)]) {
            ++m_totals.finite_checked;
            if (!std::isfinite(y)) {
                return Fail(group, &member, Format("output %g at sample %d of the segment, with finite inputs and "
                                                   "controls and a loop gain below 1",
                                                   y, i));
            }
        }
    }
    // Every "Active" event is answered by an "Out" status: streaming when on, changed when off.
    const Model& m = group.model;
    if (m.notified[Pin::Active]) {
        const std::int32_t expected = m.choice[Pin::Active] != 0 ? PS_STREAMING : PS_CHANGED;
        const std::int32_t reported = member.instance->LastStatus(member.pin[Pin::Out]);
        if (reported != expected) {
            return Fail(group, &member, Format("\"Out\" last reported status %d, expected %d after \"Active\" %d", reported, expected, m.choice[Pin::Active]));
        }
    }
    return true;
}

bool Session::Compare(Group& group, const Segment& segment) {
    const Member& left = *group.members.front();
    for (std::size_t k = 1; k < group.members.size(); ++k) {
        const Member& other = *group.members[k];
        const bool always = other.kind == MemberKind::Reference || !group.comparable;
        for (std::int32_t i = 0; i < segment.length; ++i) {
            const auto s = static_cast<std::size_t>(i);
            if (!always && !segment.must_match[s]) continue;
            ++m_totals.compared;
            if (!Same(left.output[s], other.output[s])) {
                const char* what = other.kind == MemberKind::Reference
                                       ? "after a poly reset the output differs from a fresh object's"
                                   : group.comparable ? "the output depends on where the host cuts blocks"
                                                      : "two objects given the same calls disagree";
                return Fail(group, &other, Format("%s: sample %d of the segment: %.9g (block size %d) vs %.9g "
                                                  "(block size %d)",
                                                  what, i, left.output[s], left.block_size, other.output[s], other.block_size));
            }
        }
    }
    return true;
}

}  // namespace er_validate
