#include "RecorderAutomation/Protocol/AutomationCommand.h"

#include <optional>
#include <type_traits>
#include <utility>

namespace recorder {

namespace {
// The case named `name`, read from the envelope by its own table.
template <std::size_t... I>
AutomationCommand::Value decodeCase(AutomationCommand::Name name, const nlohmann::json& envelope,
                                    const CodingPath& path, std::index_sequence<I...>) {
    using Value = AutomationCommand::Value;
    std::optional<Value> decoded;
    // Exactly one case has the name, as the name was read from the same table.
    const auto decodeIfNamed = [&]<class Case>(std::type_identity<Case>) {
        if (Case::name == name) decoded.emplace(wire::decodeObject<Case>(envelope, path));
    };
    (decodeIfNamed(std::type_identity<std::variant_alternative_t<I, Value>>{}), ...);
    return std::move(*decoded);
}
}  // namespace

nlohmann::json AutomationCommand::toJSON() const {
    return std::visit(
        [](const auto& command) {
            auto object = wire::encodeObject(command);
            object["command"] = std::string(automation_command_name::rawValue(command.name));
            return object;
        },
        value_);
}

void AutomationCommand::appendPieces(wire::ObjectPieces& envelope) const {
    std::visit(
        [&](const auto& command) {
            using Case = std::decay_t<decltype(command)>;
            std::apply([&](const auto&... field) { (field.appendTo(envelope, command), ...); },
                       Case::wireFields().fields);
            const std::size_t begin = envelope.text.size();
            envelope.text += "\"command\":";
            JSONTextWriter::appendText(envelope.text, automation_command_name::rawValue(command.name));
            envelope.close("command", begin);
        },
        value_);
}

AutomationCommand AutomationCommand::fromJSON(const nlohmann::json& envelope, const CodingPath& path) {
    const JSONObjectReader reader(envelope, path);
    const std::string name = reader.required<std::string>("command");
    const auto known = automation_command_name::fromRawValue(name);
    if (!known) throw DecodingError::dataCorrupted(reader.pathFor("command"), "Unknown command " + name);
    return decodeCase(*known, envelope, path, std::make_index_sequence<std::variant_size_v<Value>>{});
}

namespace wire {

namespace {
template <class... Case>
constexpr bool anyCaseKnows(std::string_view key, std::type_identity<std::variant<Case...>>) {
    return (DirectKeys<Case>::knows(key) || ...);
}
}  // namespace

KeyTaken DirectInlined<AutomationCommand>::take(std::string_view key, DirectCursor& cursor) {
    if (key == "command") {
        if (state_.index() != 0) return KeyTaken::declined;
        const auto* token = cursor.next();
        if (token == nullptr || token->kind != JSONTape::Kind::text) return KeyTaken::declined;
        const auto name = automation_command_name::fromRawValue(token->text);
        if (!name) return KeyTaken::declined;
        // The reading of the case with this name (exactly one has it) begins.
        const auto begin = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ((std::variant_alternative_t<I, AutomationCommand::Value>::name == *name &&
                     (state_.emplace<I + 1>(), true)) ||
                    ...);
        };
        begin(std::make_index_sequence<std::variant_size_v<AutomationCommand::Value>>{});
        return KeyTaken::taken;
    }
    return std::visit(
        [&]<class Reading>(Reading& reading) {
            if constexpr (std::is_same_v<Reading, std::monostate>) {
                return anyCaseKnows(key, std::type_identity<AutomationCommand::Value>{}) ? KeyTaken::declined
                                                                                         : KeyTaken::notMine;
            } else {
                return reading.keys.take(key, cursor, reading.command);
            }
        },
        state_);
}

bool DirectInlined<AutomationCommand>::finish(AutomationCommand& out) {
    return std::visit(
        [&]<class Reading>(Reading& reading) {
            if constexpr (std::is_same_v<Reading, std::monostate>) {
                return false;
            } else {
                if (!reading.keys.finish(reading.command)) return false;
                out = AutomationCommand(AutomationCommand::Value{std::move(reading.command)});
                return true;
            }
        },
        state_);
}

}  // namespace wire

}  // namespace recorder
