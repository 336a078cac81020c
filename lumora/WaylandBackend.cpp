#include "lumora/WaylandBackend.h"

#include <cmath>

#include "lumora/WaylandOutputs.h"

namespace lumora {

WaylandBackend::WaylandBackend(std::filesystem::path waylandSocket, std::string busAddress,
                               std::filesystem::path grantsFile)
    : socket_(std::move(waylandSocket)),
      busAddress_(std::move(busAddress)),
      grants_(std::move(grantsFile)),
      watch_(std::make_unique<WaylandOutputWatch>(socket_)),
      watchStarted_(std::chrono::steady_clock::now()) {}

std::vector<CaptureDisplay> WaylandBackend::displays() { return *displayList(); }

std::shared_ptr<const std::vector<CaptureDisplay>> WaylandBackend::displayList() {
    // Not sooner than this after the last start: a compositor that is gone costs a failed
    // connection a second, not one per request.
    constexpr auto restartInterval = std::chrono::seconds(1);
    std::unique_ptr<WaylandOutputWatch> ended;
    {
        std::lock_guard lock(mutex_);
        if (auto list = watch_->displays()) return lastDisplays_ = std::move(list);
        const auto now = std::chrono::steady_clock::now();
        if (watch_->ended() && now - watchStarted_ >= restartInterval) {
            ended = std::exchange(watch_, std::make_unique<WaylandOutputWatch>(socket_));
            watchStarted_ = now;
        }
    }
    // Outside the lock: the ended watch's thread is joined, and the compositor may take its time.
    ended.reset();
    auto listing = WaylandOutputs::list(socket_, std::chrono::seconds(3));
    auto list = std::make_shared<const std::vector<CaptureDisplay>>(WaylandOutputs::toDisplays(listing.outputs));
    std::lock_guard lock(mutex_);
    return lastDisplays_ = std::move(list);
}

bool WaylandBackend::startNeedsConsent(const CaptureDisplay& display) const { return !grants_.token(display.id); }

std::string WaylandBackend::displayOfStream(const PortalStream& stream, const std::vector<CaptureDisplay>& displays) {
    if (stream.x && stream.y) {
        for (const auto& d : displays) {
            const auto logicalWidth = std::llround(double(d.pixelWidth) / d.scale);
            const auto logicalHeight = std::llround(double(d.pixelHeight) / d.scale);
            if (*stream.x == d.originX && *stream.y == d.originY &&
                (!stream.width || (*stream.width == logicalWidth && stream.height && *stream.height == logicalHeight)))
                return d.id;
        }
    }
    if (displays.size() == 1) return displays.front().id;
    return "";
}

std::unique_ptr<CaptureHandle> WaylandBackend::start(const CaptureRequest& request, CaptureObserver observer) {
    std::shared_ptr<const std::vector<CaptureDisplay>> known;
    {
        std::lock_guard lock(mutex_);
        known = lastDisplays_;
    }
    ScreenCastCapture::Setup setup;
    setup.busAddress = busAddress_;
    setup.grants = &grants_;
    setup.displayOfStream = [known](const PortalStream& stream) { return displayOfStream(stream, *known); };
    setup.timing = timing_;
    return std::make_unique<ScreenCastCapture>(std::move(setup), request, std::move(observer));
}

std::optional<CaptureError> WaylandBackend::grantAccess(const CaptureDisplay& display) {
    ScreenCastPortal portal(busAddress_, timing_.portal, [] { return false; });
    auto answer = portal.open(std::nullopt);
    if (auto* error = std::get_if<CaptureError>(&answer)) return *error;
    if (!std::holds_alternative<ScreenCastPortal::Grant>(answer))
        return CaptureError{recorder::AutomationErrorCode::captureFailed, "The request was withdrawn.", std::nullopt};
    const auto& grant = std::get<ScreenCastPortal::Grant>(answer);
    if (grant.restoreToken.empty())
        return CaptureError{recorder::AutomationErrorCode::permissionRequired,
                            "The desktop allowed this one screen cast but gives no lasting grant (its screen-cast "
                            "portal returned no restore token); it will ask again at every recording.",
                            std::nullopt};
    std::shared_ptr<const std::vector<CaptureDisplay>> known;
    {
        std::lock_guard lock(mutex_);
        known = lastDisplays_;
    }
    auto shown = displayOfStream(grant.stream, *known);
    if (shown.empty()) shown = display.id;
    if (auto problem = grants_.store(shown, grant.restoreToken))
        return CaptureError{recorder::AutomationErrorCode::captureFailed,
                            "The grant could not be kept: " + *problem + ".", std::nullopt};
    return std::nullopt;
}

}  // namespace lumora
