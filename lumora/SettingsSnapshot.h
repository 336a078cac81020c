#pragma once
// The settings in force, shared by every reader without a copy: readers take the current
// snapshot (a counted pointer to settings that never change); a reload puts a new one in its
// place, which the very next reader gets. A reader that still holds the old one keeps it intact.

#include <memory>
#include <mutex>

#include "lumora/Settings.h"

namespace lumora {

class SettingsSnapshot {
public:
    explicit SettingsSnapshot(Settings settings = {});

    std::shared_ptr<const Settings> current() const;
    void replace(Settings settings);

private:
    // Held only to copy or swap the pointer; the settings themselves are never written.
    mutable std::mutex mutex_;
    std::shared_ptr<const Settings> current_;
};

}  // namespace lumora
