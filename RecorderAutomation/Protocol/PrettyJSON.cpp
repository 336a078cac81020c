#include "RecorderAutomation/Protocol/PrettyJSON.h"

#include <cmath>

#include "RecorderAutomation/Protocol/JSONTextWriter.h"

namespace recorder::PrettyJSON {

namespace {

// The common scalars written directly, byte for byte as the library's dump; the rest (non-ASCII
// text, non-finite numbers) through the dump itself.
void appendScalar(std::string& out, const nlohmann::json& value) {
    using Type = nlohmann::json::value_t;
    switch (value.type()) {
        case Type::string:
            return JSONTextWriter::appendText(out, value.get_ref<const std::string&>());
        case Type::boolean:
            out += value.get<bool>() ? "true" : "false";
            return;
        case Type::null:
            out += "null";
            return;
        case Type::number_integer:
            return JSONTextWriter::appendInteger(out, value.get<std::int64_t>());
        case Type::number_float:
            if (std::isfinite(value.get<double>())) return JSONTextWriter::appendReal(out, value.get<double>());
            break;
        default:
            break;
    }
    out += value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void appendIndent(std::string& out, std::size_t depth) { out.append(depth * 2, ' '); }

void append(std::string& out, const nlohmann::json& value, std::size_t depth) {
    if (!value.is_structured()) return appendScalar(out, value);
    const bool object = value.is_object();
    if (value.empty()) {
        out += object ? "{}" : "[]";
        return;
    }
    out += object ? "{\n" : "[\n";
    bool first = true;
    for (const auto& [key, member] : value.items()) {  // sorted: objects are ordered maps
        if (!first) out += ",\n";
        first = false;
        appendIndent(out, depth + 1);
        if (object) {
            JSONTextWriter::appendText(out, key);
            out += " : ";
        }
        append(out, member, depth + 1);
    }
    out += '\n';
    appendIndent(out, depth);
    out += object ? '}' : ']';
}

}  // namespace

std::string write(const nlohmann::json& value) {
    std::string out;
    append(out, value, 0);
    return out;
}

}  // namespace recorder::PrettyJSON
