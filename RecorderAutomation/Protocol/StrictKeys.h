#pragma once
// The unknown-key guard that makes an object strict: any key outside the allowed list is refused.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"

namespace recorder::StrictKeys {

// A coding key built from any key text; none can be built from an integer.
struct AnyKey {
    std::string stringValue;
    std::optional<std::int64_t> intValue;

    static std::optional<AnyKey> fromString(std::string_view text) { return AnyKey{std::string(text), std::nullopt}; }
    static std::optional<AnyKey> fromInt(std::int64_t) { return std::nullopt; }
    bool operator==(const AnyKey&) const = default;
};

// Returns when every key of `object` is in `allowed` (exact, case-sensitive); otherwise throws
// dataCorrupted at `path` with "Unknown option(s): " and the unknown keys, sorted, joined by ", ".
// Throws typeMismatch when `object` is not an object.
void rejectUnknownKeysIn(const nlohmann::json& object, std::initializer_list<std::string_view> allowed,
                         const CodingPath& path = {});

}  // namespace recorder::StrictKeys
