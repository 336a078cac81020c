#pragma once
// What a recording captures.

#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "RecorderAutomation/Protocol/RawValueEnumeration.h"

namespace recorder {

enum class SourceKind { display, window, region };

namespace source_kind {
extern const std::array<SourceKind, 3> allCases;
std::string_view rawValue(SourceKind kind);
std::optional<SourceKind> fromRawValue(std::string_view text);
}  // namespace source_kind

template <>
struct RawValueEnumeration<SourceKind> {
    static constexpr std::string_view typeName = "source kind";
    static std::string_view rawValue(SourceKind kind) { return source_kind::rawValue(kind); }
    static std::optional<SourceKind> fromRawValue(std::string_view text) { return source_kind::fromRawValue(text); }
    static std::span<const SourceKind> allCases() { return source_kind::allCases; }
};

}  // namespace recorder
