#include "ServerTestSupport.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "RecorderAutomation/Client/UnixSocket.h"
#include "RecorderAutomation/Protocol/LineFrameEncoder.h"

namespace testsupport {

void Gate::open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
}

bool Gate::wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return opened_.wait_for(lock, limit, [&] { return open_; });
}

recorder::AutomationReply ScriptedHandler::handle(const recorder::AutomationRequest& request) {
    ++calls;
    recorder::AutomationReply reply =
        answer
            ? answer(request)
            : recorder::AutomationReply::stopped({"for-" + request.requestID, recorder::AutomationSessionState::saved});
    ++returned;
    return reply;
}

TestClient::TestClient(const std::string& path, double timeout) : fd_(recorder::UnixSocket::connect(path, timeout)) {}

TestClient::~TestClient() { close(); }

void TestClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TestClient::send(std::string_view bytes) { recorder::UnixSocket::writeAll(fd_, bytes, 2); }

bool TestClient::trySend(std::string_view bytes) {
    try {
        send(bytes);
        return true;
    } catch (const recorder::UnixSocket::Failure&) {
        return false;
    }
}

std::optional<std::string> TestClient::nextLine(double timeout) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (pending_.empty()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ADD_FAILURE() << "no line within " << timeout << " s";
            return std::nullopt;
        }
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t count = ::read(fd_, buffer, sizeof buffer);
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (count <= 0) return std::nullopt;  // end of stream, or reset by the server
        for (auto& frame : decoder_.append(std::string_view(buffer, static_cast<std::size_t>(count))))
            pending_.push_back(std::move(frame));
    }
    std::string line = std::move(pending_.front());
    pending_.pop_front();
    return line;
}

std::string requestLine(const std::string& requestID, recorder::AutomationCommand command) {
    return recorder::LineFrameEncoder::encode(
        recorder::AutomationRequest{1, requestID, std::nullopt, std::move(command)});
}

}  // namespace testsupport
