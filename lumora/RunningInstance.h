#pragma once
// The Lumora that already runs for this user, found through the automation socket it serves,
// and the signals with which another Lumora (a desktop entry's action) asks it to start or stop
// a recording by hand.

#include <optional>
#include <sys/types.h>

#include "RecorderAutomation/Client/AutomationEndpoint.h"

namespace lumora {

class RunningInstance {
public:
    // The process serving `endpoint`'s socket: the socket's peer credentials name the process
    // that listens on it. Nothing when no process of this user listens there.
    static std::optional<pid_t> find(const recorder::AutomationEndpoint& endpoint);

    // Starts a recording by hand unless one is in progress.
    static int startRecordingSignal();
    // Stops the recording in progress, whoever started it.
    static int stopRecordingSignal();
};

}  // namespace lumora
