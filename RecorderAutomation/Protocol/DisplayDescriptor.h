#pragma once
// One display that can be recorded.

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"

namespace recorder {

struct DisplayDescriptor {
    // The source "id" of a start request; valid until the display goes or the app restarts.
    std::string id{};
    std::string name{};
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    std::optional<double> pointWidth{};
    std::optional<double> pointHeight{};
    // Pixels per point.
    std::optional<double> scale{};
    bool isDefault = false;

    nlohmann::json toJSON() const;
    static DisplayDescriptor fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const DisplayDescriptor&) const = default;
};

}  // namespace recorder
