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
//
// Encoding has two forms with the same bytes: toJSON() builds a tree (for callers that want one),
// and appendJSON() writes the frame's text straight from the table, keys in sorted order as
// nlohmann's sorted objects dump them. A table with an inlined member only knows its keys at run
// time: its "key":value pieces are written first and then joined in key order (ObjectPieces).

#include <algorithm>
#include <array>
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
#include "RecorderAutomation/Protocol/JSONTextWriter.h"
#include "RecorderAutomation/Protocol/StrictKeys.h"

namespace recorder::wire {

// The text of one value, as json_coding::encode(value).dump() would write it.
template <class T>
void appendValue(std::string& out, const T& value) {
    if constexpr (WireEnum<T>) {
        JSONTextWriter::appendText(out, WireEnumeration<T>::rawValue(value));
    } else if constexpr (std::is_same_v<T, bool>) {
        out += value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        JSONTextWriter::appendInteger(out, value);
    } else if constexpr (std::is_same_v<T, double>) {
        JSONTextWriter::appendReal(out, value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        JSONTextWriter::appendText(out, value);
    } else if constexpr (json_coding::IsList<T>::value) {
        out += '[';
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (i > 0) out += ',';
            appendValue(out, value[i]);
        }
        out += ']';
    } else if constexpr (requires { value.appendJSON(out); }) {
        value.appendJSON(out);
    } else {
        JSONTextWriter::appendTree(out, json_coding::encode(value));
    }
}

// The "key":value pieces of one object, written in any order and joined in key order.
struct ObjectPieces {
    struct Piece {
        std::string_view key;
        std::size_t begin, end;
    };
    std::string text;
    std::vector<Piece> pieces;

    // Records what was written to `text` since `begin` as the piece of `key`, unless nothing was.
    void close(std::string_view key, std::size_t begin) {
        if (text.size() > begin) pieces.push_back({key, begin, text.size()});
    }
    // Writes the object; false, writing nothing, when two pieces share a key (a tree would keep
    // only the later one).
    bool joinInto(std::string& out) {
        std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.key < b.key; });
        for (std::size_t i = 1; i < pieces.size(); ++i)
            if (pieces[i].key == pieces[i - 1].key) return false;
        out += '{';
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0) out += ',';
            out.append(text, pieces[i].begin, pieces[i].end - pieces[i].begin);
        }
        out += '}';
        return true;
    }
};

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

    // `"key":value`, preceded by a comma unless it is the object's first; nothing for an absent
    // optional. Not for inlined members.
    void append(std::string& out, const Owner& owner, bool& first) const {
        const Member& source = owner.*member;
        if constexpr (P == Presence::optional) {
            if (!source) return;
        }
        if (!first) out += ',';
        first = false;
        out += '"';
        out += key;
        out += "\":";
        if constexpr (P == Presence::optional) {
            appendValue(out, *source);
        } else {
            appendValue(out, source);
        }
    }

    // This field's piece, or an inlined member's own pieces.
    void appendTo(ObjectPieces& object, const Owner& owner) const {
        if constexpr (P == Presence::inlined) {
            (owner.*member).appendPieces(object);
        } else {
            const std::size_t begin = object.text.size();
            bool first = true;
            append(object.text, owner, first);
            object.close(key, begin);
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

// The positions of a table's fields ordered by key, as a sorted object holds them; keys must be
// distinct and need no escaping, so they are written as they stand.
template <class... F>
constexpr std::array<std::size_t, sizeof...(F)> keyOrder(const std::tuple<F...>& fields) {
    std::array<std::string_view, sizeof...(F)> keys{};
    std::size_t position = 0;
    std::apply([&](const auto&... field) { ((keys[position++] = field.key), ...); }, fields);
    std::array<std::size_t, sizeof...(F)> order{};
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
        for (const char c : keys[i])
            if (c < 0x20 || c == '"' || c == '\\' || static_cast<unsigned char>(c) >= 0x80)
                throw "wire keys must be plain ASCII";
    }
    for (std::size_t i = 1; i < order.size(); ++i)
        for (std::size_t j = i; j > 0 && keys[order[j]] < keys[order[j - 1]]; --j) std::swap(order[j], order[j - 1]);
    for (std::size_t i = 1; i < order.size(); ++i)
        if (keys[order[i]] == keys[order[i - 1]]) throw "wire keys must be distinct";
    return order;
}

template <class T>
void appendObject(std::string& out, const T& value) {
    static constexpr auto table = T::wireFields();
    constexpr bool hasInlined =
        std::apply([](const auto&... field) { return ((field.key.empty()) || ... || false); }, table.fields);
    if constexpr (hasInlined) {
        ObjectPieces object;
        object.text.reserve(256);
        object.pieces.reserve(8);
        std::apply([&](const auto&... field) { (field.appendTo(object, value), ...); }, table.fields);
        if (!object.joinInto(out)) JSONTextWriter::appendTree(out, encodeObject(value));
    } else {
        static constexpr auto order = keyOrder(table.fields);
        bool first = true;
        out += '{';
        [&]<std::size_t... P>(std::index_sequence<P...>) {
            (std::get<order[P]>(table.fields).append(out, value, first), ...);
        }
        (std::make_index_sequence<order.size()>{});
        out += '}';
    }
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
    void appendJSON(std::string& out) const { ::recorder::wire::appendObject(out, *this); }      \
    static Type fromJSON(const nlohmann::json& value, const ::recorder::CodingPath& path = {}) { \
        return ::recorder::wire::decodeObject<Type>(value, path);                                \
    }
