#pragma once
// The six operations of the protocol and their parameters. On the wire a command is two keys
// of the request envelope: "command" (the name) and "parameters" (for start, status, stop, result).

#include <variant>

#include "RecorderAutomation/Protocol/DirectDecoder.h"
#include "RecorderAutomation/Protocol/SessionParameters.h"
#include "RecorderAutomation/Protocol/StartParameters.h"
#include "RecorderAutomation/Protocol/StatusParameters.h"
#include "RecorderAutomation/Protocol/WireEnumeration.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

class AutomationCommand {
public:
    enum class Name { capabilities, displays, start, status, stop, result };

    // A command with parameters, and how its "parameters" key is present.
    template <Name N, class Parameters, wire::Presence P>
    struct WithParameters {
        static constexpr Name name = N;
        Parameters parameters;
        static constexpr auto wireFields() {
            return wire::fields(wire::Field<P, WithParameters, Parameters>{"parameters", &WithParameters::parameters});
        }
        bool operator==(const WithParameters&) const = default;
    };
    template <Name N>
    struct WithoutParameters {
        static constexpr Name name = N;
        static constexpr auto wireFields() { return wire::fields(); }
        bool operator==(const WithoutParameters&) const = default;
    };
    using Start = WithParameters<Name::start, StartParameters, wire::Presence::required>;
    // Absent parameters read as none.
    using Status = WithParameters<Name::status, StatusParameters, wire::Presence::defaulted>;
    using Stop = WithParameters<Name::stop, SessionParameters, wire::Presence::required>;
    using Result = WithParameters<Name::result, SessionParameters, wire::Presence::required>;
    using Capabilities = WithoutParameters<Name::capabilities>;
    using Displays = WithoutParameters<Name::displays>;
    using Value = std::variant<Start, Status, Stop, Result, Capabilities, Displays>;

    // Capabilities, the command that needs nothing.
    AutomationCommand() = default;
    AutomationCommand(Value value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)

    // Each case is made in place: moving a whole variant in makes GCC warn, falsely, that the
    // members of the cases it does not hold may be used uninitialised.
    static AutomationCommand start(StartParameters parameters) {
        return {std::in_place_type<Start>, Start{std::move(parameters)}};
    }
    static AutomationCommand status(StatusParameters parameters = {}) {
        return {std::in_place_type<Status>, Status{std::move(parameters)}};
    }
    static AutomationCommand stop(SessionParameters parameters) {
        return {std::in_place_type<Stop>, Stop{std::move(parameters)}};
    }
    static AutomationCommand result(SessionParameters parameters) {
        return {std::in_place_type<Result>, Result{std::move(parameters)}};
    }
    static AutomationCommand capabilities() { return {std::in_place_type<Capabilities>}; }
    static AutomationCommand displays() { return {std::in_place_type<Displays>}; }

    Name name() const noexcept {
        return std::visit([](const auto& command) { return command.name; }, value_);
    }
    // Visit this to act on a command.
    const Value& value() const noexcept { return value_; }

    // The parameters of the case, or nullptr for the other cases.
    const StartParameters* startParameters() const noexcept { return parametersOf<Start>(); }
    const StatusParameters* statusParameters() const noexcept { return parametersOf<Status>(); }
    // Stop's or result's parameters.
    const SessionParameters* sessionParameters() const noexcept {
        const auto* stop = parametersOf<Stop>();
        return stop ? stop : parametersOf<Result>();
    }

    // The envelope keys "command" and, for the four commands that take one, "parameters".
    nlohmann::json toJSON() const;
    // The same keys as pieces of the envelope being written (WireObject.h).
    void appendPieces(wire::ObjectPieces& envelope) const;
    // Reads "command" and "parameters" from the request envelope `envelope` (whose path is `path`).
    static AutomationCommand fromJSON(const nlohmann::json& envelope, const CodingPath& path = {});

    bool operator==(const AutomationCommand&) const = default;

private:
    template <class Case, class... Arguments>
    AutomationCommand(std::in_place_type_t<Case> kind, Arguments&&... arguments)
        : value_(kind, std::forward<Arguments>(arguments)...) {}

    template <class Case>
    const decltype(Case::parameters)* parametersOf() const noexcept {
        const auto* command = std::get_if<Case>(&value_);
        return command ? &command->parameters : nullptr;
    }

    Value value_{Capabilities{}};
};

constexpr auto wireTexts(AutomationCommand::Name) {
    using enum AutomationCommand::Name;
    return wireTable<AutomationCommand::Name>("command", {{capabilities, "capabilities"},
                                                          {displays, "displays"},
                                                          {start, "start"},
                                                          {status, "status"},
                                                          {stop, "stop"},
                                                          {result, "result"}});
}
using automation_command_name = WireEnumeration<AutomationCommand::Name>;

namespace wire {

// The direct path's reading of a request's command: "command" names the case, whose own keys
// ("parameters") are then read by the case's table. A case key before "command" is declined.
template <>
struct DirectInlined<AutomationCommand> {
    KeyTaken take(std::string_view key, DirectCursor& cursor);
    bool finish(AutomationCommand& out);

private:
    template <class Case>
    struct Reading {
        Case command{};
        DirectKeys<Case> keys{};
    };
    template <class Value>
    struct ReadingOf;
    template <class... Case>
    struct ReadingOf<std::variant<Case...>> {
        using State = std::variant<std::monostate, Reading<Case>...>;
    };
    ReadingOf<AutomationCommand::Value>::State state_{};
};

}  // namespace wire

}  // namespace recorder
