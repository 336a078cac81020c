#pragma once
// Reading information property lists (XML or binary) into JSON values: strings, booleans,
// integers, reals, arrays and dictionaries. Dates, data and UIDs have no JSON form and are
// left out.

#include <filesystem>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace recorder::platform::InfoPlist {

// The property list in `bytes`, or nothing when the bytes are not a property list.
std::optional<nlohmann::json> parse(std::string_view bytes);

// The dictionary stored in `file`, or nothing when the file cannot be read, is not a property
// list, or does not hold a dictionary at its top.
std::optional<nlohmann::json> readDictionary(const std::filesystem::path& file);

}  // namespace recorder::platform::InfoPlist
