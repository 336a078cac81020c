#pragma once
// One capture of a Wayland desktop: the screen-cast portal grants a monitor stream (asking the
// user unless a stored grant stands for an earlier yes), and a gst-launch child records it from
// PipeWire to H.264 in fragmented MP4. Frames arrive only when the screen changes, so the
// pipeline repeats the last one (keepalive, videorate) for a constant frame rate. The capture is
// "recording" once the file starts to grow; a first frame that never comes is its own failure.
// Stop sends the pipeline an end of stream (SIGINT to gst-launch -e), then kills it after a
// bounded wait; should Lumora die, the supervisor does the same, and a killed pipeline still
// leaves the fragments written so far playable.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "lumora/CaptureBackend.h"
#include "lumora/CaptureThread.h"
#include "lumora/GstRecording.h"
#include "lumora/ScreenCastGrants.h"
#include "lumora/ScreenCastPortal.h"

namespace lumora {

class ScreenCastCapture final : public CaptureHandle {
public:
    struct Timing {
        ScreenCastPortal::Timing portal;
        GstRecording::Timing recording;
    };
    struct Setup {
        std::string busAddress;
        ScreenCastGrants* grants = nullptr;  // outlives the capture
        // The display a granted stream shows (the user may pick another one in the dialog).
        std::function<std::string(const PortalStream&)> displayOfStream;
        Timing timing;
    };

    ScreenCastCapture(Setup setup, CaptureRequest request, CaptureObserver observer);

    void stop() override { thread_.stop(); }

    // gst-launch-1.0's arguments for recording PipeWire node `node` through descriptor 3.
    // `fragmented` false leaves the index to the end of the file (the simulated failed
    // finalisation, where the pipeline is killed instead).
    static std::vector<std::string> pipelineArguments(const CaptureRequest& request, std::uint32_t node,
                                                      bool fragmented);

    // The simulated failing start: the pipeline without the stream's connection, in an
    // environment where no PipeWire can be found, so that its source fails at once.
    static std::pair<std::vector<std::string>, std::vector<std::string>> withoutStream(
        std::vector<std::string> arguments);

private:
    void run();

    Setup setup_;
    CaptureRequest request_;
    CaptureThread thread_;  // last: joined before the members above go
};

}  // namespace lumora
