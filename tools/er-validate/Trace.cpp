#include "SessionParts.h"

namespace er_validate {

const char* KindName(MemberKind kind) {
    switch (kind) {
    case MemberKind::Left: return "left";
    case MemberKind::Right: return "right";
    case MemberKind::Reference: return "fresh";
    }
    return "?";
}

bool Session::Fail(const Group& group, const Member* member, const std::string& message) {
    if (!m_finding) {
        std::string where = Format("group %d", group.index);
        if (member) where += Format(", %s object (block size %d)", KindName(member->kind), member->block_size);
        m_finding = Finding{m_seed, m_step, where + ": " + message};
    }
    return false;
}

void Session::Trace(const std::string& line) {
    if (m_options.trace) std::fprintf(m_options.trace, "%s\n", line.c_str());
}

std::string Session::ActionText(const Action& action) const {
    std::string text = Format("@%d ", action.at);
    if (action.neutral) return text + "neutral event";
    text += Format("\"%s\" status %d", RoleName(action.role), action.status);
    if (IsChoice(action.role)) return text + Format(", value %d", action.choice);
    if (action.stream) return text + Format(", streaming (signal kind %d)", static_cast<int>(action.signal.kind));
    if (action.set_value) return text + Format(", value %.9g", action.value);
    return text;
}

}  // namespace er_validate
