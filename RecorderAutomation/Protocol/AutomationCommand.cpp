#include "RecorderAutomation/Protocol/AutomationCommand.h"

#include <utility>

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

namespace automation_command_name {

namespace {
using N = AutomationCommand::Name;
constexpr std::array<std::pair<N, std::string_view>, 6> table{{
    {N::capabilities, "capabilities"},
    {N::displays, "displays"},
    {N::start, "start"},
    {N::status, "status"},
    {N::stop, "stop"},
    {N::result, "result"},
}};
}  // namespace

const std::array<AutomationCommand::Name, 6> allCases{N::capabilities, N::displays, N::start,
                                                      N::status,       N::stop,     N::result};

std::string_view rawValue(AutomationCommand::Name name) { return table[static_cast<std::size_t>(name)].second; }

std::optional<AutomationCommand::Name> fromRawValue(std::string_view text) {
    for (const auto& [name, raw] : table)
        if (raw == text) return name;
    return std::nullopt;
}

}  // namespace automation_command_name

namespace {
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;
}  // namespace

AutomationCommand::Name AutomationCommand::name() const noexcept {
    return std::visit(Overloaded{
                          [](const Start&) { return Name::start; },
                          [](const Status&) { return Name::status; },
                          [](const Stop&) { return Name::stop; },
                          [](const Result&) { return Name::result; },
                          [](const Capabilities&) { return Name::capabilities; },
                          [](const Displays&) { return Name::displays; },
                      },
                      value_);
}

const StartParameters* AutomationCommand::startParameters() const noexcept {
    const auto* start = std::get_if<Start>(&value_);
    return start ? &start->parameters : nullptr;
}

const StatusParameters* AutomationCommand::statusParameters() const noexcept {
    const auto* status = std::get_if<Status>(&value_);
    return status ? &status->parameters : nullptr;
}

const SessionParameters* AutomationCommand::sessionParameters() const noexcept {
    if (const auto* stop = std::get_if<Stop>(&value_)) return &stop->parameters;
    if (const auto* result = std::get_if<Result>(&value_)) return &result->parameters;
    return nullptr;
}

nlohmann::json AutomationCommand::toJSON() const {
    JSONObjectWriter writer;
    writer.put("command", name());
    std::visit(Overloaded{
                   [&](const Capabilities&) {},
                   [&](const Displays&) {},
                   [&](const auto& withParameters) { writer.put("parameters", withParameters.parameters); },
               },
               value_);
    return writer.take();
}

AutomationCommand AutomationCommand::fromJSON(const nlohmann::json& envelope, const CodingPath& path) {
    const JSONObjectReader reader(envelope, path);
    const std::string name = reader.required<std::string>("command");
    const auto known = automation_command_name::fromRawValue(name);
    if (!known) throw DecodingError::dataCorrupted(reader.pathFor("command"), "Unknown command " + name);
    switch (*known) {
        case Name::capabilities: return capabilities();
        case Name::displays: return displays();
        case Name::start: return start(reader.required<StartParameters>("parameters"));
        case Name::status: return status(reader.optional<StatusParameters>("parameters").value_or(StatusParameters{}));
        case Name::stop: return stop(reader.required<SessionParameters>("parameters"));
        case Name::result: return result(reader.required<SessionParameters>("parameters"));
    }
    throw DecodingError::dataCorrupted(reader.pathFor("command"), "Unknown command " + name);
}

}  // namespace recorder
