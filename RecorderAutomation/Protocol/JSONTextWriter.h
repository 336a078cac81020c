#pragma once
// Writes JSON text straight into a frame, byte for byte as nlohmann's compact dump (error handler
// "replace", no ASCII escaping) would write the same value, without building a tree first.

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace recorder::JSONTextWriter {

// A quoted JSON string. Plain printable ASCII is copied; anything else (escapes, UTF-8,
// invalid bytes) goes through nlohmann's escaper.
void appendText(std::string& out, std::string_view text);
void appendInteger(std::string& out, std::int64_t value);
// Throws LineFrameEncoder::EncodingError for NaN and infinities.
void appendReal(std::string& out, double value);
// Any value through nlohmann's dump; throws LineFrameEncoder::EncodingError when it holds a
// non-finite number.
void appendTree(std::string& out, const nlohmann::json& value);

}  // namespace recorder::JSONTextWriter
