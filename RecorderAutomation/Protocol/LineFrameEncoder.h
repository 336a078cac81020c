#pragma once
// Turns one value into one frame: compact JSON with keys sorted at every level and "/" written
// plainly, then one line feed.

#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/LineFrameDecoder.h"

namespace recorder::LineFrameEncoder {

// The frame, line feed included. Text that is not valid UTF-8 is written with U+FFFD in place
// of each bad byte, so the frame is always valid JSON. Throws LineFrameDecoder::Failure
// messageTooLarge(limit: 65536) when the JSON text is longer than 65536 bytes.
std::string encode(const nlohmann::json& value);

template <class T>
    requires requires(const T& value) {
        { value.toJSON() } -> std::convertible_to<nlohmann::json>;
    }
std::string encode(const T& value) {
    return encode(nlohmann::json(value.toJSON()));
}

}  // namespace recorder::LineFrameEncoder
