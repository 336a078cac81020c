#pragma once
// The JSON coding of single values, on which the value types' tables (WireObject.h) stand, and
// the reader of one object's keys. Value rules: integers are JSON numbers with an integral value
// that fits in 64 bits (1.0 reads as 1); reals are any JSON number; Booleans and text are never
// numbers; enumerations are their wire text, any other text is refused; lists are arrays; an
// optional key that is missing or null reads as absent and is never written as null.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"
#include "RecorderAutomation/Protocol/WireEnumeration.h"

namespace recorder {

namespace json_coding {

template <class T>
struct IsList : std::false_type {};
template <class U>
struct IsList<std::vector<U>> : std::true_type {};

// Where a value sits: its parent's path plus an object key or an array index. The full path is
// only built when an error needs it or a nested type is decoded.
struct ValuePath {
    const CodingPath& parent;
    std::string_view key{};
    std::optional<std::int64_t> index{};
    CodingPath resolve() const;
};

// How a JSON value is named in messages: "null", "a Boolean", "text", "an object", ...
std::string_view describe(const nlohmann::json& value);

std::int64_t decodeInteger(const nlohmann::json& value, const ValuePath& path);
double decodeReal(const nlohmann::json& value, const ValuePath& path);
bool decodeBoolean(const nlohmann::json& value, const ValuePath& path);
const std::string& decodeText(const nlohmann::json& value, const ValuePath& path);
void requireArray(const nlohmann::json& value, const ValuePath& path);
[[noreturn]] void throwUnknownRawValue(const std::string& text, std::string_view typeName,
                                       const std::vector<std::string_view>& allowed, const ValuePath& path);

// The JSON value of one message's text; malformed text (invalid UTF-8 included) is a
// dataCorrupted error at the root.
nlohmann::json parse(std::string_view text);

template <class T>
T decode(const nlohmann::json& value, const ValuePath& path) {
    if constexpr (std::is_same_v<T, std::int64_t>) {
        return decodeInteger(value, path);
    } else if constexpr (std::is_same_v<T, double>) {
        return decodeReal(value, path);
    } else if constexpr (std::is_same_v<T, bool>) {
        return decodeBoolean(value, path);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return decodeText(value, path);
    } else if constexpr (WireEnum<T>) {
        using Enumeration = WireEnumeration<T>;
        const std::string& text = decodeText(value, path);
        if (auto decoded = Enumeration::fromRawValue(text)) return *decoded;
        std::vector<std::string_view> allowed;
        for (const auto& row : Enumeration::table.rows) allowed.push_back(row.second);
        throwUnknownRawValue(text, Enumeration::typeName, allowed, path);
    } else if constexpr (IsList<T>::value) {
        requireArray(value, path);
        const CodingPath listPath = path.resolve();
        T list;
        list.reserve(value.size());
        std::int64_t position = 0;
        for (const auto& element : value)
            list.push_back(decode<typename T::value_type>(element, ValuePath{listPath, {}, position++}));
        return list;
    } else {
        return T::fromJSON(value, path.resolve());
    }
}

template <class T>
nlohmann::json encode(const T& value) {
    if constexpr (WireEnum<T>) {
        return std::string(WireEnumeration<T>::rawValue(value));
    } else if constexpr (IsList<T>::value) {
        auto array = nlohmann::json::array();
        for (const auto& element : value) array.push_back(encode(element));
        return array;
    } else if constexpr (requires { value.toJSON(); }) {
        return value.toJSON();
    } else {
        return nlohmann::json(value);
    }
}

}  // namespace json_coding

// Reads the keys of one JSON object, tracking the coding path for errors.
class JSONObjectReader {
public:
    // Throws typeMismatch unless `value` is an object.
    JSONObjectReader(const nlohmann::json& value, const CodingPath& path);

    // The value of a required key: keyNotFound when missing, typeMismatch when null.
    template <class T>
    T required(std::string_view key) const {
        const nlohmann::json* value = find(key);
        if (value == nullptr) throwKeyNotFound(key);
        return json_coding::decode<T>(*value, {path_, key});
    }

    // The value of an optional key: nothing when missing or null.
    template <class T>
    std::optional<T> optional(std::string_view key) const {
        const nlohmann::json* value = find(key);
        if (value == nullptr || value->is_null()) return std::nullopt;
        return json_coding::decode<T>(*value, {path_, key});
    }

    // The value of a key, or nullptr when missing.
    const nlohmann::json* find(std::string_view key) const;
    const nlohmann::json& object() const noexcept { return object_; }
    const CodingPath& codingPath() const noexcept { return path_; }
    // The path of one of this object's keys.
    CodingPath pathFor(std::string_view key) const;

private:
    [[noreturn]] void throwKeyNotFound(std::string_view key) const;

    const nlohmann::json& object_;
    const CodingPath& path_;
};

}  // namespace recorder
