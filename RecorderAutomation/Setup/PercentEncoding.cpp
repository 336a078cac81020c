#include "RecorderAutomation/Setup/PercentEncoding.h"

#include <cstdint>
#include <string_view>

namespace recorder::PercentEncoding {

namespace {
bool isAllowedInQueryValue(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    static constexpr std::string_view allowed = "-._~!$'()*,;:@?";
    return allowed.find(char(c)) != std::string_view::npos;
}
}  // namespace

std::string encodeQueryValue(std::string_view bytes) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (isAllowedInQueryValue(c)) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace recorder::PercentEncoding
