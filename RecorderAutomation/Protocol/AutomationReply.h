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
    struct Capabilities {
        CapabilitiesPayload payload;
        bool operator==(const Capabilities&) const = default;
    };
    struct Displays {
        DisplaysPayload payload;
        bool operator==(const Displays&) const = default;
    };
    struct Started {
        SessionReceipt payload;
        bool operator==(const Started&) const = default;
    };
    struct Status {
        StatusPayload payload;
        bool operator==(const Status&) const = default;
    };
    struct Stopped {
        StopPayload payload;
        bool operator==(const Stopped&) const = default;
    };
    struct Result {
        ResultPayload payload;
        bool operator==(const Result&) const = default;
    };
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

    const Value& value() const noexcept { return value_; }
    bool isFailure() const noexcept { return std::holds_alternative<Failure>(value_); }

    bool operator==(const AutomationReply&) const = default;

private:
    Value value_;
};

}  // namespace recorder
