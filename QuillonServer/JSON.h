#pragma once
// The JSON value the MCP layer reads and writes, with readers that accept the loose forms hosts
// send.

#include <concepts>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mcp {

// The MCP layer's one value type: every message, parameter, schema and result. Integers and
// floating-point numbers are kept apart, so 1 and 1.0 (when written 1.5 and 1) never compare
// equal; the lenient readers below accept what AI agents actually send.
class JSON {
public:
    using Array = std::vector<JSON>;
    using Object = std::map<std::string, JSON, std::less<>>;
    struct Null {
        bool operator==(const Null&) const = default;
    };
    // Cases in declaration order: bool, int, double, string, array, object, null.
    using Value = std::variant<bool, std::int64_t, double, std::string, Array, Object, Null>;

    JSON() : value_(Null{}) {}
    JSON(std::nullptr_t) : value_(Null{}) {}
    JSON(Null) : value_(Null{}) {}
    JSON(bool b) : value_(b) {}
    template <std::integral I>
    requires(!std::same_as<I, bool>) JSON(I i) : value_(static_cast<std::int64_t>(i)) {}
    JSON(double d) : value_(d) {}
    JSON(const char* s) : value_(std::string(s)) {}
    JSON(std::string_view s) : value_(std::string(s)) {}
    JSON(std::string s) : value_(std::move(s)) {}
    JSON(Array a) : value_(std::move(a)) {}
    JSON(Object o) : value_(std::move(o)) {}

    // Literal helpers for building catalogues: JSON::object({{"type", "object"}, ...}).
    static JSON object(std::initializer_list<Object::value_type> members) { return JSON(Object(members)); }
    static JSON array(std::initializer_list<JSON> elements) { return JSON(Array(elements)); }

    // Reads UTF-8 JSON text; a top-level scalar is accepted. Throws ParseFailure on malformed text.
    static JSON parse(std::string_view text);
    struct ParseFailure : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    // Compact text, keys sorted, "/" unescaped, no line terminator. Invalid UTF-8 inside strings
    // is replaced by U+FFFD rather than failing. Throws std::domain_error for a non-finite double,
    // which has no JSON text.
    std::string serialized() const;
    // The same text, appended to `out` (which is left as it was when this throws).
    void serialize(std::string& out) const;
    // A string's JSON literal, quoted and escaped as serialized() writes it, appended to `out`.
    static void serializeString(std::string_view text, std::string& out);

    const Value& value() const { return value_; }
    bool operator==(const JSON&) const = default;

    bool isNull() const { return std::holds_alternative<Null>(value_); }
    bool isBool() const { return std::holds_alternative<bool>(value_); }
    bool isInt() const { return std::holds_alternative<std::int64_t>(value_); }
    bool isDouble() const { return std::holds_alternative<double>(value_); }
    bool isString() const { return std::holds_alternative<std::string>(value_); }
    bool isArray() const { return std::holds_alternative<Array>(value_); }
    bool isObject() const { return std::holds_alternative<Object>(value_); }

    // Exact views: the payload of the matching case, else nullptr.
    const Object* objectValue() const { return std::get_if<Object>(&value_); }
    Object* objectValue() { return std::get_if<Object>(&value_); }  // to move members out
    const Array* arrayValue() const { return std::get_if<Array>(&value_); }
    Array* arrayValue() { return std::get_if<Array>(&value_); }

    // Lenient readers.
    std::optional<std::string> stringValue() const;
    std::optional<std::int64_t> intValue() const;
    std::optional<bool> boolValue() const;

    // The member of an object, nullptr when absent or when this is not an object.
    const JSON* operator[](std::string_view name) const;

private:
    Value value_;
};

}  // namespace mcp
