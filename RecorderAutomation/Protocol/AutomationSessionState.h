#pragma once
// The states of a recording session, shared by several payloads.

#include "RecorderAutomation/Protocol/WireEnumeration.h"

namespace recorder {

enum class AutomationSessionState { preparing, recording, stopping, saved, failed, cancelled };

constexpr auto wireTexts(AutomationSessionState) {
    using enum AutomationSessionState;
    return wireTable<AutomationSessionState>("session state", {{preparing, "preparing"},
                                                               {recording, "recording"},
                                                               {stopping, "stopping"},
                                                               {saved, "saved"},
                                                               {failed, "failed"},
                                                               {cancelled, "cancelled"}});
}

struct automation_session_state : WireEnumeration<AutomationSessionState> {
    // saved, failed and cancelled: a waiting client stops polling at any of them.
    static constexpr bool isFinal(AutomationSessionState state) {
        return state == AutomationSessionState::saved || state == AutomationSessionState::failed ||
               state == AutomationSessionState::cancelled;
    }
};

}  // namespace recorder
