#pragma once
// A temporary directory used as a user's home: HOME and the XDG base directories point into it,
// either in this process (restored afterwards) or only in the environment given to children.

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/Support/TemporaryDirectory.h"

namespace testsupport {

class TemporaryHome {
public:
    enum class Scope { thisProcess, childrenOnly };

    explicit TemporaryHome(Scope scope = Scope::thisProcess, const std::string& prefix = "lumora-home");
    ~TemporaryHome();
    TemporaryHome(const TemporaryHome&) = delete;
    TemporaryHome& operator=(const TemporaryHome&) = delete;

    const std::filesystem::path& path() const noexcept { return directory_.path(); }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path() / relative; }

    // HOME and the XDG base directories of this home, to lay over a child's environment.
    std::map<std::string, std::optional<std::string>> variables() const;
    // The same as NAME=value entries.
    std::vector<std::string> environmentEntries() const;
    // What `compute` gives with HOME pointing here, for paths derived from the user's home
    // (the app's socket, its settings) when the home is only the children's.
    std::filesystem::path asHome(const std::function<std::filesystem::path()>& compute) const;

private:
    TemporaryDirectory directory_;
    Scope scope_;
    std::map<std::string, std::optional<std::string>> previous_;
};

}  // namespace testsupport
