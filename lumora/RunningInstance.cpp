#include "lumora/RunningInstance.h"

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "RecorderAutomation/Client/UnixSocket.h"

namespace lumora {

std::optional<pid_t> RunningInstance::find(const recorder::AutomationEndpoint& endpoint) {
    int fd = -1;
    try {
        fd = recorder::UnixSocket::connect(endpoint.path(), 2.0);
    } catch (const recorder::UnixSocket::Failure&) {
        return std::nullopt;  // no socket, or nobody listens on it
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
    ::close(fd);
    if (!known || peer.pid <= 0 || peer.uid != ::getuid() || peer.pid == ::getpid()) return std::nullopt;
    return peer.pid;
}

int RunningInstance::startRecordingSignal() { return SIGRTMIN + 1; }
int RunningInstance::stopRecordingSignal() { return SIGRTMIN + 2; }

}  // namespace lumora
