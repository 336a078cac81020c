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
    bool systemAudioSupported() const override { return systemAudio_; }

protected:
    Inputs inputs(const CaptureRequest& request) const override;

private:
    std::vector<VirtualDisplay> displays_;
    bool systemAudio_;
};

}  // namespace lumora
