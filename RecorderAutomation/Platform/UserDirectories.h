#pragma once
// Where per-user files live: the stand-ins for the shared-container lookup and the
// application-support directory.

#include <filesystem>
#include <optional>
#include <string_view>

namespace recorder::platform {

// The shared container of an application group. This platform has no application groups,
// so there is never one.
std::optional<std::filesystem::path> applicationGroupContainer(std::string_view group);

// The user's home: $HOME when it is an absolute path, else the password database's entry for
// the real user id. Throws std::system_error when neither gives one.
std::filesystem::path homeDirectory();

// <home>/.local/share. XDG_DATA_HOME is not consulted on purpose: hosts start helper programs
// with a reduced environment, and the app and its helpers must derive the same path.
std::filesystem::path applicationSupportDirectory();

}  // namespace recorder::platform
