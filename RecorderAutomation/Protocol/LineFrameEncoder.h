#pragma once
// Turns one value into one frame: compact JSON with keys sorted at every level and "/" written
// plainly, then one line feed.

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

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

template <class T>
requires requires(const T& value) {
    { value.toJSON() } -> std::convertible_to<nlohmann::json>;
}
std::string encode(const T& value) { return encode(nlohmann::json(value.toJSON())); }

}  // namespace recorder::LineFrameEncoder
