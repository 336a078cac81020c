#pragma once
// Lumora's settings file, settings.json in its application-support directory (next to the
// automation socket). Every key is optional; a missing, unreadable or ill-typed value falls back
// to its default with a problem reported, so that a broken file never stops the app.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "lumora/SimulatedConditions.h"

namespace lumora {

// A display of the synthetic back end: a test pattern of this size stands in for a screen.
struct VirtualDisplay {
    std::string id;
    std::string name;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    double scale = 1.0;

    bool operator==(const VirtualDisplay&) const = default;
};

// `automatic` ("auto") picks one of the others at launch from the desktop it finds.
enum class CaptureBackendKind { synthetic, x11, wayland, automatic };

struct Settings {
    bool automationEnabled = true;
    // Where recordings are saved; "~" at the start stands for the home directory.
    std::string outputFolder = "~/Videos/Lumora";
    CaptureBackendKind captureBackend = CaptureBackendKind::automatic;
    // The X display the x11 back end records; empty means $DISPLAY.
    std::string x11Display;
    std::int64_t frameRate = 30;
    // Whether a system-audio track can be recorded (the synthetic back end records a tone).
    bool systemAudioAvailable = true;
    std::vector<VirtualDisplay> virtualDisplays = defaultVirtualDisplays();
    SimulatedConditions simulate;

    static std::vector<VirtualDisplay> defaultVirtualDisplays();

    nlohmann::json toJSON() const;

    // The output folder as an absolute path, "~" and relative paths taken from `home`.
    std::filesystem::path resolvedOutputFolder(const std::filesystem::path& home) const;

    bool operator==(const Settings&) const = default;
};

// The outcome of reading a settings file: the settings in force and what was wrong with the
// file, one sentence per problem, for the app to print.
struct SettingsLoad {
    Settings settings;
    std::vector<std::string> problems;
    bool fileExists = false;

    // Reads `path`. A missing file gives the defaults without a problem.
    static SettingsLoad fromFile(const std::filesystem::path& path);
    // Reads settings from JSON text; `origin` names the source in problem sentences.
    static SettingsLoad fromText(const std::string& text, const std::string& origin);
};

std::string_view captureBackendName(CaptureBackendKind kind);
std::optional<CaptureBackendKind> captureBackendFromName(std::string_view name);

}  // namespace lumora
