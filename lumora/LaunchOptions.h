#pragma once
// Lumora's command line. Besides the automation launch argument, every option sets one of the
// simulated conditions or settings for this run, over what settings.json says.

#include <optional>
#include <string>
#include <vector>

#include "lumora/Settings.h"

namespace lumora {

struct LaunchOptions {
    bool automationLaunch = false;
    bool help = false;
    bool manualRecording = false;    // start a recording "by hand" at launch
    bool grantScreenAccess = false;  // ask the desktop once for the default display's grant, then exit
    // Ask the Lumora already running to start or stop a recording by hand (the desktop entry's
    // actions); with none running, --start-recording launches one that records at once.
    bool startRecording = false;
    bool stopRecording = false;
    std::optional<std::string> settingsPath;
    std::optional<bool> automationEnabled;
    std::optional<bool> screenRecordingPermission;
    std::optional<bool> setupComplete;
    std::optional<CaptureFailureMode> captureFailure;
    std::optional<CaptureBackendKind> captureBackend;
    std::optional<std::string> x11Display;
    std::optional<std::string> outputFolder;

    // Throws std::invalid_argument with a sentence naming the offending argument.
    static LaunchOptions parse(const std::vector<std::string>& arguments);
    // Lays the options over settings read from the file.
    void applyTo(Settings& settings) const;

    static const char* usage();
};

}  // namespace lumora
