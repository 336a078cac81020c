#pragma once
// A stand-in for Lumora's automation socket: answers each connection's one request line with
// whatever the test's script returns (nothing: the connection is closed without a reply).

#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Protocol/AutomationReply.h"
#include "RecorderAutomation/Protocol/AutomationRequest.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class FakeLumora {
public:
    using Script = std::function<std::optional<std::string>(const recorder::AutomationRequest&)>;

    FakeLumora(std::filesystem::path directory, Script script);
    ~FakeLumora();

    void start();
    void stop();  // removes the socket: later connections find nobody

    recorder::AutomationEndpoint endpoint() const;
    std::vector<recorder::AutomationRequest> requests() const;
    void clearRequests();

    // A well-formed reply line to `request`.
    static std::string reply(const recorder::AutomationReply& reply, const recorder::AutomationRequest& request,
                             const std::string& appInstanceID = "instance-1");

private:
    void serve();

    std::filesystem::path directory_;
    Script script_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<recorder::AutomationRequest> requests_;
};
