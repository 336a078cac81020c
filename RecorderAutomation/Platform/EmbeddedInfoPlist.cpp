#include "RecorderAutomation/Platform/EmbeddedInfoPlist.h"

#include "RecorderAutomation/Platform/InfoPlist.h"

namespace recorder::platform {

// Weak, so that the definition generated into a program replaces it.
__attribute__((weak)) std::string_view embeddedInfoPlistText() { return {}; }

std::optional<nlohmann::json> embeddedInfoDictionary() {
    auto value = InfoPlist::parse(embeddedInfoPlistText());
    if (!value || !value->is_object()) return std::nullopt;
    return value;
}

}  // namespace recorder::platform
