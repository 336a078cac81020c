#pragma once
// One connection to a Wayland compositor that follows its outputs: it binds every wl_output the
// registry announces (and its xdg-output, where the compositor has that), drops those the
// registry removes, and notes each change. The first complete listing needs two exchanges (the
// registry, then the outputs' own events); after that the connection stays current for as long
// as its owner keeps reading. Not thread-safe: one thread owns it.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lumora/WaylandOutputs.h"

namespace lumora {

class WaylandOutputConnection {
public:
    // Connects to the compositor at `socket` (an absolute path) and asks for its outputs; error()
    // says why when it could not connect.
    explicit WaylandOutputConnection(const std::filesystem::path& socket);
    ~WaylandOutputConnection();
    WaylandOutputConnection(const WaylandOutputConnection&) = delete;
    WaylandOutputConnection& operator=(const WaylandOutputConnection&) = delete;

    bool connected() const noexcept;
    const std::string& error() const noexcept { return error_; }

    enum class Wait { events, timedOut, interrupted, broken };
    // Sends what is pending, then waits until the compositor sends something (which is read and
    // handled), `timeout` passes (negative: no limit) or `interrupt` (a descriptor; -1 for none)
    // becomes readable. `broken`: the connection is lost for good.
    Wait wait(std::chrono::milliseconds timeout, int interrupt = -1);

    // The first complete listing has arrived.
    bool ready() const noexcept;
    // Whether the outputs changed since the last call (the first complete listing counts).
    bool takeChange() noexcept;
    // The outputs as last told, in the order the compositor announced them.
    std::vector<WaylandOutput> outputs() const;

    struct State;

private:
    std::unique_ptr<State> state_;
    std::string error_;
};

}  // namespace lumora
