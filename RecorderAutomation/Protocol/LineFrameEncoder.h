#pragma once
// Turns one value into one frame: compact JSON with keys sorted at every level and "/" written
// plainly, then one line feed.

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/JSONTextWriter.h"
#include "RecorderAutomation/Protocol/LineFrameDecoder.h"

namespace recorder::LineFrameEncoder {

// A value that JSON cannot represent: a non-finite number (NaN, infinity), which would
// otherwise be written as null and corrupt a required field.
struct EncodingError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// The frame, line feed included. Text that is not valid UTF-8 is written with U+FFFD in place
// of each bad byte, so the frame is always valid JSON. Throws EncodingError for a non-finite
// number, and LineFrameDecoder::Failure messageTooLarge(limit: 65536) when the JSON text is
// longer than 65536 bytes.
std::string encode(const nlohmann::json& value);

// The frame of JSON text already written: checks its size and adds the line feed.
std::string completeFrame(std::string json);

// Value types with a field table are written straight from it (the same bytes as their tree's
// dump); any other goes through its tree.
template <class T>
requires requires(const T& value) {
    { value.toJSON() } -> std::convertible_to<nlohmann::json>;
}
std::string encode(const T& value) {
    std::string json;
    if constexpr (requires { value.appendJSON(json); }) {
        json.reserve(512);
        value.appendJSON(json);
    } else {
        JSONTextWriter::appendTree(json, value.toJSON());
    }
    return completeFrame(std::move(json));
}

}  // namespace recorder::LineFrameEncoder
