#include "FakeLumora.h"

#include "RecorderAutomation/Protocol/AutomationResponseEncoder.h"

#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

FakeLumora::FakeLumora(std::filesystem::path directory, Script script)
    : directory_(std::move(directory)), script_(std::move(script)) {}

FakeLumora::~FakeLumora() { stop(); }

recorder::AutomationEndpoint FakeLumora::endpoint() const {
    return recorder::AutomationEndpoint("app.lumora.Lumora", directory_);
}

void FakeLumora::start() {
    std::filesystem::create_directories(directory_);
    auto path = endpoint().path();
    ::unlink(path.c_str());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 || ::pipe(wake_) != 0)
        throw std::runtime_error("fake Lumora could not listen");
    thread_ = std::thread([this] { serve(); });
}

void FakeLumora::stop() {
    if (!thread_.joinable()) return;
    char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    ::unlink(endpoint().path().c_str());
    listener_ = wake_[0] = wake_[1] = -1;
}

std::vector<recorder::AutomationRequest> FakeLumora::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void FakeLumora::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

std::string FakeLumora::reply(const recorder::AutomationReply& reply, const recorder::AutomationRequest& request,
                              const std::string& appInstanceID) {
    return recorder::AutomationResponseEncoder::encode(reply, request.requestID, appInstanceID);
}

void FakeLumora::serve() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        std::string line;
        char block[4096];
        while (line.find('\n') == std::string::npos) {
            pollfd in{connection, POLLIN, 0};
            if (::poll(&in, 1, 2000) <= 0) break;
            ssize_t n = ::read(connection, block, sizeof block);
            if (n <= 0) break;
            line.append(block, static_cast<std::size_t>(n));
        }
        std::optional<std::string> answer;
        try {
            auto request = recorder::AutomationRequest::decode(line.substr(0, line.find('\n')));
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            answer = script_(request);
        } catch (const std::exception&) {
        }
        if (answer) {
            std::string_view bytes = *answer;
            while (!bytes.empty()) {
                ssize_t n = ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                if (n <= 0) break;
                bytes.remove_prefix(static_cast<std::size_t>(n));
            }
        }
        ::close(connection);
    }
}
