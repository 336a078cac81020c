#pragma once
// A temporary home for the Lumora program run as a child: its settings file and recordings
// folder. Header-only: it needs LumoraCore, which TestSupport does not link.

#include <filesystem>
#include <fstream>
#include <string>

#include "lumora/Settings.h"
#include "tests/Support/TemporaryHome.h"

namespace testsupport {

class LumoraHome : public TemporaryHome {
public:
    LumoraHome() : TemporaryHome(Scope::childrenOnly, "lumora-e2e") {}

    std::filesystem::path appDirectory() const { return path() / ".local/share" / LUMORA_BUNDLE_IDENTIFIER; }
    std::filesystem::path recordings() const { return path() / "rec"; }

    // Settings with a small display, so that tests not about size stay fast.
    static lumora::Settings smallSettings() {
        lumora::Settings s;
        s.captureBackend = lumora::CaptureBackendKind::synthetic;  // whatever desktop the machine runs
        s.outputFolder = "~/rec";
        s.virtualDisplays = {{"1", "Small Display", 192, 108, 1.0}, {"2", "Second Display", 160, 120, 2.0}};
        return s;
    }
    void writeSettings(const std::string& text) const {
        std::filesystem::create_directories(appDirectory());
        std::filesystem::permissions(appDirectory(), std::filesystem::perms::owner_all);
        std::ofstream(appDirectory() / "settings.json") << text;
    }
    void writeSettings(const lumora::Settings& s) const { writeSettings(s.toJSON().dump(2)); }
};

}  // namespace testsupport
