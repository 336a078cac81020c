#include "RecorderAutomation/Client/UnixSocket.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <thread>

#include "RecorderAutomation/Protocol/LineFrameDecoder.h"
#include "tests/Support/AppSocket.h"
#include "tests/Support/Subprocess.h"
#include "tests/Support/TemporaryHome.h"

namespace recorder {
namespace {

using testsupport::AppSocket;
using testsupport::TemporaryDirectory;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Closes a descriptor at scope exit.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

TEST(UnixSocketTests, FailureTextForms) {
    EXPECT_EQ(UnixSocket::Failure::systemCall("connect", 111).description(), "systemCall(\"connect\", 111)");
    EXPECT_EQ(UnixSocket::Failure::pathTooLong().description(), "pathTooLong");
    EXPECT_EQ(UnixSocket::Failure::timedOut().description(), "timedOut");
    EXPECT_EQ(UnixSocket::Failure::closed().description(), "closed");
    EXPECT_NE(UnixSocket::Failure::systemCall("connect", 2), UnixSocket::Failure::systemCall("connect", 111));
    EXPECT_NE(UnixSocket::Failure::systemCall("read", 2), UnixSocket::Failure::systemCall("write", 2));
}

TEST(UnixSocketTests, AddressAcceptsUpTo103Bytes) {
    const std::string longest(103, 'a');
    const auto address = UnixSocket::address(longest);
    EXPECT_EQ(address.sun_family, AF_UNIX);
    EXPECT_EQ(std::string(address.sun_path), longest);
    EXPECT_EQ(address.sun_path[103], '\0');
    // Multi-byte characters count by their UTF-8 bytes: 52 two-byte characters are 104 bytes.
    std::string wide;
    for (int i = 0; i < 52; ++i) wide += "\xC3\xA9";
    EXPECT_THROW(UnixSocket::address(wide), UnixSocket::Failure);
    EXPECT_EQ(std::string(UnixSocket::address("").sun_path), "");
}

TEST(UnixSocketTests, TooLongPathFailsBeforeAnySocketIsCreated) {
    const int before = ::dup(0);
    ::close(before);
    try {
        UnixSocket::connect(std::string(104, 'a'), 1);
        FAIL() << "expected pathTooLong";
    } catch (const UnixSocket::Failure& failure) {
        EXPECT_EQ(failure, UnixSocket::Failure::pathTooLong());
    }
    // The lowest free descriptor is unchanged: nothing was left open.
    const int after = ::dup(0);
    ::close(after);
    EXPECT_EQ(before, after);
}

struct PollCase {
    double timeout;
    int milliseconds;
};
class PollConversion : public ::testing::TestWithParam<PollCase> {};
TEST_P(PollConversion, TruncatesAndCaps) {
    EXPECT_EQ(UnixSocket::pollMilliseconds(GetParam().timeout), GetParam().milliseconds);
}
INSTANTIATE_TEST_SUITE_P(UnixSocketTests, PollConversion,
                         ::testing::Values(PollCase{0, 0}, PollCase{0.0019, 1}, PollCase{1.5, 1500},
                                           PollCase{3600, 3'600'000}, PollCase{3600.5, 3'600'000},
                                           PollCase{1e300, 3'600'000},
                                           PollCase{std::numeric_limits<double>::infinity(), 3'600'000},
                                           PollCase{-1, 0}, PollCase{std::nan(""), 0}));

TEST(UnixSocketTests, ConnectToMissingFileIsENOENTAndRefusedIsECONNREFUSED) {
    TemporaryDirectory directory;
    const auto missing = (directory.path() / "none.sock").string();
    EXPECT_EQ(
        [&] {
            try {
                UnixSocket::connect(missing, 1);
            } catch (const UnixSocket::Failure& f) {
                return f;
            }
            return UnixSocket::Failure::closed();
        }(),
        UnixSocket::Failure::systemCall("connect", ENOENT));

    const auto dead = directory.path() / "dead.sock";
    testsupport::makeDeadSocketFile(dead);
    try {
        UnixSocket::connect(dead.string(), 1);
        FAIL() << "expected a refused connection";
    } catch (const UnixSocket::Failure& f) {
        EXPECT_EQ(f, UnixSocket::Failure::systemCall("connect", ECONNREFUSED));
    }
}

TEST(UnixSocketTests, ConnectGivesNonBlockingCloseOnExecDescriptor) {
    TemporaryDirectory directory;
    const auto path = directory.path() / "s.sock";
    AppSocket listener(path, [](int fd) { testsupport::drainUntilClosed(fd, 2); });
    Descriptor socket{UnixSocket::connect(path.string(), 1)};
    EXPECT_TRUE(::fcntl(socket.fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(socket.fd, F_GETFD) & FD_CLOEXEC);
}

// A connected pair stands in for a peer when no listener is needed.
struct Pair {
    Descriptor near{-1}, far{-1};
    Pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0) throw std::runtime_error("socketpair");
        near.fd = fds[0];
        far.fd = fds[1];
    }
};

TEST(UnixSocketTests, WaitWithZeroTimeoutPollsOnceWithoutWaiting) {
    Pair pair;
    const auto start = Clock::now();
    EXPECT_THROW(UnixSocket::wait(pair.near.fd, POLLIN, 0), UnixSocket::Failure);
    EXPECT_LT(secondsSince(start), 0.05);
    EXPECT_NO_THROW(UnixSocket::wait(pair.near.fd, POLLOUT, 0));
}

TEST(UnixSocketTests, WaitReportsHangUpWithoutRequestedEventAsClosed) {
    Pair pair;
    ::shutdown(pair.far.fd, SHUT_RDWR);
    ::close(pair.far.fd);
    pair.far.fd = -1;
    // The hang-up comes with POLLIN (end of file readable): ready, not closed.
    EXPECT_NO_THROW(UnixSocket::wait(pair.near.fd, POLLIN, 0.1));
    try {
        UnixSocket::wait(pair.near.fd, 0, 0.1);
        FAIL() << "expected closed";
    } catch (const UnixSocket::Failure& f) {
        EXPECT_EQ(f, UnixSocket::Failure::closed());
    }
}

TEST(UnixSocketTests, WaitOnBadDescriptorIsClosed) {
    Pair pair;
    const int stale = ::dup(pair.near.fd);
    ::close(stale);
    try {
        UnixSocket::wait(stale, POLLIN, 0.1);
        FAIL() << "expected closed";
    } catch (const UnixSocket::Failure& f) {
        EXPECT_EQ(f, UnixSocket::Failure::closed());
    }
}

TEST(UnixSocketTests, WriteAllToVanishedPeerFailsWithoutSignal) {
    Pair pair;
    ::close(pair.far.fd);
    pair.far.fd = -1;
    try {
        UnixSocket::writeAll(pair.near.fd, "hello\n", 1);
        FAIL() << "expected a write failure";
    } catch (const UnixSocket::Failure& f) {
        EXPECT_EQ(f, UnixSocket::Failure::systemCall("write", EPIPE));
    }
}

TEST(UnixSocketTests, WriteAllEmptyInputMakesNoCall) {
    // A closed descriptor would fail any call.
    EXPECT_NO_THROW(UnixSocket::writeAll(-1, "", 1));
}

TEST(UnixSocketTests, WriteAllWaitsForRoomAndTimesOutWhenPeerNeverReads) {
    Pair pair;
    const std::string big(4 << 20, 'x');
    const auto start = Clock::now();
    try {
        UnixSocket::writeAll(pair.near.fd, big, 0.3);
        FAIL() << "expected timedOut";
    } catch (const UnixSocket::Failure& f) {
        EXPECT_EQ(f, UnixSocket::Failure::timedOut());
    }
    EXPECT_GE(secondsSince(start), 0.25);
    EXPECT_LT(secondsSince(start), 1.5);
}

TEST(UnixSocketTests, WriteAllContinuesAfterPartialWrites) {
    Pair pair;
    const std::string big(1 << 20, 'y');
    std::size_t received = 0;
    std::thread reader([&] {
        char buffer[65536];
        while (received < big.size()) {
            pollfd entry{pair.far.fd, POLLIN, 0};
            if (::poll(&entry, 1, 2000) <= 0) return;
            const ssize_t n = ::read(pair.far.fd, buffer, sizeof buffer);
            if (n <= 0) return;
            received += static_cast<std::size_t>(n);
        }
    });
    EXPECT_NO_THROW(UnixSocket::writeAll(pair.near.fd, big, 5));
    reader.join();
    EXPECT_EQ(received, big.size());
}

// readLine against peers that send a scripted byte sequence.
struct ReadCase {
    const char* name;
    std::string sent;
    std::string expected;
};
class ReadLineReplies : public ::testing::TestWithParam<ReadCase> {};
TEST_P(ReadLineReplies, ReturnsFirstNonEmptyLine) {
    Pair pair;
    testsupport::sendAll(pair.far.fd, GetParam().sent);
    EXPECT_EQ(UnixSocket::readLine(pair.near.fd, 1, 65536), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(UnixSocketTests, ReadLineReplies,
                         ::testing::Values(ReadCase{"single", "{\"a\":1}\n", "{\"a\":1}"},
                                           ReadCase{"blankFirst", "\n\n{\"a\":1}\n", "{\"a\":1}"},
                                           ReadCase{"twoLines", "first\nsecond\n", "first"},
                                           ReadCase{"trailingBytes", "first\nunfinished", "first"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UnixSocketTests, ReadLineJoinsLineSentInPieces) {
    Pair pair;
    std::thread writer([&] {
        testsupport::sendAll(pair.far.fd, "{\"par");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        testsupport::sendAll(pair.far.fd, "ts\":2}\nnext\n");
    });
    EXPECT_EQ(UnixSocket::readLine(pair.near.fd, 2, 65536), "{\"parts\":2}");
    writer.join();
}

TEST(UnixSocketTests, ReadLineZeroTimeoutFailsWithoutReading) {
    Pair pair;
    testsupport::sendAll(pair.far.fd, "ready\n");
    try {
        UnixSocket::readLine(pair.near.fd, 0, 65536);
        FAIL() << "expected timedOut";
    } catch (const UnixSocket::Failure& f) {
        EXPECT_EQ(f, UnixSocket::Failure::timedOut());
    }
    // The line is still there: nothing was read.
    EXPECT_EQ(UnixSocket::readLine(pair.near.fd, 1, 65536), "ready");
}

TEST(UnixSocketTests, ReadLineTimesOutOnSilentPeer) {
    Pair pair;
    const auto start = Clock::now();
    EXPECT_THROW(UnixSocket::readLine(pair.near.fd, 0.2, 65536), UnixSocket::Failure);
    EXPECT_GE(secondsSince(start), 0.18);
    EXPECT_LT(secondsSince(start), 1.0);
}

TEST(UnixSocketTests, ReadLineOnPeerClosingWithoutReplyIsClosed) {
    TemporaryDirectory directory;
    const auto path = directory.path() / "s.sock";
    AppSocket listener(path, [](int) {});
    Descriptor socket{UnixSocket::connect(path.string(), 1)};
    try {
        UnixSocket::readLine(socket.fd, 1, 65536);
        FAIL() << "expected closed";
    } catch (const UnixSocket::Failure& f) {
        EXPECT_EQ(f, UnixSocket::Failure::closed());
    }
}

TEST(UnixSocketTests, ReadLineOverLimitWithoutNewlineIsMessageTooLarge) {
    Pair pair;
    std::thread writer([&] {
        const std::string flood(70'000, 'z');
        std::string_view rest(flood);
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (!rest.empty() && Clock::now() < deadline) {
            const ssize_t n = ::send(pair.far.fd, rest.data(), rest.size(), MSG_NOSIGNAL);
            if (n > 0)
                rest.remove_prefix(static_cast<std::size_t>(n));
            else if (errno == EAGAIN)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            else
                return;
        }
    });
    try {
        UnixSocket::readLine(pair.near.fd, 2, 65536);
        ADD_FAILURE() << "expected messageTooLarge";
    } catch (const LineFrameDecoder::Failure& f) {
        EXPECT_EQ(f.description(), "messageTooLarge(limit: 65536)");
    }
    pair.near.fd = (::close(pair.near.fd), -1);
    writer.join();
}

// A time-out is measured on the monotonic clock: the wall clock set back an hour while a call
// waits (libfaketime, in a child process) must not make the call wait an hour more.
class DeadlineUnderWallClockJump : public testing::TestWithParam<const char*> {};

TEST_P(DeadlineUnderWallClockJump, TimesOutOnTime) {
    if (std::string(LUMORA_FAKETIME_LIBRARY).empty()) GTEST_SKIP() << "libfaketime is not installed";
    TemporaryDirectory directory;
    const auto offset = directory.path() / "offset";
    std::ofstream(offset) << "+0\n";
    std::thread setBack([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ofstream(offset) << "-3600\n";
    });
    const auto start = Clock::now();
    const auto outcome =
        testsupport::runProcess({LUMORA_DEADLINE_PROBE, GetParam(), "0.5"},
                                testsupport::inEnvironment({{"LD_PRELOAD", LUMORA_FAKETIME_LIBRARY},
                                                            {"FAKETIME_TIMESTAMP_FILE", offset.string()},
                                                            {"FAKETIME_NO_CACHE", "1"},
                                                            {"DONT_FAKE_MONOTONIC", "1"},
                                                            {"ASAN_OPTIONS", "verify_asan_link_order=0"}})
                                    .within(std::chrono::seconds(10)));
    const double took = secondsSince(start);
    setBack.join();
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.out << outcome.err;
    double wallSeconds = 0;
    ASSERT_EQ(std::sscanf(outcome.out.c_str(), "timedOut %lf", &wallSeconds), 1) << outcome.out;
    EXPECT_LT(wallSeconds, -3000) << "the child's wall clock did not jump: the case tests nothing";
    EXPECT_GE(took, 0.45);
    EXPECT_LT(took, 3.0);
}

INSTANTIATE_TEST_SUITE_P(Calls, DeadlineUnderWallClockJump, testing::Values("read", "write"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace recorder
