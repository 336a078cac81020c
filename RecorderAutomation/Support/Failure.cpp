#include "RecorderAutomation/Support/Failure.h"

namespace recorder::failure_text {

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    out += text;
    out += '"';
    return out;
}

std::string labelled(std::string_view label, std::string_view value) {
    std::string out(label);
    out += ": ";
    out += value;
    return out;
}

std::string caseForm(std::string_view name, std::initializer_list<std::string> values) {
    std::string out(name);
    if (values.size() == 0) return out;
    out += '(';
    bool first = true;
    for (const auto& v : values) {
        if (!first) out += ", ";
        first = false;
        out += v;
    }
    out += ')';
    return out;
}

}  // namespace recorder::failure_text
