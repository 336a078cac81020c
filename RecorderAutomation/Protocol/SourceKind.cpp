#include "RecorderAutomation/Protocol/SourceKind.h"

#include <utility>

namespace recorder::source_kind {

namespace {
constexpr std::array<std::pair<SourceKind, std::string_view>, 3> table{{
    {SourceKind::display, "display"},
    {SourceKind::window, "window"},
    {SourceKind::region, "region"},
}};
}  // namespace

const std::array<SourceKind, 3> allCases{SourceKind::display, SourceKind::window, SourceKind::region};

std::string_view rawValue(SourceKind kind) { return table[static_cast<std::size_t>(kind)].second; }

std::optional<SourceKind> fromRawValue(std::string_view text) {
    for (const auto& [kind, raw] : table)
        if (raw == text) return kind;
    return std::nullopt;
}

}  // namespace recorder::source_kind
