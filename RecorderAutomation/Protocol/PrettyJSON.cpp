#include "RecorderAutomation/Protocol/PrettyJSON.h"

namespace recorder::PrettyJSON {

namespace {

void appendScalar(std::string& out, const nlohmann::json& value) {
    out += value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void appendIndent(std::string& out, std::size_t depth) { out.append(depth * 2, ' '); }

void append(std::string& out, const nlohmann::json& value, std::size_t depth) {
    if (value.is_object()) {
        if (value.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        bool first = true;
        for (const auto& [key, member] : value.items()) {  // sorted: objects are ordered maps
            if (!first) out += ",\n";
            first = false;
            appendIndent(out, depth + 1);
            appendScalar(out, nlohmann::json(key));
            out += " : ";
            append(out, member, depth + 1);
        }
        out += '\n';
        appendIndent(out, depth);
        out += '}';
    } else if (value.is_array()) {
        if (value.empty()) {
            out += "[]";
            return;
        }
        out += "[\n";
        bool first = true;
        for (const auto& element : value) {
            if (!first) out += ",\n";
            first = false;
            appendIndent(out, depth + 1);
            append(out, element, depth + 1);
        }
        out += '\n';
        appendIndent(out, depth);
        out += ']';
    } else {
        appendScalar(out, value);
    }
}

}  // namespace

std::string write(const nlohmann::json& value) {
    std::string out;
    append(out, value, 0);
    return out;
}

}  // namespace recorder::PrettyJSON
