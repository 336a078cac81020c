#pragma once
// The program's own information list, compiled into each executable by the build
// (lumora_embed_info_plist in cmake/Bundle.cmake). A program built without one gets the
// library's empty default.

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace recorder::platform {

// The embedded list's text; empty when the program has none.
std::string_view embeddedInfoPlistText();

// The embedded list as a dictionary, or nothing when there is none or it is not a dictionary.
std::optional<nlohmann::json> embeddedInfoDictionary();

}  // namespace recorder::platform
