#pragma once
// Reads whole lines from a descriptor with a deadline, keeping what follows a line for the next.

#include <chrono>
#include <optional>
#include <string>

namespace testsupport {

class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line without its line feed; nothing on time-out or at the end of input.
    std::optional<std::string> next(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Bytes read past the last line returned.
    const std::string& pending() const { return buffer_; }

private:
    int fd_;
    std::string buffer_;
};

}  // namespace testsupport
