#include "vantor/DecimalInteger.h"

#include <charconv>

namespace vantor {

std::optional<std::int64_t> parseDecimalInteger(std::string_view text) {
    // from_chars takes a "-" but not a "+"; a "+" followed by another sign must still fail.
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) return std::nullopt;
    }
    const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
    if (digits.empty()) return std::nullopt;
    for (const char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace vantor
