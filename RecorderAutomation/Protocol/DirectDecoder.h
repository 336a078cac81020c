#pragma once
// Reads a protocol value straight from a frame's tokens (JSONTape) through its wireFields() table,
// without building a tree: the fast path of AutomationRequest::decode and
// AutomationResponse::decode.
//
// It only ever answers for a frame it fully understands, and then answers exactly what the tree
// path would; for anything else it answers nothing and the caller takes the tree path, which
// decides acceptance and words every error. So it declines, rather than judges: text the tape
// refuses; a value of an unexpected JSON type (1.0 for an integer included); an unknown
// enumeration text; a required key missing or null; a key given twice; an unknown key in a strict
// table; and an inlined member it cannot place (a command's "parameters" before its "command").
// Unknown keys of lenient tables are skipped, null optional and defaulted keys read as absent,
// just as the tree path reads them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "RecorderAutomation/Protocol/EmptyPayload.h"
#include "RecorderAutomation/Protocol/JSONTape.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder::wire {

// A read position on a tape.
struct DirectCursor {
    using Token = JSONTape::Token;
    using Kind = JSONTape::Kind;
    const Token* at;
    const Token* end;

    const Token* peek() const noexcept { return at == end ? nullptr : at; }
    const Token* next() noexcept { return at == end ? nullptr : at++; }
    // Steps over one whole value, however nested.
    bool skipValue() noexcept {
        int depth = 0;
        do {
            const Token* token = next();
            if (token == nullptr) return false;
            if (token->kind == Kind::beginObject || token->kind == Kind::beginArray) ++depth;
            if (token->kind == Kind::endObject || token->kind == Kind::endArray) --depth;
        } while (depth > 0);
        return true;
    }
};

enum class KeyTaken { taken, notMine, declined };

// How the direct path reads an inlined member's keys; each inlined member type specialises it with
//   KeyTaken take(std::string_view key, DirectCursor&)  and  bool finish(Member&).
template <class Member>
struct DirectInlined;

template <class T>
bool readDirect(DirectCursor& cursor, T& out);

// A table field's value for `key`, if the key is the field's. `seen` guards against a repeated key,
// which the tree path reads as its last value.
template <Presence P, class O, class M>
KeyTaken takeField(const Field<P, O, M>& field, std::string_view key, DirectCursor& cursor, O& owner, bool& seen) {
    if constexpr (P == Presence::inlined) {
        return KeyTaken::notMine;
    } else {
        if (key != field.key) return KeyTaken::notMine;
        if (seen) return KeyTaken::declined;
        seen = true;
        const auto* token = cursor.peek();
        if (token == nullptr) return KeyTaken::declined;
        M& target = owner.*field.member;
        if (token->kind == JSONTape::Kind::null) {
            if constexpr (P == Presence::required) return KeyTaken::declined;
            cursor.next();
            if constexpr (P == Presence::optional) target.reset();
            return KeyTaken::taken;
        }
        if constexpr (P == Presence::optional) {
            typename M::value_type value{};
            if (!readDirect(cursor, value)) return KeyTaken::declined;
            target = std::move(value);
        } else {
            M value{};
            if (!readDirect(cursor, value)) return KeyTaken::declined;
            target = std::move(value);
        }
        return KeyTaken::taken;
    }
}

// After the object's last key: a required field must have been read; an absent optional is
// nothing; an absent defaulted field keeps its default.
template <Presence P, class O, class M>
bool finishField(const Field<P, O, M>& field, O& owner, bool seen) {
    if constexpr (P == Presence::required) {
        return seen;
    } else {
        if constexpr (P == Presence::optional)
            if (!seen) (owner.*field.member).reset();
        return true;
    }
}

// The inlined member of a table (at most one), or a stand-in that takes no key.
struct NoInlined {
    KeyTaken take(std::string_view, DirectCursor&) { return KeyTaken::notMine; }
};
template <class... F>
struct InlinedOf {
    using State = NoInlined;
    static constexpr std::size_t position = 0;
};
template <class O, class M, class... F>
struct InlinedOf<Field<Presence::inlined, O, M>, F...> {
    using State = DirectInlined<M>;
    static constexpr std::size_t position = 0;
};
template <class F0, class... F>
struct InlinedOf<F0, F...> : InlinedOf<F...> {
    static constexpr std::size_t position = InlinedOf<F...>::position + 1;
};
template <class Fields>
struct InlinedOfTuple;
template <class... F>
struct InlinedOfTuple<std::tuple<F...>> : InlinedOf<F...> {};

// Key-by-key reading of one object of type T, shared by whole objects and by inlined members
// that read their case's keys from the enclosing object.
template <class T>
class DirectKeys {
    static constexpr auto table = T::wireFields();
    using Fields = std::remove_cvref_t<decltype(table.fields)>;
    static constexpr std::size_t count = std::tuple_size_v<Fields>;
    using Inlined = InlinedOfTuple<Fields>;

public:
    static constexpr bool strict = table.strict;

    // Whether one of T's own fields (not an inlined member's) has this key.
    static constexpr bool knows(std::string_view key) {
        return std::apply(
            [&](const auto&... field) { return ((!field.key.empty() && field.key == key) || ... || false); },
            table.fields);
    }

    KeyTaken take(std::string_view key, DirectCursor& cursor, T& out) {
        KeyTaken taken = KeyTaken::notMine;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((taken = taken == KeyTaken::notMine ? takeField(std::get<I>(table.fields), key, cursor, out, seen_[I])
                                                 : taken),
             ...);
        }
        (std::make_index_sequence<count>{});
        if (taken == KeyTaken::notMine) taken = inlined_.take(key, cursor);
        return taken;
    }

    bool finish(T& out) {
        bool complete = true;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((complete = complete && finishField(std::get<I>(table.fields), out, seen_[I])), ...);
        }
        (std::make_index_sequence<count>{});
        if constexpr (!std::is_same_v<typename Inlined::State, NoInlined>)
            complete = complete && inlined_.finish(out.*(std::get<Inlined::position>(table.fields).member));
        return complete;
    }

private:
    bool seen_[count + 1] = {};
    typename Inlined::State inlined_{};
};

template <class T>
bool readObject(DirectCursor& cursor, T& out) {
    const auto* open = cursor.next();
    if (open == nullptr || open->kind != JSONTape::Kind::beginObject) return false;
    DirectKeys<T> keys;
    for (;;) {
        const auto* token = cursor.next();
        if (token == nullptr) return false;
        if (token->kind == JSONTape::Kind::endObject) break;
        switch (keys.take(token->text, cursor, out)) {
            case KeyTaken::taken:
                break;
            case KeyTaken::declined:
                return false;
            case KeyTaken::notMine:
                if (DirectKeys<T>::strict || !cursor.skipValue()) return false;
                break;
        }
    }
    return keys.finish(out);
}

template <class T>
bool readDirect(DirectCursor& cursor, T& out) {
    using Kind = JSONTape::Kind;
    const auto* token = cursor.peek();
    if (token == nullptr) return false;
    if constexpr (std::is_same_v<T, std::int64_t>) {
        if (token->kind != Kind::integer) return false;
        out = token->integer;
    } else if constexpr (std::is_same_v<T, double>) {
        // An integer token reads as nlohmann converts its integer: exactly, or rounded to nearest.
        if (token->kind == Kind::integer) {
            out = static_cast<double>(token->integer);
        } else if (token->kind == Kind::real) {
            out = token->real;
        } else {
            return false;
        }
    } else if constexpr (std::is_same_v<T, bool>) {
        if (token->kind != Kind::boolean) return false;
        out = token->boolean;
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (token->kind != Kind::text) return false;
        out.assign(token->text);
    } else if constexpr (WireEnum<T>) {
        if (token->kind != Kind::text) return false;
        const auto value = WireEnumeration<T>::fromRawValue(token->text);
        if (!value) return false;
        out = *value;
    } else if constexpr (json_coding::IsList<T>::value) {
        if (token->kind != Kind::beginArray) return false;
        cursor.next();
        out.clear();
        for (const auto* element = cursor.peek(); element == nullptr || element->kind != Kind::endArray;
             element = cursor.peek()) {
            typename T::value_type value{};
            if (!readDirect(cursor, value)) return false;
            out.push_back(std::move(value));
        }
        cursor.next();
        return true;
    } else if constexpr (std::is_same_v<T, EmptyPayload>) {
        // Any value, unread, as EmptyPayload::fromJSON takes it.
        out = EmptyPayload{};
        return cursor.skipValue();
    } else if constexpr (requires { T::wireFields(); }) {
        return readObject(cursor, out);
    } else {
        return false;
    }
    cursor.next();
    return true;
}

// The value of one frame's text, or nothing when the direct path declines it.
template <class T>
std::optional<T> decodeDirect(std::string_view text) {
    thread_local JSONTape tape;
    if (!tape.read(text)) return std::nullopt;
    DirectCursor cursor{tape.begin(), tape.end()};
    std::optional<T> value{std::in_place};
    if (!readDirect(cursor, *value) || cursor.at != cursor.end) return std::nullopt;
    return value;
}

}  // namespace recorder::wire
