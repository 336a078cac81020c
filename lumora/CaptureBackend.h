#pragma once
// What the recorder needs from a way of capturing the screen: the displays it can record and a
// way to start one capture. Captures report back through an observer, from their own thread.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "RecorderAutomation/Protocol/AutomationErrorCode.h"
#include "lumora/SimulatedConditions.h"

namespace lumora {

struct CaptureDisplay {
    std::string id;
    std::string name;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    double scale = 1.0;
    bool isDefault = false;
    // Where the display lies on its screen (x11 monitors), in pixels.
    std::int64_t originX = 0;
    std::int64_t originY = 0;

    bool operator==(const CaptureDisplay&) const = default;
};

struct CaptureRequest {
    CaptureDisplay display;
    std::filesystem::path outputPath;
    std::int64_t durationLimitSeconds = 3600;
    bool systemAudio = false;
    std::int64_t outputWidth = 0;
    std::int64_t outputHeight = 0;
    std::int64_t frameRate = 30;
    CaptureFailureMode failure = CaptureFailureMode::none;
};

// A finished file, as measured from the file itself.
struct SavedMedia {
    std::filesystem::path path;
    double durationSeconds = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t bytes = 0;
    bool operator==(const SavedMedia&) const = default;
};

struct CaptureError {
    // captureFailed, finalizationFailed, or permissionRequired (the desktop did not grant access)
    recorder::AutomationErrorCode code = recorder::AutomationErrorCode::captureFailed;
    std::string message;
    std::optional<std::string> hint = std::nullopt;  // what to do; a general one for the code when absent
    bool operator==(const CaptureError&) const = default;
};

// Stopped before a single frame was captured: nothing was saved.
struct CaptureCancelled {
    bool operator==(const CaptureCancelled&) const = default;
};

using CaptureOutcome = std::variant<SavedMedia, CaptureError, CaptureCancelled>;

// How a capture ended by itself or was ended.
enum class CaptureEnd { stopRequested, durationLimit, failed };

struct CaptureObserver {
    // Frames are being written: the capture really runs.
    std::function<void()> didStartRecording;
    // Called exactly once, last. The outcome is handed over, not copied: an observer that
    // takes it by value moves it in.
    std::function<void(CaptureOutcome&&, CaptureEnd)> didFinish;
};

// One running capture. stop() begins finalising and returns at once; it may be called more
// than once and from any thread. Destroying a running capture stops it and waits for the end.
class CaptureHandle {
public:
    virtual ~CaptureHandle() = default;
    virtual void stop() = 0;
};

class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;
    virtual std::string name() const = 0;
    // The displays that can be recorded now, the default display first.
    virtual std::vector<CaptureDisplay> displays() = 0;
    // The same list, shared and never changed afterwards. A back end whose displays cannot
    // change hands out one list every time; the others make a fresh one from displays().
    virtual std::shared_ptr<const std::vector<CaptureDisplay>> displayList() {
        return std::make_shared<const std::vector<CaptureDisplay>>(displays());
    }
    virtual bool systemAudioSupported() const = 0;
    // Whether starting a capture of `display` will have the desktop ask the user first.
    virtual bool startNeedsConsent(const CaptureDisplay&) const { return false; }
    // Starts a capture; failures to start are reported through the observer, never thrown.
    virtual std::unique_ptr<CaptureHandle> start(const CaptureRequest& request, CaptureObserver observer) = 0;
};

// The recorded size for a display: within 1920x1080, aspect ratio kept, even sides (the
// encoder's chroma subsampling needs them).
struct VideoSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const VideoSize&) const = default;
};
VideoSize fittedOutputSize(std::int64_t width, std::int64_t height);

inline constexpr std::int64_t maximumOutputWidth = 1920;
inline constexpr std::int64_t maximumOutputHeight = 1080;
inline constexpr std::int64_t maximumFrameRate = 30;

}  // namespace lumora
