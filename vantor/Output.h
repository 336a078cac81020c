#pragma once
// vantor's documents on standard output.

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/AutomationFailure.h"
#include "vantor/OutputChannel.h"

namespace vantor {

// Writes `value` pretty-printed (two-space indentation, `"key" : value`, sorted keys, "/"
// unescaped) and one "\n". Text that is not valid UTF-8 comes out with replacement
// characters, so a document is never silently missing.
void emit(const nlohmann::json& value, const OutputChannel& out);

template <class T>
requires requires(const T& t) {
    { t.toJSON() } -> std::convertible_to<nlohmann::json>;
}
void emit(const T& value, const OutputChannel& out) { emit(value.toJSON(), out); }

// The document printed for every failure that is not a usage error: {"error": failure}.
struct ErrorDocument {
    recorder::AutomationFailure error;

    nlohmann::json toJSON() const { return nlohmann::json{{"error", error.toJSON()}}; }
    bool operator==(const ErrorDocument&) const = default;
};

}  // namespace vantor
