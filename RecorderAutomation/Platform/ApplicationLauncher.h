#pragma once
// Opening an application bundle in the background: its executable is started detached (own
// session, standard streams on /dev/null) with the given arguments, and reaped when it ends.

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace recorder::platform {

// A launch that did not happen; what() is a sentence fit for the user.
class LaunchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace ApplicationLauncher {

// Starts <bundle>/Contents/MacOS/<CFBundleExecutable> with `arguments`, unless an instance of
// that bundle already runs. Returns once the program has been started; throws LaunchError
// when it could not be (no bundle, no executable, not executable, ...).
void open(const std::filesystem::path& bundle, const std::vector<std::string>& arguments);

}  // namespace ApplicationLauncher
}  // namespace recorder::platform
