#include "RecorderAutomation/Protocol/PrettyJSON.h"

namespace recorder::PrettyJSON {

namespace {

void appendScalar(std::string& out, const nlohmann::json& value) {
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
            appendScalar(out, nlohmann::json(key));
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
