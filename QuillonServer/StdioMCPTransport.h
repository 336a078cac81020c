#pragma once

#include "QuillonServer/MCPTransport.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

namespace mcp {

// Newline-delimited messages over two descriptors, optionally copied to a trace file.
// Reading runs on a thread of its own ("mcp.stdin"); writing is synchronous, and one lock makes
// every output line, with its trace line, atomic with respect to other writes.
class StdioMCPTransport : public MCPTransport {
public:
    // Ignores SIGPIPE for the whole process, so that writing to a closed output fails instead of
    // ending it. A trace file that cannot be created or opened leaves tracing off, silently.
    StdioMCPTransport(int input, int output, std::optional<std::filesystem::path> traceFile = std::nullopt);
    ~StdioMCPTransport() override;

    // Meant to be called once; each call starts one reader thread, which ends at end of input
    // (or on a read error other than EINTR). The thread keeps only a weak hold on the transport.
    MCPLineStream lines() override;
    void write(std::string_view message) override;

    bool isTracing() const;

    static constexpr std::size_t readBlockBytes = 65536;

private:
    struct Shared {
        std::mutex lock;
        int trace = -1;
        ~Shared();
        void traceLine(std::string_view prefix, std::string_view bytes); // lock held
    };

    int input_;
    int output_;
    std::shared_ptr<Shared> shared_;
};

} // namespace mcp
