#pragma once
// How the app's request handler plugs into the socket server.

#include "RecorderAutomation/Protocol/AutomationReply.h"
#include "RecorderAutomation/Protocol/AutomationRequest.h"

namespace recorder {

class AutomationRequestHandling {
public:
    virtual ~AutomationRequestHandling() = default;

    // One decoded request in, one reply out; every refusal is a failure reply. Called on the
    // server's loop thread, which hands the loop to another thread if the call lasts beyond a
    // moment; at most once at a time per connection, possibly concurrently for different
    // connections; may block. Must not throw: a thrown AutomationFailure is answered as a
    // failure reply, anything else drops the connection without a reply.
    virtual AutomationReply handle(const AutomationRequest& request) = 0;
};

}  // namespace recorder
