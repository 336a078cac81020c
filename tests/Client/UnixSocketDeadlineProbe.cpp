// Waits on a slow peer with the library's socket calls, so that a test can run it under a wall
// clock that jumps: `UnixSocketDeadlineProbe read|write TIMEOUT` prints "timedOut" and the
// wall-clock seconds the call took, and exits 0 once the call times out (1 on anything else).
// The peer makes some progress 300 ms in (half a line sent, or some bytes read), then nothing:
// the call must then wait only for what is left of its time-out.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "RecorderAutomation/Client/UnixSocket.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string_view mode = argv[1];
    const double timeout = std::atof(argv[2]);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return 1;
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (mode == "read") {
            [[maybe_unused]] const auto sent = ::send(pair[1], "half a li", 9, MSG_NOSIGNAL);
        } else {
            // Everything buffered so far, so that the writer surely gets room again.
            static char sink[65536];
            while (::recv(pair[1], sink, sizeof sink, 0) > 0) {
            }
        }
    });
    struct Joined {
        std::thread& thread;
        ~Joined() { thread.join(); }
    } joined{peer};
    const auto started = std::chrono::system_clock::now();
    try {
        if (mode == "read") {
            recorder::UnixSocket::readLine(pair[0], timeout, 65536);
        } else {
            // More than the socket buffers hold: the peer never reads, so the write must wait.
            const std::string bytes(std::size_t{64} << 20, 'x');
            recorder::UnixSocket::writeAll(pair[0], bytes, timeout);
        }
    } catch (const recorder::UnixSocket::Failure& failure) {
        if (!failure.is<recorder::UnixSocket::TimedOut>()) return 1;
        std::printf("timedOut %.3f\n",
                    std::chrono::duration<double>(std::chrono::system_clock::now() - started).count());
        return 0;
    }
    return 1;
}
