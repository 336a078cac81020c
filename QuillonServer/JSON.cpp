#include "QuillonServer/JSON.h"

#include "QuillonServer/JSONReader.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace mcp {
namespace {

// 2^63 as a double: every double in [-2^63, 2^63) with no fraction is an int64.
constexpr double twoTo63 = 9223372036854775808.0;

JSON fromTree(const nlohmann::json& tree) {
    switch (tree.type()) {
        case nlohmann::json::value_t::boolean:
            return JSON(tree.get<bool>());
        case nlohmann::json::value_t::number_integer:
            return JSON(tree.get<std::int64_t>());
        case nlohmann::json::value_t::number_unsigned: {
            auto u = tree.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return JSON(static_cast<std::int64_t>(u));
            return JSON(static_cast<double>(u));
        }
        case nlohmann::json::value_t::number_float: {
            double d = tree.get<double>();
            if (std::isfinite(d) && std::trunc(d) == d && d >= -twoTo63 && d < twoTo63)
                return JSON(static_cast<std::int64_t>(d));
            return JSON(d);
        }
        case nlohmann::json::value_t::string:
            return JSON(tree.get_ref<const std::string&>());
        case nlohmann::json::value_t::array: {
            JSON::Array elements;
            elements.reserve(tree.size());
            for (const auto& element : tree) elements.push_back(fromTree(element));
            return JSON(std::move(elements));
        }
        case nlohmann::json::value_t::object: {
            JSON::Object members;
            for (const auto& [key, member] : tree.items()) members.emplace(key, fromTree(member));
            return JSON(std::move(members));
        }
        default:
            return JSON();
    }
}

// A string literal with nlohmann's escaping (no ASCII forcing, invalid UTF-8 replaced). ASCII text,
// which is nearly all a reply holds, is escaped here; anything else goes through nlohmann, whose
// UTF-8 checking and replacement this does not repeat. Building a nlohmann value and its serializer
// per string was a large share of a reply's cost.
void writeString(std::string_view text, std::string& out) {
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (!ascii) {
        out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return;
    }
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    // Runs that need no escape are appended whole.
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
        out.append(text, run, i - run);
        run = i + 1;
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\u00";
                out += hex[byte >> 4];
                out += hex[byte & 0xF];
        }
    }
    out.append(text, run, text.size() - run);
    out += '"';
}

// Compact text written straight from the value: the same bytes as nlohmann's dump of the
// equivalent tree (its objects are sorted maps too), without building that tree first. Strings
// and reals still go through nlohmann's own writer, for its escaping and number forms.
void write(const JSON& value, std::string& out) {
    std::visit(
        [&out](const auto& payload) {
            using T = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<T, JSON::Null>) {
                out += "null";
            } else if constexpr (std::is_same_v<T, bool>) {
                out += payload ? "true" : "false";
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                char digits[24];
                out.append(digits, std::to_chars(digits, digits + sizeof digits, payload).ptr);
            } else if constexpr (std::is_same_v<T, double>) {
                if (!std::isfinite(payload)) throw std::domain_error("a non-finite number has no JSON text");
                out += nlohmann::json(payload).dump();
            } else if constexpr (std::is_same_v<T, std::string>) {
                writeString(payload, out);
            } else if constexpr (std::is_same_v<T, JSON::Array>) {
                out += '[';
                for (std::size_t i = 0; i < payload.size(); ++i) {
                    if (i > 0) out += ',';
                    write(payload[i], out);
                }
                out += ']';
            } else {
                out += '{';
                bool first = true;
                for (const auto& [key, member] : payload) {
                    if (!first) out += ',';
                    first = false;
                    writeString(key, out);
                    out += ':';
                    write(member, out);
                }
                out += '}';
            }
        },
        value.value());
}

std::string_view trimmed(std::string_view text) {
    auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

JSON JSON::parse(std::string_view text) {
    // Nearly every line a host sends is read directly; the rest, malformed text included, goes
    // through nlohmann's parser and a conversion of its tree.
    if (auto value = JSONReader::read(text)) return std::move(*value);
    try {
        return fromTree(nlohmann::json::parse(text.begin(), text.end()));
    } catch (const nlohmann::json::exception& e) {
        // Drop the library's "[json.exception.parse_error.101] " tag; keep its description.
        std::string_view what = e.what();
        if (auto close = what.find("] "); what.starts_with("[") && close != std::string_view::npos)
            what.remove_prefix(close + 2);
        throw ParseFailure(std::string(what));
    }
}

std::string JSON::serialized() const {
    std::string text;
    write(*this, text);
    return text;
}

void JSON::serialize(std::string& out) const {
    const auto size = out.size();
    try {
        write(*this, out);
    } catch (...) {
        out.resize(size);
        throw;
    }
}

void JSON::serializeString(std::string_view text, std::string& out) { writeString(text, out); }

std::optional<std::string> JSON::stringValue() const {
    if (auto s = std::get_if<std::string>(&value_)) return *s;
    if (auto i = std::get_if<std::int64_t>(&value_)) return std::to_string(*i);
    return std::nullopt;
}

std::optional<std::int64_t> JSON::intValue() const {
    if (auto i = std::get_if<std::int64_t>(&value_)) return *i;
    if (auto d = std::get_if<double>(&value_)) {
        if (std::trunc(*d) == *d && std::fabs(*d) < 1e15) return static_cast<std::int64_t>(*d);
        return std::nullopt;
    }
    if (auto s = std::get_if<std::string>(&value_)) {
        std::string_view text = trimmed(*s);
        bool negative = false;
        if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
            negative = text.front() == '-';
            text.remove_prefix(1);
        }
        // A second sign, or digits missing, is not a number.
        if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front()))) return std::nullopt;
        // Read the magnitude as unsigned so that the most negative value still fits.
        std::uint64_t magnitude = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
        if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
        constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        if (negative) {
            if (magnitude > max + 1) return std::nullopt;
            return magnitude == max + 1 ? std::numeric_limits<std::int64_t>::min()
                                        : -static_cast<std::int64_t>(magnitude);
        }
        if (magnitude > max) return std::nullopt;
        return static_cast<std::int64_t>(magnitude);
    }
    return std::nullopt;
}

std::optional<bool> JSON::boolValue() const {
    if (auto b = std::get_if<bool>(&value_)) return *b;
    if (auto i = std::get_if<std::int64_t>(&value_)) {
        if (*i == 0) return false;
        if (*i == 1) return true;
        return std::nullopt;
    }
    if (auto s = std::get_if<std::string>(&value_)) {
        std::string lower;
        lower.reserve(s->size());
        for (char c : *s) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        if (lower == "true" || lower == "yes" || lower == "1") return true;
        if (lower == "false" || lower == "no" || lower == "0") return false;
    }
    return std::nullopt;
}

const JSON* JSON::operator[](std::string_view name) const {
    auto object = objectValue();
    if (!object) return nullptr;
    auto found = object->find(name);
    return found == object->end() ? nullptr : &found->second;
}

}  // namespace mcp
