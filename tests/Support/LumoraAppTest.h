#pragma once
// The set-up of the app's end-to-end tests as a fixture: a temporary home with small settings,
// Lumora launched on it and its socket awaited; the program is stopped by process id when the
// case ends (LumoraProcess's destructor). Header-only: it needs LumoraCore.

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/Support/LumoraHome.h"
#include "tests/Support/LumoraProcess.h"

namespace testsupport {

template <class Base = ::testing::Test>
class LumoraAppTestOn : public Base {
protected:
    // Writes the small settings unless the case wrote its own, launches Lumora with `arguments`
    // and waits for its socket; a program that never opens it fails the case with its log.
    LumoraProcess& launch(std::vector<std::string> arguments = {"--automation-launch"},
                          std::vector<std::string> environment = {}) {
        if (!std::filesystem::exists(home.appDirectory() / "settings.json"))
            home.writeSettings(LumoraHome::smallSettings());
        auto& lumora = app.emplace(home, std::move(arguments), std::move(environment));
        if (!lumora.waitForSocket()) throw std::runtime_error("Lumora did not open its socket:\n" + lumora.log());
        return lumora;
    }

    LumoraHome home;
    std::optional<LumoraProcess> app;  // last: it stops before the home goes
};

using LumoraAppTest = LumoraAppTestOn<>;

}  // namespace testsupport
