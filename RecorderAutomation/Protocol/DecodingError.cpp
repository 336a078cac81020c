#include "RecorderAutomation/Protocol/DecodingError.h"

#include <utility>

namespace recorder {

std::string codingPathText(const CodingPath& path) {
    std::string text;
    for (const auto& key : path) {
        if (key.intValue) {
            text += '[';
            text += std::to_string(*key.intValue);
            text += ']';
        } else {
            if (!text.empty()) text += '.';
            text += key.stringValue;
        }
    }
    return text;
}

namespace {
// "The value of "parameters.sessionId"" or, at the root, "The message".
std::string subject(const CodingPath& path) {
    if (path.empty()) return "The message";
    return "The value of \"" + codingPathText(path) + "\"";
}
}  // namespace

DecodingError::DecodingError(Kind kind, CodingPath path, std::string debugDescription, std::string localizedDescription)
    : kind_(kind),
      codingPath_(std::move(path)),
      debugDescription_(std::move(debugDescription)),
      localizedDescription_(std::move(localizedDescription)) {}

DecodingError DecodingError::keyNotFound(CodingPath path) {
    const std::string name = path.empty() ? std::string() : path.back().stringValue;
    std::string debug = "No value associated with key \"" + name + "\".";
    std::string localized = "The key \"" + codingPathText(path) + "\" is missing.";
    return {Kind::keyNotFound, std::move(path), std::move(debug), std::move(localized)};
}

DecodingError DecodingError::typeMismatch(CodingPath path, std::string_view expected, std::string_view found) {
    std::string debug = "Expected " + std::string(expected) + " but found " + std::string(found) + " instead.";
    std::string localized = subject(path) + " must be " + std::string(expected) + " but is " + std::string(found) + ".";
    return {Kind::typeMismatch, std::move(path), std::move(debug), std::move(localized)};
}

DecodingError DecodingError::dataCorrupted(CodingPath path, std::string debugDescription) {
    std::string localized = subject(path) + " is invalid: " + debugDescription;
    if (!localized.empty() && localized.back() != '.') localized += '.';
    return {Kind::dataCorrupted, std::move(path), std::move(debugDescription), std::move(localized)};
}

}  // namespace recorder
