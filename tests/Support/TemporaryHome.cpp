#include "tests/Support/TemporaryHome.h"

#include <cstdlib>
#include <vector>

namespace testsupport {

TemporaryHome::TemporaryHome(Scope scope, const std::string& prefix) : directory_(prefix), scope_(scope) {
    if (scope_ != Scope::thisProcess) return;
    for (const auto& [name, value] : variables()) {
        const char* before = std::getenv(name.c_str());
        previous_[name] = before ? std::optional<std::string>(before) : std::nullopt;
        ::setenv(name.c_str(), value->c_str(), 1);
    }
}

TemporaryHome::~TemporaryHome() {
    for (const auto& [name, value] : previous_) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

std::map<std::string, std::optional<std::string>> TemporaryHome::variables() const {
    const auto home = path();
    return {{"HOME", home.string()},
            {"XDG_CONFIG_HOME", (home / ".config").string()},
            {"XDG_DATA_HOME", (home / ".local/share").string()},
            {"XDG_CACHE_HOME", (home / ".cache").string()},
            {"XDG_STATE_HOME", (home / ".local/state").string()}};
}

std::vector<std::string> TemporaryHome::environmentEntries() const {
    std::vector<std::string> entries;
    for (const auto& [name, value] : variables()) entries.push_back(name + "=" + *value);
    return entries;
}

std::filesystem::path TemporaryHome::asHome(const std::function<std::filesystem::path()>& compute) const {
    const char* saved = std::getenv("HOME");
    const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
    ::setenv("HOME", path().c_str(), 1);
    auto result = compute();
    if (previous)
        ::setenv("HOME", previous->c_str(), 1);
    else
        ::unsetenv("HOME");
    return result;
}

}  // namespace testsupport
