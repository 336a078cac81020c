#include "RecorderAutomation/Platform/ApplicationLauncher.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "RecorderAutomation/Platform/Bundle.h"
#include "RecorderAutomation/Platform/RunningApplications.h"

extern char** environ;

namespace recorder::platform::ApplicationLauncher {

namespace {

// Frees a spawn attribute or file-action object at scope exit.
template <class T, int (*Destroy)(T*)>
struct Scoped {
    T value;
    bool live = false;
    ~Scoped() {
        if (live) Destroy(&value);
    }
};

[[noreturn]] void fail(const std::string& name, const std::string& reason) {
    throw LaunchError("The application \u201c" + name + "\u201d could not be launched: " + reason);
}

}  // namespace

void open(const std::filesystem::path& bundlePath, const std::vector<std::string>& arguments) {
    const std::string name = bundlePath.filename().string();
    const auto bundle = Bundle::open(bundlePath);
    if (!bundle) fail(name, "it is not an application bundle.");
    const auto identifier = bundle->bundleIdentifier();
    if (!identifier) fail(name, "its Contents/Info.plist names no bundle identifier.");
    const auto executable = bundle->executableURL();
    if (!executable) fail(name, "its Contents/Info.plist names no executable.");

    // One instance per bundle: an instance of this very copy that already runs is kept.
    const auto absolute = std::filesystem::absolute(bundlePath).lexically_normal();
    for (const auto& running : runningApplications(*identifier)) {
        if (running.bundleURL && std::filesystem::absolute(*running.bundleURL).lexically_normal() == absolute) return;
    }

    std::vector<std::string> argumentStorage;
    argumentStorage.push_back(executable->string());
    argumentStorage.insert(argumentStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argumentStorage) argv.push_back(argument.data());
    argv.push_back(nullptr);

    Scoped<posix_spawn_file_actions_t, posix_spawn_file_actions_destroy> actions{};
    Scoped<posix_spawnattr_t, posix_spawnattr_destroy> attributes{};
    if (posix_spawn_file_actions_init(&actions.value) != 0 || posix_spawnattr_init(&attributes.value) != 0) {
        fail(name, std::strerror(ENOMEM));
    }
    actions.live = attributes.live = true;
    posix_spawn_file_actions_addopen(&actions.value, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions.value, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions.value, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // The app outlives its launcher: a descriptor it inherited (a lock, a pipe a caller waits on
    // for end of file) would stay open for as long as the app runs.
    posix_spawn_file_actions_addclosefrom_np(&actions.value, STDERR_FILENO + 1);
    // Its own session: no controlling terminal, untouched by signals sent to our group. The
    // signal mask and dispositions are reset so that the app does not inherit ours.
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes.value, &none);
    posix_spawnattr_setsigdefault(&attributes.value, &all);
    posix_spawnattr_setflags(&attributes.value, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t child = 0;
    // glibc's posix_spawn reports a failed exec (missing file, not executable) as its result.
    const int error = posix_spawn(&child, argv[0], &actions.value, &attributes.value, argv.data(), environ);
    if (error != 0) fail(name, std::string(std::strerror(error)) + " (" + executable->string() + ").");

    // Reap it whenever it ends, so that no zombie stays behind while we run.
    std::thread([child] {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

}  // namespace recorder::platform::ApplicationLauncher
