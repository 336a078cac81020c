#include "lumora/SyntheticBackend.h"

namespace lumora {

namespace {

std::vector<CaptureDisplay> captureDisplays(const std::vector<VirtualDisplay>& displays) {
    std::vector<CaptureDisplay> list;
    for (std::size_t i = 0; i < displays.size(); ++i) {
        const auto& d = displays[i];
        list.push_back({d.id, d.name, d.pixelWidth, d.pixelHeight, d.scale, i == 0, 0, 0});
    }
    return list;
}

}  // namespace

SyntheticBackend::SyntheticBackend(std::vector<VirtualDisplay> displays, bool systemAudio)
    : list_(std::make_shared<const std::vector<CaptureDisplay>>(captureDisplays(displays))),
      systemAudio_(systemAudio) {}

std::vector<CaptureDisplay> SyntheticBackend::displays() { return *list_; }

FfmpegBackend::Inputs SyntheticBackend::inputs(const CaptureRequest& request) const {
    const auto size = std::to_string(request.display.pixelWidth) + "x" + std::to_string(request.display.pixelHeight);
    const auto rate = std::to_string(request.frameRate);
    Inputs in;
    // A source that does not exist makes ffmpeg fail for real when a failing start is simulated.
    const std::string source = request.failure == CaptureFailureMode::start ? "lumora_unavailable_display=size=" + size
                                                                            : "testsrc2=size=" + size + ":rate=" + rate;
    in.arguments = {"-re", "-f", "lavfi", "-i", source};
    if (request.systemAudio) {
        in.arguments.insert(in.arguments.end(), {"-re", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"});
        in.hasAudio = true;
    }
    return in;
}

}  // namespace lumora
