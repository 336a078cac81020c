#pragma once
// The states of a recording session, shared by several payloads.

#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "RecorderAutomation/Protocol/RawValueEnumeration.h"

namespace recorder {

enum class AutomationSessionState { preparing, recording, stopping, saved, failed, cancelled };

namespace automation_session_state {
extern const std::array<AutomationSessionState, 6> allCases;
std::string_view rawValue(AutomationSessionState state);
std::optional<AutomationSessionState> fromRawValue(std::string_view text);
// saved, failed and cancelled: a waiting client stops polling at any of them.
bool isFinal(AutomationSessionState state);
}  // namespace automation_session_state

template <>
struct RawValueEnumeration<AutomationSessionState> {
    static constexpr std::string_view typeName = "session state";
    static std::string_view rawValue(AutomationSessionState state) { return automation_session_state::rawValue(state); }
    static std::optional<AutomationSessionState> fromRawValue(std::string_view text) {
        return automation_session_state::fromRawValue(text);
    }
    static std::span<const AutomationSessionState> allCases() { return automation_session_state::allCases; }
};

}  // namespace recorder
