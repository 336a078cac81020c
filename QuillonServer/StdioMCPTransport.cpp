#include "QuillonServer/StdioMCPTransport.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace mcp {
namespace {

// Writes everything, repeating after partial writes and EINTR; gives up silently otherwise.
void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::string sessionHeader() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return "---- session " + std::to_string(::getpid()) + " " + date + " ----\n";
}

}  // namespace

StdioMCPTransport::Shared::~Shared() {
    if (trace >= 0) ::close(trace);
}

void StdioMCPTransport::Shared::traceLine(std::string_view prefix, std::string_view bytes) {
    if (trace < 0) return;
    std::string line;
    line.reserve(prefix.size() + bytes.size() + 1);
    line.append(prefix).append(bytes).push_back('\n');
    writeAll(trace, line);
}

StdioMCPTransport::StdioMCPTransport(int input, int output, std::optional<std::filesystem::path> traceFile)
    : input_(input), output_(output), shared_(std::make_shared<Shared>()), reader_(input) {
    std::signal(SIGPIPE, SIG_IGN);
    if (traceFile) {
        // O_APPEND: an existing log is continued, never truncated.
        int fd = ::open(traceFile->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            shared_->trace = fd;
            writeAll(fd, sessionHeader());
        }
    }
}

StdioMCPTransport::~StdioMCPTransport() = default;

bool StdioMCPTransport::isTracing() const { return shared_->trace >= 0; }

std::optional<std::string> StdioMCPTransport::LineReader::next(const std::weak_ptr<Shared>& trace) {
    for (;;) {
        for (std::size_t feed; (feed = pending_.find('\n', searched_)) != std::string::npos;) {
            std::size_t begin = start_;
            std::size_t end = feed;
            start_ = searched_ = feed + 1;
            if (end > begin && pending_[end - 1] == '\r') --end;
            if (end == begin) continue;
            std::string line(pending_, begin, end - begin);
            if (auto shared = trace.lock(); shared && shared->trace >= 0) {
                std::lock_guard lock(shared->lock);
                shared->traceLine("<< ", line);
            }
            return line;
        }
        // Everything before start_ is taken; keep only the partial line.
        pending_.erase(0, start_);
        searched_ -= start_;
        start_ = 0;
        if (block_.empty()) block_.resize(readBlockBytes);
        ssize_t count = ::read(input_, block_.data(), block_.size());
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return std::nullopt;  // end of input, or an error treated as such; a partial line is dropped
        pending_.append(block_.data(), static_cast<std::size_t>(count));
    }
}

MCPLineStream StdioMCPTransport::lines() {
    MCPLineStream stream;
    std::weak_ptr<Shared> transport = shared_;
    int input = input_;
    // Detached: a read cannot be interrupted, so the transport never waits for this thread; it
    // holds the stream and a weak reference only.
    std::thread([stream, transport, input] {
        pthread_setname_np(pthread_self(), "mcp.stdin");
        LineReader reader(input);
        while (auto line = reader.next(transport)) stream.yield(std::move(*line));
        stream.finish();
    }).detach();
    return stream;
}

std::optional<std::string> StdioMCPTransport::nextLine() { return reader_.next(shared_); }

void StdioMCPTransport::write(std::string_view message) {
    std::string bytes;
    bytes.reserve(message.size() + 1);
    bytes.append(message).push_back('\n');
    std::lock_guard lock(shared_->lock);
    shared_->traceLine(">> ", message);
    writeAll(output_, bytes);
}

}  // namespace mcp
