#pragma once
// Records a moving test pattern in place of a screen, one virtual display per settings entry,
// with a tone as "system audio".

#include "lumora/FfmpegBackend.h"
#include "lumora/Settings.h"

namespace lumora {

class SyntheticBackend : public FfmpegBackend {
public:
    SyntheticBackend(std::vector<VirtualDisplay> displays, bool systemAudio);

    std::string name() const override { return "synthetic"; }
    std::vector<CaptureDisplay> displays() override;
    // The virtual displays are fixed for the back end's life: one list serves every request.
    std::shared_ptr<const std::vector<CaptureDisplay>> displayList() override { return list_; }
    bool systemAudioSupported() const override { return systemAudio_; }

protected:
    Inputs inputs(const CaptureRequest& request) const override;

private:
    std::shared_ptr<const std::vector<CaptureDisplay>> list_;
    bool systemAudio_;
};

}  // namespace lumora
