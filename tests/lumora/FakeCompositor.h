#pragma once
// A Wayland compositor with nothing but outputs, for tests: it listens on a socket of its own,
// announces wl_output globals (version 4: name, description, mode, scale, transform), and lets a
// test plug, change and unplug them while clients are connected. Its event loop runs on a
// thread of its own; every change is made there.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace lumora::testing {

class FakeCompositor {
public:
    struct Output {
        std::string name;
        std::string description;
        std::int32_t width = 0;
        std::int32_t height = 0;
        std::int32_t scale = 1;
        std::int32_t transform = 0;  // WL_OUTPUT_TRANSFORM_*
    };

    // Listens at `socket` (which must not exist yet).
    explicit FakeCompositor(std::filesystem::path socket);
    // Stops the loop, disconnects every client and removes the socket.
    ~FakeCompositor();
    FakeCompositor(const FakeCompositor&) = delete;
    FakeCompositor& operator=(const FakeCompositor&) = delete;

    const std::filesystem::path& socket() const { return socket_; }

    // Announces an output; returns a handle for the calls below.
    int plug(const Output& output);
    // Sends the output's new mode (and done) to every client that bound it.
    void resize(int handle, std::int32_t width, std::int32_t height);
    // Removes the output's global.
    void unplug(int handle);
    // Clients that ever connected.
    int connectionsAccepted();

    struct Loop;

private:
    // Runs `change` on the loop's thread and waits until it has run.
    void onLoop(std::function<void()> change);

    std::filesystem::path socket_;
    std::unique_ptr<Loop> loop_;
};

}  // namespace lumora::testing
