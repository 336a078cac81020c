#pragma once
// The typed front of the automation protocol: remembers the app instance it talks to, stamps
// every request (version, request identifier, instance identifier), turns replies into payloads
// or failures, and waits for a recording's outcome.

#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "RecorderAutomation/Client/AutomationClient.h"
#include "RecorderAutomation/Protocol/AutomationCommand.h"
#include "RecorderAutomation/Protocol/AutomationFailure.h"
#include "RecorderAutomation/Protocol/CapabilitiesPayload.h"
#include "RecorderAutomation/Protocol/DisplayDescriptor.h"
#include "RecorderAutomation/Protocol/DisplaysPayload.h"
#include "RecorderAutomation/Protocol/ResultPayload.h"
#include "RecorderAutomation/Protocol/SessionReceipt.h"
#include "RecorderAutomation/Protocol/StartParameters.h"
#include "RecorderAutomation/Protocol/StatusPayload.h"
#include "RecorderAutomation/Protocol/StopPayload.h"

namespace recorder {

class RecorderAutomationSession {
public:
    // Shown as rejected("code", "message").
    struct Rejected {
        AutomationFailure failure;
        static constexpr auto failureCase() {
            return failure::form(
                "rejected",
                failure::value([](const Rejected& r) { return automation_error_code::rawValue(r.failure.code); }),
                failure::value([](const Rejected& r) -> const std::string& { return r.failure.message; }));
        }
        bool operator==(const Rejected&) const = default;
    };
    struct Client {
        AutomationClient::Failure failure;
        static constexpr auto failureCase() { return failure::form("client", failure::value(&Client::failure)); }
        bool operator==(const Client&) const = default;
    };
    struct WaitTimedOut : NamedCase<"waitTimedOut"> {};

    struct Failure : BasicFailure<struct RecorderAutomationSessionTag, Rejected, Client, WaitTimedOut> {
        using BasicFailure::BasicFailure;
        static Failure rejected(AutomationFailure failure) { return Rejected{std::move(failure)}; }
        static Failure client(AutomationClient::Failure failure) { return Client{std::move(failure)}; }
        static Failure waitTimedOut() { return WaitTimedOut{}; }
    };

    // A fresh random UUID in upper-case canonical form.
    static std::string makeUUID();

    // `makeRequestID` is called from any thread; left empty it is makeUUID.
    explicit RecorderAutomationSession(AutomationClient client, std::function<std::string()> makeRequestID = {});

    CapabilitiesPayload capabilities();
    std::vector<DisplayDescriptor> displays();
    SessionReceipt start(StartParameters parameters, std::optional<std::string> requestID = {});
    StatusPayload status(std::optional<std::string> sessionID = {});
    StopPayload stop(std::string sessionID);
    ResultPayload result(std::string sessionID);

    // Polls result at once and then after every 1-second sleep, until the recording reaches a
    // final state. The deadline is checked after each poll only, so the last poll may come up
    // to a second after it. A stop request ends a sleep at once with CancellationError.
    // `pending`, when given, sees every poll whose state is not final, before the sleep.
    ResultPayload waitForResult(std::string sessionID, double timeout, std::stop_token stop = {},
                                const std::function<void(const ResultPayload&)>& pending = {});

    // The app instance learned from the last capabilities reply.
    std::optional<std::string> appInstanceID() const;
    const AutomationClient& client() const noexcept { return client_; }

private:
    template <class Payload>
    Payload perform(AutomationCommand command, std::optional<std::string> requestID = {});

    const AutomationClient client_;
    const std::function<std::string()> makeRequestID_;
    // Guards appInstanceID_ only; never held across an exchange or a sleep, so operations
    // of several threads overlap.
    mutable std::mutex mutex_;
    std::optional<std::string> appInstanceID_;
};

}  // namespace recorder
