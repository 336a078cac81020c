#include "RecorderAutomation/Protocol/AutomationSessionState.h"

#include <utility>

namespace recorder::automation_session_state {

namespace {
using S = AutomationSessionState;
constexpr std::array<std::pair<S, std::string_view>, 6> table{{
    {S::preparing, "preparing"},
    {S::recording, "recording"},
    {S::stopping, "stopping"},
    {S::saved, "saved"},
    {S::failed, "failed"},
    {S::cancelled, "cancelled"},
}};
}  // namespace

const std::array<AutomationSessionState, 6> allCases{S::preparing, S::recording, S::stopping,
                                                     S::saved,     S::failed,    S::cancelled};

std::string_view rawValue(AutomationSessionState state) { return table[static_cast<std::size_t>(state)].second; }

std::optional<AutomationSessionState> fromRawValue(std::string_view text) {
    for (const auto& [state, raw] : table)
        if (raw == text) return state;
    return std::nullopt;
}

bool isFinal(AutomationSessionState state) { return state == S::saved || state == S::failed || state == S::cancelled; }

}  // namespace recorder::automation_session_state
