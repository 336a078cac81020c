#pragma once
// What to record: a source kind and the source's identifier (for a display, its "id").

#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"
#include "RecorderAutomation/Protocol/SourceKind.h"

namespace recorder {

struct SourceReference {
    SourceKind kind = SourceKind::display;
    std::string id{};

    nlohmann::json toJSON() const;
    // Reads "kind" and "id"; other keys are ignored.
    static SourceReference fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const SourceReference&) const = default;
};

}  // namespace recorder
