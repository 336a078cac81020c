#pragma once
// The monitors of a Wayland compositor, read with libwayland-client: each wl_output's name
// (version 4, else xdg-output), description, current mode (the pixel size) and scale.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "lumora/CaptureBackend.h"

namespace lumora {

struct WaylandOutput {
    std::uint32_t globalName = 0;  // the registry's name for the output, stable while it is connected
    std::string name;              // "DP-1", "HEADLESS-1"; empty when the compositor tells none
    std::string description;
    std::int64_t pixelWidth = 0;  // the current mode, turned as the output is
    std::int64_t pixelHeight = 0;
    std::int64_t scale = 1;
    std::int64_t x = 0, y = 0;  // the logical position, when xdg-output tells it
    std::int64_t logicalWidth = 0, logicalHeight = 0;

    bool operator==(const WaylandOutput&) const = default;
};

class WaylandOutputs {
public:
    struct Listing {
        std::vector<WaylandOutput> outputs;
        std::string error;  // why the compositor could not be asked (outputs is empty then)
    };
    // Connects to the compositor at `socket` (an absolute path) and lists its outputs, within
    // `timeout`.
    static Listing list(const std::filesystem::path& socket, std::chrono::milliseconds timeout);

    // The displays Lumora shows for the outputs, in the compositor's order (the first is the
    // default). An output is known by its name; one without a name by its registry number.
    static std::vector<CaptureDisplay> toDisplays(const std::vector<WaylandOutput>& outputs);
};

}  // namespace lumora
