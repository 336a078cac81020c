#include "tests/Support/LineReader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

std::optional<std::string> LineReader::next(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto feed = buffer_.find('\n'); feed != std::string::npos) {
            std::string line = buffer_.substr(0, feed);
            buffer_.erase(0, feed + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd entry{fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char block[4096];
        const ssize_t n = ::read(fd_, block, sizeof block);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return std::nullopt;
        buffer_.append(block, static_cast<std::size_t>(n));
    }
}

}  // namespace testsupport
