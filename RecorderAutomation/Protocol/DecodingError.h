#pragma once
// Why a JSON value could not be read as a protocol type, and where in the value.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace recorder {

// One step into a JSON value: an object key, or an array index.
struct CodingKey {
    std::string stringValue;
    std::optional<std::int64_t> intValue;

    static CodingKey key(std::string_view name) { return {std::string(name), std::nullopt}; }
    static CodingKey index(std::int64_t position) { return {"Index " + std::to_string(position), position}; }
    bool operator==(const CodingKey&) const = default;
};

using CodingPath = std::vector<CodingKey>;

// The path as people read it: parameters.source.kind, displays[2].id; empty for the root.
std::string codingPathText(const CodingPath& path);

class DecodingError : public std::exception {
public:
    enum class Kind { keyNotFound, typeMismatch, dataCorrupted };

    // A required key is missing; `path` ends with that key.
    static DecodingError keyNotFound(CodingPath path);
    // The value at `path` is of the wrong JSON type: "an integer" expected, "text" found.
    static DecodingError typeMismatch(CodingPath path, std::string_view expected, std::string_view found);
    // The value at `path` has the right type but cannot be accepted.
    static DecodingError dataCorrupted(CodingPath path, std::string debugDescription);

    Kind kind() const noexcept { return kind_; }
    const CodingPath& codingPath() const noexcept { return codingPath_; }
    // The diagnostic text ("Unknown command record").
    const std::string& debugDescription() const noexcept { return debugDescription_; }
    // One sentence for the person or agent who sent the value, naming the key path and the
    // fault: The value of "command" is invalid: Unknown command record.
    const std::string& localizedDescription() const noexcept { return localizedDescription_; }
    const char* what() const noexcept override { return localizedDescription_.c_str(); }

    friend bool operator==(const DecodingError& a, const DecodingError& b) {
        return a.kind_ == b.kind_ && a.codingPath_ == b.codingPath_ && a.debugDescription_ == b.debugDescription_;
    }

private:
    DecodingError(Kind kind, CodingPath path, std::string debugDescription, std::string localizedDescription);

    Kind kind_;
    CodingPath codingPath_;
    std::string debugDescription_;
    std::string localizedDescription_;
};

}  // namespace recorder
