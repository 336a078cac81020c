#pragma once
// The six operations of the protocol and their parameters. On the wire a command is two keys
// of the request envelope: "command" (the name) and "parameters" (for start, status, stop, result).

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"
#include "RecorderAutomation/Protocol/RawValueEnumeration.h"
#include "RecorderAutomation/Protocol/SessionParameters.h"
#include "RecorderAutomation/Protocol/StartParameters.h"
#include "RecorderAutomation/Protocol/StatusParameters.h"

namespace recorder {

class AutomationCommand {
public:
    enum class Name { capabilities, displays, start, status, stop, result };

    struct Start {
        StartParameters parameters;
        bool operator==(const Start&) const = default;
    };
    struct Status {
        StatusParameters parameters;
        bool operator==(const Status&) const = default;
    };
    struct Stop {
        SessionParameters parameters;
        bool operator==(const Stop&) const = default;
    };
    struct Result {
        SessionParameters parameters;
        bool operator==(const Result&) const = default;
    };
    struct Capabilities {
        bool operator==(const Capabilities&) const = default;
    };
    struct Displays {
        bool operator==(const Displays&) const = default;
    };
    using Value = std::variant<Start, Status, Stop, Result, Capabilities, Displays>;

    // Capabilities, the command that needs nothing.
    AutomationCommand() = default;
    AutomationCommand(Value value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)

    static AutomationCommand start(StartParameters parameters) { return Value{Start{std::move(parameters)}}; }
    static AutomationCommand status(StatusParameters parameters = {}) { return Value{Status{std::move(parameters)}}; }
    static AutomationCommand stop(SessionParameters parameters) { return Value{Stop{std::move(parameters)}}; }
    static AutomationCommand result(SessionParameters parameters) { return Value{Result{std::move(parameters)}}; }
    static AutomationCommand capabilities() { return Value{Capabilities{}}; }
    static AutomationCommand displays() { return Value{Displays{}}; }

    Name name() const noexcept;
    const Value& value() const noexcept { return value_; }

    // The parameters of the case, or nullptr for the other cases.
    const StartParameters* startParameters() const noexcept;
    const StatusParameters* statusParameters() const noexcept;
    // Stop's or result's parameters.
    const SessionParameters* sessionParameters() const noexcept;

    // The envelope keys "command" and, for the four commands that take one, "parameters".
    nlohmann::json toJSON() const;
    // Reads "command" and "parameters" from the request envelope `envelope` (whose path is `path`).
    static AutomationCommand fromJSON(const nlohmann::json& envelope, const CodingPath& path = {});

    bool operator==(const AutomationCommand&) const = default;

private:
    Value value_{Capabilities{}};
};

namespace automation_command_name {
// capabilities, displays, start, status, stop, result.
extern const std::array<AutomationCommand::Name, 6> allCases;
std::string_view rawValue(AutomationCommand::Name name);
// Matched exactly, case-sensitively.
std::optional<AutomationCommand::Name> fromRawValue(std::string_view text);
}  // namespace automation_command_name

template <>
struct RawValueEnumeration<AutomationCommand::Name> {
    static constexpr std::string_view typeName = "command";
    static std::string_view rawValue(AutomationCommand::Name name) { return automation_command_name::rawValue(name); }
    static std::optional<AutomationCommand::Name> fromRawValue(std::string_view text) {
        return automation_command_name::fromRawValue(text);
    }
    static std::span<const AutomationCommand::Name> allCases() { return automation_command_name::allCases; }
};

}  // namespace recorder
