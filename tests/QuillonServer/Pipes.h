#pragma once
// One pipe with both ends owned, for feeding the transport and the server in the tests, and
// the support library's line reader for what they write back.

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <unistd.h>

#include "tests/Support/LineReader.h"

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

using testsupport::LineReader;
