#include "lumora/SimulatedConditions.h"

#include <array>
#include <utility>

namespace lumora::capture_failure_mode {
namespace {
constexpr std::array<std::pair<CaptureFailureMode, std::string_view>, 4> table{{
    {CaptureFailureMode::none, "none"},
    {CaptureFailureMode::start, "start"},
    {CaptureFailureMode::during, "during"},
    {CaptureFailureMode::finalize, "finalize"},
}};
}  // namespace

std::string_view rawValue(CaptureFailureMode mode) {
    for (const auto& [m, text] : table)
        if (m == mode) return text;
    return "none";
}

std::optional<CaptureFailureMode> fromRawValue(std::string_view text) {
    for (const auto& [m, t] : table)
        if (t == text) return m;
    return std::nullopt;
}

}  // namespace lumora::capture_failure_mode
