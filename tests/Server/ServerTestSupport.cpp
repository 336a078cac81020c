#include "ServerTestSupport.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "RecorderAutomation/Client/UnixSocket.h"
#include "RecorderAutomation/Protocol/LineFrameEncoder.h"

namespace recorder::testing_support {

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = "/tmp/lumora-server-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void Gate::open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
}

bool Gate::wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return opened_.wait_for(lock, limit, [&] { return open_; });
}

AutomationReply ScriptedHandler::handle(const AutomationRequest& request) {
    ++calls;
    AutomationReply reply = answer
                                ? answer(request)
                                : AutomationReply::stopped({"for-" + request.requestID, AutomationSessionState::saved});
    ++returned;
    return reply;
}

TestClient::TestClient(const std::string& path, double timeout) : fd_(UnixSocket::connect(path, timeout)) {}

TestClient::~TestClient() { close(); }

void TestClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TestClient::send(std::string_view bytes) { UnixSocket::writeAll(fd_, bytes, 2); }

bool TestClient::trySend(std::string_view bytes) {
    try {
        send(bytes);
        return true;
    } catch (const UnixSocket::Failure&) {
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

std::string requestLine(const std::string& requestID, AutomationCommand command) {
    return LineFrameEncoder::encode(AutomationRequest{1, requestID, std::nullopt, std::move(command)});
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace recorder::testing_support
