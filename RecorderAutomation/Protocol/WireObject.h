#pragma once
// The JSON object of a protocol value type, stated once as a table of key, member and presence,
// and one coder that walks the table both ways:
//
//   struct SourceReference {
//       SourceKind kind = SourceKind::display;
//       std::string id{};
//       static constexpr auto wireFields() {
//           return wire::fields(wire::required("kind", &SourceReference::kind), wire::required("id",
//           &SourceReference::id));
//       }
//       RECORDER_WIRE_CODING(SourceReference)
//   };
//
// Presence: required (missing is keyNotFound, null a typeMismatch; always written); optional (a
// std::optional member: missing or null reads as absent, and absent is not written); defaulted
// (missing or null keeps the member's default; always written); inlined (a member whose own keys
// sit in this same object, as a request's command does). Keys are read in table order, so the
// first fault in that order is the one reported. Other keys are ignored unless the table is
// strict, which refuses them before reading any key (StrictKeys).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"
#include "RecorderAutomation/Protocol/JSONObjectReader.h"
#include "RecorderAutomation/Protocol/StrictKeys.h"

namespace recorder::wire {

enum class Presence { required, optional, defaulted, inlined };

template <Presence P, class Owner, class Member>
struct Field {
    std::string_view key;
    Member Owner::*member;

    void read(const JSONObjectReader& reader, Owner& owner) const {
        Member& target = owner.*member;
        if constexpr (P == Presence::required) {
            target = reader.required<Member>(key);
        } else if constexpr (P == Presence::optional) {
            target = reader.optional<typename Member::value_type>(key);
        } else if constexpr (P == Presence::defaulted) {
            if (auto value = reader.optional<Member>(key)) target = std::move(*value);
        } else {
            target = Member::fromJSON(reader.object(), reader.codingPath());
        }
    }

    void write(nlohmann::json& object, const Owner& owner) const {
        const Member& source = owner.*member;
        if constexpr (P == Presence::optional) {
            if (source) object[std::string(key)] = json_coding::encode(*source);
        } else if constexpr (P == Presence::inlined) {
            object.update(source.toJSON());
        } else {
            object[std::string(key)] = json_coding::encode(source);
        }
    }
};

template <class O, class M>
constexpr Field<Presence::required, O, M> required(std::string_view key, M O::*member) {
    return {key, member};
}
template <class O, class M>
constexpr Field<Presence::optional, O, std::optional<M>> optional(std::string_view key, std::optional<M> O::*member) {
    return {key, member};
}
template <class O, class M>
constexpr Field<Presence::defaulted, O, M> defaulted(std::string_view key, M O::*member) {
    return {key, member};
}
template <class O, class M>
constexpr Field<Presence::inlined, O, M> inlined(M O::*member) {
    return {{}, member};
}

template <bool Strict, class... F>
struct FieldTable {
    static constexpr bool strict = Strict;
    std::tuple<F...> fields;
};

template <class... F>
constexpr FieldTable<false, F...> fields(F... each) {
    return {{each...}};
}
template <class... F>
constexpr FieldTable<true, F...> strictFields(F... each) {
    return {{each...}};
}

template <class T>
nlohmann::json encodeObject(const T& value) {
    auto object = nlohmann::json::object();
    std::apply([&](const auto&... field) { (field.write(object, value), ...); }, T::wireFields().fields);
    return object;
}

template <class T>
T decodeObject(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    constexpr auto table = T::wireFields();
    if constexpr (table.strict)
        std::apply([&](const auto&... field) { StrictKeys::rejectUnknownKeysIn(value, {field.key...}, path); },
                   table.fields);
    T decoded{};
    std::apply([&](const auto&... field) { (field.read(reader, decoded), ...); }, table.fields);
    return decoded;
}

}  // namespace recorder::wire

// The members through which the rest of the system codes a value type with a wireFields() table.
#define RECORDER_WIRE_CODING(Type)                                                               \
    nlohmann::json toJSON() const { return ::recorder::wire::encodeObject(*this); }              \
    static Type fromJSON(const nlohmann::json& value, const ::recorder::CodingPath& path = {}) { \
        return ::recorder::wire::decodeObject<Type>(value, path);                                \
    }
