#pragma once
// What the app's request handler answers for one request; the server turns it into a response.

#include <variant>

#include "RecorderAutomation/Protocol/AutomationFailure.h"
#include "RecorderAutomation/Protocol/CapabilitiesPayload.h"
#include "RecorderAutomation/Protocol/DisplaysPayload.h"
#include "RecorderAutomation/Protocol/ResultPayload.h"
#include "RecorderAutomation/Protocol/SessionReceipt.h"
#include "RecorderAutomation/Protocol/StatusPayload.h"
#include "RecorderAutomation/Protocol/StopPayload.h"

namespace recorder {

class AutomationReply {
public:
    // A success, carrying the payload of the command it answers.
    template <class Payload>
    struct Carrying {
        Payload payload;
        bool operator==(const Carrying&) const = default;
    };
    using Capabilities = Carrying<CapabilitiesPayload>;
    using Displays = Carrying<DisplaysPayload>;
    using Started = Carrying<SessionReceipt>;
    using Status = Carrying<StatusPayload>;
    using Stopped = Carrying<StopPayload>;
    using Result = Carrying<ResultPayload>;
    struct Failure {
        AutomationFailure failure;
        bool operator==(const Failure&) const = default;
    };
    using Value = std::variant<Capabilities, Displays, Started, Status, Stopped, Result, Failure>;

    AutomationReply(Value value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)

    static AutomationReply capabilities(CapabilitiesPayload payload) { return Value{Capabilities{std::move(payload)}}; }
    static AutomationReply displays(DisplaysPayload payload) { return Value{Displays{std::move(payload)}}; }
    static AutomationReply started(SessionReceipt payload) { return Value{Started{std::move(payload)}}; }
    static AutomationReply status(StatusPayload payload) { return Value{Status{std::move(payload)}}; }
    static AutomationReply stopped(StopPayload payload) { return Value{Stopped{std::move(payload)}}; }
    static AutomationReply result(ResultPayload payload) { return Value{Result{std::move(payload)}}; }
    static AutomationReply failure(AutomationFailure failure) { return Value{Failure{std::move(failure)}}; }

    const Value& value() const& noexcept { return value_; }
    // For a reply about to be written and dropped: its payload moves rather than copies.
    Value&& value() && noexcept { return std::move(value_); }
    bool isFailure() const noexcept { return std::holds_alternative<Failure>(value_); }

    bool operator==(const AutomationReply&) const = default;

private:
    Value value_;
};

}  // namespace recorder
