#include "RecorderAutomation/Protocol/JSONObjectReader.h"

#include <cmath>
#include <limits>

namespace recorder {

namespace json_coding {

CodingPath ValuePath::resolve() const {
    CodingPath path = parent;
    if (index) {
        path.push_back(CodingKey::index(*index));
    } else if (!key.empty()) {
        path.push_back(CodingKey::key(key));
    }
    return path;
}

std::string_view describe(const nlohmann::json& value) {
    using Type = nlohmann::json::value_t;
    switch (value.type()) {
        case Type::null:
            return "null";
        case Type::boolean:
            return "a Boolean";
        case Type::number_integer:
        case Type::number_unsigned:
            return "an integer";
        case Type::number_float:
            return "a number";
        case Type::string:
            return "text";
        case Type::array:
            return "an array";
        case Type::object:
            return "an object";
        case Type::binary:
            return "binary data";
        case Type::discarded:
            break;
    }
    return "no value";
}

namespace {
[[noreturn]] void throwMismatch(const nlohmann::json& value, const ValuePath& path, std::string_view expected,
                                std::string_view found = {}) {
    throw DecodingError::typeMismatch(path.resolve(), expected, found.empty() ? describe(value) : found);
}
}  // namespace

std::int64_t decodeInteger(const nlohmann::json& value, const ValuePath& path) {
    using Type = nlohmann::json::value_t;
    switch (value.type()) {
        case Type::number_integer:
            return value.get_ref<const nlohmann::json::number_integer_t&>();
        case Type::number_unsigned: {
            const auto unsignedValue = value.get_ref<const nlohmann::json::number_unsigned_t&>();
            if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                throwMismatch(value, path, "an integer", "an integer beyond the signed 64-bit range");
            return static_cast<std::int64_t>(unsignedValue);
        }
        case Type::number_float: {
            const double real = value.get_ref<const nlohmann::json::number_float_t&>();
            // -2^63 is exact in a double; 2^63 is the first value out of range.
            constexpr double lowest = -9223372036854775808.0;
            if (std::trunc(real) != real) throwMismatch(value, path, "an integer", "a number with a fraction");
            if (!(real >= lowest && real < -lowest))
                throwMismatch(value, path, "an integer", "a number beyond the signed 64-bit range");
            return static_cast<std::int64_t>(real);
        }
        default:
            throwMismatch(value, path, "an integer");
    }
}

double decodeReal(const nlohmann::json& value, const ValuePath& path) {
    if (!value.is_number()) throwMismatch(value, path, "a number");
    return value.get<double>();
}

bool decodeBoolean(const nlohmann::json& value, const ValuePath& path) {
    if (!value.is_boolean()) throwMismatch(value, path, "a Boolean");
    return value.get_ref<const nlohmann::json::boolean_t&>();
}

const std::string& decodeText(const nlohmann::json& value, const ValuePath& path) {
    if (!value.is_string()) throwMismatch(value, path, "text");
    return value.get_ref<const nlohmann::json::string_t&>();
}

nlohmann::json parse(std::string_view text) {
    try {
        return nlohmann::json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& error) {
        // Not only syntax: a number beyond the range of a double (1e999) is reported as out_of_range.
        // Drop the library's "[json.exception.parse_error.101] " tag; keep the position and cause.
        std::string_view reason = error.what();
        if (const auto end = reason.find("] "); reason.starts_with("[json.exception.") && end != reason.npos)
            reason.remove_prefix(end + 2);
        throw DecodingError::dataCorrupted({}, "The given data was not valid JSON: " + std::string(reason));
    }
}

void requireArray(const nlohmann::json& value, const ValuePath& path) {
    if (!value.is_array()) throwMismatch(value, path, "an array");
}

void throwUnknownRawValue(const std::string& text, std::string_view typeName,
                          const std::vector<std::string_view>& allowed, const ValuePath& path) {
    std::string debug = "\"" + text + "\" is not a valid " + std::string(typeName) + " (expected ";
    for (std::size_t i = 0; i < allowed.size(); ++i) {
        if (i > 0) debug += i + 1 == allowed.size() ? " or " : ", ";
        debug += '"';
        debug += allowed[i];
        debug += '"';
    }
    debug += ')';
    throw DecodingError::dataCorrupted(path.resolve(), std::move(debug));
}

}  // namespace json_coding

JSONObjectReader::JSONObjectReader(const nlohmann::json& value, const CodingPath& path) : object_(value), path_(path) {
    if (!value.is_object()) throw DecodingError::typeMismatch(path, "an object", json_coding::describe(value));
}

const nlohmann::json* JSONObjectReader::find(std::string_view key) const {
    const auto& members = object_.get_ref<const nlohmann::json::object_t&>();
    const auto found = members.find(key);
    return found == members.end() ? nullptr : &found->second;
}

CodingPath JSONObjectReader::pathFor(std::string_view key) const {
    return json_coding::ValuePath{path_, key}.resolve();
}

void JSONObjectReader::throwKeyNotFound(std::string_view key) const { throw DecodingError::keyNotFound(pathFor(key)); }

}  // namespace recorder
