#pragma once
// A stand-in for Lumora's automation socket: answers each connection's one request line with
// whatever the test's script returns (nothing: the connection is closed without a reply).

#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Protocol/AutomationReply.h"
#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "tests/Support/AppSocket.h"
#include "tests/Support/Recorded.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class FakeLumora {
public:
    using Script = std::function<std::optional<std::string>(const recorder::AutomationRequest&)>;

    FakeLumora(std::filesystem::path directory, Script script);

    void start();
    void stop();  // removes the socket: later connections find nobody

    recorder::AutomationEndpoint endpoint() const;
    std::vector<recorder::AutomationRequest> requests() const { return requests_.all(); }
    void clearRequests() { requests_.clear(); }

    // A well-formed reply line to `request`.
    static std::string reply(const recorder::AutomationReply& reply, const recorder::AutomationRequest& request,
                             const std::string& appInstanceID = "instance-1");

private:
    std::filesystem::path directory_;
    Script script_;
    Recorded<recorder::AutomationRequest> requests_;
    std::optional<AppSocket> socket_;  // last: it stops before the rest goes
};

}  // namespace testsupport
