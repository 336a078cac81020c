#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>

// One pipe with both ends owned; closing an end twice is harmless.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read >= 0) ::close(read);
        read = -1;
    }
    void closeWrite() {
        if (write >= 0) ::close(write);
        write = -1;
    }
    void send(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(write, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ASSERT_GT(n, 0);
            done += static_cast<std::size_t>(n);
        }
    }
};

// Reads whole lines from a descriptor with a deadline; nullopt on time-out or end of input.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    std::optional<std::string> next(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto feed = buffer_.find('\n'); feed != std::string::npos) {
                std::string line = buffer_.substr(0, feed);
                buffer_.erase(0, feed + 1);
                return line;
            }
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return std::nullopt;
            char block[4096];
            ssize_t n = ::read(fd_, block, sizeof block);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            buffer_.append(block, static_cast<std::size_t>(n));
        }
    }
    const std::string& pending() const { return buffer_; }

private:
    int fd_;
    std::string buffer_;
};
