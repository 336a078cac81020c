#pragma once
// vantor's one reading of integer arguments, strict so that a typo is a usage error rather than
// a different number.

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantor {

// An optional "+" or "-", then one or more ASCII digits and nothing else, within the signed
// 64-bit range; nothing for any other text (blanks, "0x10", "1e3", "5s" and "" included).
std::optional<std::int64_t> parseDecimalInteger(std::string_view text);

}  // namespace vantor
