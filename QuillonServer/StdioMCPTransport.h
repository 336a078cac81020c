#pragma once
// The transport Quillon runs on: lines over standard input and output, with an optional trace.

#include "QuillonServer/MCPTransport.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

namespace mcp {

// Newline-delimited messages over two descriptors, optionally copied to a trace file.
// Reading runs on the caller's thread (nextLine) or on a thread of its own ("mcp.stdin",
// lines()); writing is synchronous, and one lock makes every output line, with its trace line,
// atomic with respect to other writes.
class StdioMCPTransport : public MCPTransport {
public:
    // Ignores SIGPIPE for the whole process, so that writing to a closed output fails instead of
    // ending it. A trace file that cannot be created or opened leaves tracing off, silently.
    StdioMCPTransport(int input, int output, std::optional<std::filesystem::path> traceFile = std::nullopt);
    ~StdioMCPTransport() override;

    // Meant to be called once; each call starts one reader thread, which ends at end of input
    // (or on a read error other than EINTR). The thread keeps only a weak hold on the transport.
    MCPLineStream lines() override;
    // Blocks in read() on the calling thread; a read error other than EINTR counts as the end.
    std::optional<std::string> nextLine() override;
    void write(std::string_view message) override;

    bool isTracing() const;

    static constexpr std::size_t readBlockBytes = 65536;

private:
    struct Shared {
        std::mutex lock;
        int trace = -1;
        ~Shared();
        void traceLine(std::string_view prefix, std::string_view bytes);  // lock held
    };

    // Splits one descriptor's bytes into lines: carriage return before the line feed dropped,
    // empty lines skipped, a partial last line lost at the end.
    class LineReader {
    public:
        explicit LineReader(int input) : input_(input) {}
        std::optional<std::string> next(const std::weak_ptr<Shared>& trace);

    private:
        int input_;
        std::string pending_;
        std::size_t start_ = 0;     // where the unread part of pending_ begins
        std::size_t searched_ = 0;  // pending_ holds no line feed before this
        std::string block_;
    };

    int input_;
    int output_;
    std::shared_ptr<Shared> shared_;
    LineReader reader_;  // nextLine's
};

}  // namespace mcp
