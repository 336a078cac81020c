#pragma once
// Blocking, time-limited operations over a local stream socket (AF_UNIX, SOCK_STREAM): what
// every automation exchange rests on. No state is kept between calls; the caller owns every
// descriptor that connect() returns and closes it.

#include <sys/un.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "RecorderAutomation/Support/Failure.h"

namespace recorder::UnixSocket {

// The longest socket path accepted, in UTF-8 bytes. Kept at the limit of the platforms with
// the smallest address structure, so that a path valid here is valid everywhere.
inline constexpr std::size_t maximumPathBytes = 103;

using recorder::SystemCall;
struct PathTooLong : NamedCase<"pathTooLong"> {};
struct TimedOut : NamedCase<"timedOut"> {};
struct Closed : NamedCase<"closed"> {};

struct Failure : BasicFailure<struct UnixSocketTag, SystemCall, PathTooLong, TimedOut, Closed> {
    using BasicFailure::BasicFailure;
    static Failure systemCall(std::string call, int number) { return SystemCall{std::move(call), number}; }
    static Failure pathTooLong() { return PathTooLong{}; }
    static Failure timedOut() { return TimedOut{}; }
    static Failure closed() { return Closed{}; }
};

// The address for `path`; throws pathTooLong above 103 bytes.
sockaddr_un address(std::string_view path);

// A connected, non-blocking (and close-on-exec) descriptor.
int connect(std::string_view path, double timeout);

// Returns once `fd` is ready for one of `events` (POLLIN, POLLOUT).
void wait(int fd, short events, double timeout);

// Writes every byte of `bytes` before the deadline. A vanished peer gives an error, never a
// signal.
void writeAll(int fd, std::string_view bytes, double timeout);

// The first complete line (without its line feed) before the deadline, from a non-blocking
// descriptor (as connect() returns); blank lines are skipped, anything after the first line is
// dropped. Also throws LineFrameDecoder::Failure.
std::string readLine(int fd, double timeout, std::int64_t limit);

// The whole milliseconds that poll() waits for `timeout` seconds: truncated, at most one hour,
// 0 for negative or not-a-number values.
int pollMilliseconds(double timeout);

}  // namespace recorder::UnixSocket
