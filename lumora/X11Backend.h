#pragma once
// Records an X display with x11grab. Each monitor that xrandr lists is a display (the primary
// one first); without xrandr the whole screen, as xdpyinfo reports its size, is one display.

#include "lumora/FfmpegBackend.h"

namespace lumora {

class X11Backend : public FfmpegBackend {
public:
    // `display` is an X display name such as ":0"; empty means $DISPLAY.
    explicit X11Backend(std::string display);

    std::string name() const override { return "x11"; }
    std::vector<CaptureDisplay> displays() override;
    bool systemAudioSupported() const override { return false; }

    const std::string& displayName() const { return display_; }

    // Reads the output of `xrandr --listmonitors`.
    static std::vector<CaptureDisplay> parseMonitors(const std::string& text, const std::string& displayName);
    // Reads the screen size from the output of `xdpyinfo`.
    static std::vector<CaptureDisplay> parseScreen(const std::string& text, const std::string& displayName);

protected:
    Inputs inputs(const CaptureRequest& request) const override;

private:
    std::string display_;
};

}  // namespace lumora
