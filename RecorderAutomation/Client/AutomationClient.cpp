#include "RecorderAutomation/Client/AutomationClient.h"

#include <unistd.h>

#include <cerrno>

#include "RecorderAutomation/Client/UnixSocket.h"
#include "RecorderAutomation/Protocol/LineFrameDecoder.h"

namespace recorder {

namespace {

// Closes the exchange's connection on every path out.
struct Connection {
    int fd;
    ~Connection() { ::close(fd); }
};

AutomationClient::Failure mapSocketFailure(const UnixSocket::Failure& failure) {
    if (failure.is<UnixSocket::TimedOut>()) return AutomationClient::Failure::timedOut();
    if (const auto* call = failure.as<UnixSocket::SystemCall>(); call != nullptr && call->call == "connect") {
        if (call->number == ECONNREFUSED || call->number == ENOENT) return AutomationClient::Failure::notRunning();
        return AutomationClient::Failure::transport("connect failed (" + std::to_string(call->number) + ")");
    }
    return AutomationClient::Failure::transport(failure.description());
}

}  // namespace

std::string AutomationClient::exchange(const std::string& frame) const {
    try {
        Connection connection{UnixSocket::connect(endpoint_.path(), timeout_)};
        UnixSocket::writeAll(connection.fd, frame, timeout_);
        return UnixSocket::readLine(connection.fd, timeout_, AutomationProtocol::maximumMessageBytes);
    } catch (const UnixSocket::Failure& failure) {
        throw mapSocketFailure(failure);
    } catch (const LineFrameDecoder::Failure& failure) {
        throw Failure::transport(failure.description());
    }
}

bool AutomationClient::isReachable() const {
    try {
        ::close(UnixSocket::connect(endpoint_.path(), 1.0));
        return true;
    } catch (...) {
        return false;
    }
}

void AutomationClient::checkReply(std::int64_t version, const std::string& replyID, const std::string& requestID) {
    if (version != AutomationProtocol::version) throw Failure::protocolMismatch(version);
    if (replyID != requestID) throw Failure::unexpectedReply(replyID);
}

}  // namespace recorder
