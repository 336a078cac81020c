#pragma once
// How every refusal is told: a machine-readable code, a sentence for people, and an optional
// hint saying what to do next. Also thrown as an error.

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/AutomationErrorCode.h"
#include "RecorderAutomation/Protocol/DecodingError.h"

namespace recorder {

struct AutomationFailure : std::exception {
    AutomationErrorCode code = AutomationErrorCode::invalidRequest;
    std::string message{};
    std::optional<std::string> hint{};

    AutomationFailure() = default;
    AutomationFailure(AutomationErrorCode code, std::string message, std::optional<std::string> hint = std::nullopt)
        : code(code), message(std::move(message)), hint(std::move(hint)) {}

    const char* what() const noexcept override { return message.c_str(); }

    // "code", "message" and, only when present, "hint".
    nlohmann::json toJSON() const;
    // An unknown code text or a missing message fails; other keys are ignored.
    static AutomationFailure fromJSON(const nlohmann::json& value, const CodingPath& path = {});

    friend bool operator==(const AutomationFailure& a, const AutomationFailure& b) {
        return a.code == b.code && a.message == b.message && a.hint == b.hint;
    }
};

}  // namespace recorder
