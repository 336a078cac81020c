#pragma once
// How every refusal is told: a machine-readable code, a sentence for people, and an optional
// hint saying what to do next. Also thrown as an error.

#include <exception>

#include "RecorderAutomation/Protocol/AutomationErrorCode.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct AutomationFailure : std::exception {
    AutomationErrorCode code = AutomationErrorCode::invalidRequest;
    std::string message{};
    std::optional<std::string> hint{};

    AutomationFailure() = default;
    AutomationFailure(AutomationErrorCode code, std::string message, std::optional<std::string> hint = std::nullopt)
        : code(code), message(std::move(message)), hint(std::move(hint)) {}

    const char* what() const noexcept override { return message.c_str(); }

    // An unknown code text or a missing message fails; other keys are ignored.
    static constexpr auto wireFields() {
        using F = AutomationFailure;
        return wire::fields(wire::required("code", &F::code), wire::required("message", &F::message),
                            wire::optional("hint", &F::hint));
    }
    RECORDER_WIRE_CODING(AutomationFailure)

    friend bool operator==(const AutomationFailure& a, const AutomationFailure& b) {
        return a.code == b.code && a.message == b.message && a.hint == b.hint;
    }
};

}  // namespace recorder
