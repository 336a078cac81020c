#include "QuillonServer/MCPTransport.h"

namespace mcp {

MCPLineStream::MCPLineStream() : state_(std::make_shared<State>()) {}

void MCPLineStream::yield(std::string line) const {
    {
        std::lock_guard lock(state_->mutex);
        state_->lines.push_back(std::move(line));
    }
    state_->arrived.notify_one();
}

void MCPLineStream::finish() const {
    {
        std::lock_guard lock(state_->mutex);
        state_->finished = true;
    }
    state_->arrived.notify_all();
}

std::optional<std::string> MCPLineStream::next() const {
    std::unique_lock lock(state_->mutex);
    state_->arrived.wait(lock, [&] { return !state_->lines.empty() || state_->finished; });
    if (state_->lines.empty()) return std::nullopt;
    std::string line = std::move(state_->lines.front());
    state_->lines.pop_front();
    return line;
}

std::optional<std::string> MCPTransport::nextLine() {
    if (!stream_) stream_ = lines();
    return stream_->next();
}

}  // namespace mcp
