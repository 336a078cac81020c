#include "RecorderAutomation/Protocol/StrictKeys.h"

#include <algorithm>
#include <vector>

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder::StrictKeys {

void rejectUnknownKeysIn(const nlohmann::json& object, std::initializer_list<std::string_view> allowed,
                         const CodingPath& path) {
    if (!object.is_object()) throw DecodingError::typeMismatch(path, "an object", json_coding::describe(object));
    std::vector<AnyKey> unknown;
    for (const auto& [key, value] : object.items()) {
        if (std::find(allowed.begin(), allowed.end(), key) == allowed.end())
            if (auto anyKey = AnyKey::fromString(key)) unknown.push_back(std::move(*anyKey));
    }
    if (unknown.empty()) return;
    std::sort(unknown.begin(), unknown.end(),
              [](const AnyKey& a, const AnyKey& b) { return a.stringValue < b.stringValue; });
    std::string joined;
    for (const auto& key : unknown) {
        if (!joined.empty()) joined += ", ";
        joined += key.stringValue;
    }
    throw DecodingError::dataCorrupted(path, "Unknown option(s): " + joined);
}

}  // namespace recorder::StrictKeys
