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
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
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

} // namespace

StdioMCPTransport::Shared::~Shared() {
    if (trace >= 0)
        ::close(trace);
}

void StdioMCPTransport::Shared::traceLine(std::string_view prefix, std::string_view bytes) {
    if (trace < 0)
        return;
    std::string line;
    line.reserve(prefix.size() + bytes.size() + 1);
    line.append(prefix).append(bytes).push_back('\n');
    writeAll(trace, line);
}

StdioMCPTransport::StdioMCPTransport(int input, int output, std::optional<std::filesystem::path> traceFile)
    : input_(input), output_(output), shared_(std::make_shared<Shared>()) {
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

MCPLineStream StdioMCPTransport::lines() {
    MCPLineStream stream;
    std::weak_ptr<Shared> transport = shared_;
    int input = input_;
    // Detached: a read cannot be interrupted, so the transport never waits for this thread; it
    // holds the stream and a weak reference only.
    std::thread([stream, transport, input] {
        pthread_setname_np(pthread_self(), "mcp.stdin");
        std::string pending;
        std::string block(readBlockBytes, '\0');
        for (;;) {
            ssize_t count = ::read(input, block.data(), block.size());
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                break; // end of input, or an error treated as such; a partial line is dropped
            // Only the new bytes can hold the next line feed.
            std::size_t searchFrom = pending.size();
            pending.append(block.data(), static_cast<std::size_t>(count));
            std::size_t start = 0;
            for (std::size_t feed; (feed = pending.find('\n', searchFrom)) != std::string::npos;) {
                std::string line = pending.substr(start, feed - start);
                start = searchFrom = feed + 1;
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (line.empty())
                    continue;
                if (auto shared = transport.lock(); shared && shared->trace >= 0) {
                    std::lock_guard lock(shared->lock);
                    shared->traceLine("<< ", line);
                }
                stream.yield(std::move(line));
            }
            pending.erase(0, start);
        }
        stream.finish();
    }).detach();
    return stream;
}

void StdioMCPTransport::write(std::string_view message) {
    std::string bytes;
    bytes.reserve(message.size() + 1);
    bytes.append(message).push_back('\n');
    std::lock_guard lock(shared_->lock);
    shared_->traceLine(">> ", message);
    writeAll(output_, bytes);
}

} // namespace mcp
