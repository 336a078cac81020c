#include "RecorderAutomation/Protocol/JSONTextWriter.h"

#include <array>
#include <charconv>
#include <cmath>
#include <vector>

#include "RecorderAutomation/Protocol/LineFrameEncoder.h"

namespace recorder::JSONTextWriter {

namespace {
constexpr nlohmann::json::error_handler_t replaceInvalidUTF8 = nlohmann::json::error_handler_t::replace;

[[noreturn]] void throwNonFinite() {
    throw LineFrameEncoder::EncodingError(
        "The value holds a non-finite number (NaN or infinity), which JSON cannot represent.");
}

bool holdsNonFiniteNumber(const nlohmann::json& root) {
    std::vector<const nlohmann::json*> pending{&root};
    while (!pending.empty()) {
        const nlohmann::json* value = pending.back();
        pending.pop_back();
        if (value->is_number_float() && !std::isfinite(value->get<double>())) return true;
        if (value->is_structured())
            for (const auto& element : *value) pending.push_back(&element);
    }
    return false;
}
}  // namespace

void appendText(std::string& out, std::string_view text) {
    // The bytes nlohmann's dump writes unchanged without ensure_ascii: 0x20..0x7F but '"' and '\'.
    for (const char byte : text) {
        const auto code = static_cast<unsigned char>(byte);
        if (code < 0x20 || code >= 0x80 || byte == '"' || byte == '\\') {
            out += nlohmann::json(text).dump(-1, ' ', false, replaceInvalidUTF8);
            return;
        }
    }
    out += '"';
    out += text;
    out += '"';
}

void appendInteger(std::string& out, std::int64_t value) {
    std::array<char, 24> digits;
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    out.append(digits.data(), static_cast<std::size_t>(end - digits.data()));
}

void appendReal(std::string& out, double value) {
    if (!std::isfinite(value)) throwNonFinite();
    // The very conversion nlohmann's serializer makes for a double, into a buffer of its size.
    std::array<char, 64> digits;
    const char* end = nlohmann::detail::to_chars(digits.data(), digits.data() + digits.size(), value);
    out.append(digits.data(), static_cast<std::size_t>(end - digits.data()));
}

void appendTree(std::string& out, const nlohmann::json& value) {
    if (holdsNonFiniteNumber(value)) throwNonFinite();
    out += value.dump(-1, ' ', false, replaceInvalidUTF8);
}

}  // namespace recorder::JSONTextWriter
