#pragma once
// The server's input and output, behind an interface so that another source of lines (the
// fuzzer's) can drive the server without pipes.

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace mcp {

// An unbounded stream of input lines, shared between the one thread that produces them and the
// one that consumes them. A slow consumer makes it grow rather than stopping the producer.
class MCPLineStream {
public:
    MCPLineStream();

    // Producer side.
    void yield(std::string line) const;
    void finish() const;

    // Consumer side: the next line, blocking until one arrives; nullopt once the stream has
    // finished and every line has been taken.
    std::optional<std::string> next() const;

    // Range-for over the lines, blocking the same way.
    class iterator {
    public:
        explicit iterator(const MCPLineStream* stream) : stream_(stream) { advance(); }
        iterator() = default;
        const std::string& operator*() const { return *current_; }
        iterator& operator++() {
            advance();
            return *this;
        }
        bool operator==(const iterator& other) const { return !current_ && !other.current_; }

    private:
        void advance() { current_ = stream_ ? stream_->next() : std::nullopt; }
        const MCPLineStream* stream_ = nullptr;
        std::optional<std::string> current_;
    };
    iterator begin() const { return iterator(this); }
    iterator end() const { return iterator(); }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable arrived;
        std::deque<std::string> lines;
        bool finished = false;
    };
    std::shared_ptr<State> state_;
};

// What MCPServer reads from and writes to.
class MCPTransport {
public:
    virtual ~MCPTransport() = default;
    // Each non-empty input line once, in order; finishes at end of input.
    virtual MCPLineStream lines() = 0;
    // The next non-empty input line, read on the calling thread; nullopt at end of input. Called
    // by one thread at a time, and not together with lines(). The default takes the lines from
    // lines(), so every transport has it; a transport that can read in place overrides it.
    virtual std::optional<std::string> nextLine();
    // Emits one serialized message (without terminator) as one line. Never fails towards the
    // caller.
    virtual void write(std::string_view message) = 0;

private:
    std::optional<MCPLineStream> stream_;  // the default nextLine's source
};

}  // namespace mcp
