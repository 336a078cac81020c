#pragma once
// One recording made by a gst-launch-1.0 child (a CaptureChild): it counts as recording once the
// output file grows (the first frame), fails on its own when no frame comes within a bounded time,
// ends at the duration limit or at stop (SIGINT: gst-launch -e sends the pipeline an end of
// stream, so the file is finished; SIGKILL after a bounded wait), and measures the file. Apart
// from its source, so that every way it can end can be tried without a desktop.

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lumora/CaptureBackend.h"

namespace lumora {

class GstRecording {
public:
    struct Timing {
        std::chrono::milliseconds firstFrame{15000};    // from the start of the pipeline to the first frame
        std::chrono::milliseconds interruptWait{5000};  // after SIGINT, before SIGKILL
        std::chrono::milliseconds crashAfter{600};      // CaptureFailureMode::during
        std::chrono::milliseconds limitGrace{5000};     // past the duration limit before Lumora stops it
    };
    using Ending = std::pair<CaptureOutcome, CaptureEnd>;

    // Runs gst-launch-1.0 with `arguments` (writing request.outputPath) to its end, on the calling
    // thread. `inherited` is handed to it as descriptor 3 (-1: none). `stopRequested` is looked at
    // all along; `started` is called once, when the first frame is in the file.
    // `environment`, when given, replaces Lumora's own for the child.
    static Ending run(const std::vector<std::string>& arguments, const CaptureRequest& request, int inherited,
                      const Timing& timing, const std::atomic<bool>& stopRequested,
                      const std::function<void()>& started,
                      const std::optional<std::vector<std::string>>& environment = std::nullopt);
};

}  // namespace lumora
