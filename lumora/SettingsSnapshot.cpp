#include "lumora/SettingsSnapshot.h"

#include <utility>

namespace lumora {

SettingsSnapshot::SettingsSnapshot(Settings settings)
    : current_(std::make_shared<const Settings>(std::move(settings))) {}

std::shared_ptr<const Settings> SettingsSnapshot::current() const {
    std::lock_guard lock(mutex_);
    return current_;
}

void SettingsSnapshot::replace(Settings settings) {
    auto next = std::make_shared<const Settings>(std::move(settings));
    std::lock_guard lock(mutex_);
    current_.swap(next);
    // The old snapshot is released after the lock, by whichever holder lets go of it last.
}

}  // namespace lumora
