#pragma once
// Records a Wayland desktop through the screen-cast portal: the displays are the compositor's
// outputs, each known by its name; the desktop's grant to record one is kept per display.

#include <chrono>
#include <filesystem>
#include <mutex>

#include "lumora/CaptureBackend.h"
#include "lumora/ScreenCastCapture.h"
#include "lumora/ScreenCastGrants.h"
#include "lumora/WaylandOutputWatch.h"

namespace lumora {

class WaylandBackend : public CaptureBackend {
public:
    WaylandBackend(std::filesystem::path waylandSocket, std::string busAddress, std::filesystem::path grantsFile);

    std::string name() const override { return "wayland"; }
    std::vector<CaptureDisplay> displays() override;
    // Read from the watch of the compositor's outputs while it runs; otherwise asked of the
    // compositor, and the watch started again (at most once a second).
    std::shared_ptr<const std::vector<CaptureDisplay>> displayList() override;
    bool systemAudioSupported() const override { return false; }
    bool startNeedsConsent(const CaptureDisplay& display) const override;
    std::unique_ptr<CaptureHandle> start(const CaptureRequest& request, CaptureObserver observer) override;

    // Asks the desktop for leave to record `display` and keeps the grant. Nothing on success,
    // else what went wrong.
    std::optional<CaptureError> grantAccess(const CaptureDisplay& display);

    void setTiming(ScreenCastCapture::Timing timing) { timing_ = timing; }
    ScreenCastGrants& grants() { return grants_; }

    // The display a stream shows: the one whose logical area it covers, else the only one.
    static std::string displayOfStream(const PortalStream& stream, const std::vector<CaptureDisplay>& displays);

private:
    std::filesystem::path socket_;
    std::string busAddress_;
    ScreenCastGrants grants_;
    ScreenCastCapture::Timing timing_;
    std::mutex mutex_;
    std::unique_ptr<WaylandOutputWatch> watch_;
    std::chrono::steady_clock::time_point watchStarted_;
    // The list last handed out: what a stream of the portal is matched against.
    std::shared_ptr<const std::vector<CaptureDisplay>> lastDisplays_ =
        std::make_shared<const std::vector<CaptureDisplay>>();
};

}  // namespace lumora
