#include "lumora/LumoraApp.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Server/AutomationSocketServer.h"
#include "lumora/CaptureBackendChoice.h"
#include "lumora/LaunchOptions.h"
#include "lumora/LumoraRequestHandler.h"
#include "lumora/NotificationIndicator.h"
#include "lumora/RandomIdentifier.h"
#include "lumora/RunningInstance.h"
#include "lumora/SettingsSnapshot.h"
#include "lumora/SyntheticBackend.h"
#include "lumora/WaylandBackend.h"
#include "lumora/X11Backend.h"

namespace lumora {
namespace {

std::mutex logMutex;

void say(const std::string& line) {
    std::lock_guard lock(logMutex);
    std::cerr << "Lumora: " << line << std::endl;
}

std::filesystem::path homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

// The settings in force: the file, with the command line laid over it. Re-read on SIGHUP.
class LiveSettings {
public:
    LiveSettings(std::filesystem::path path, LaunchOptions options)
        : path_(std::move(path)), options_(std::move(options)) {}

    void load() {
        auto loaded = SettingsLoad::fromFile(path_);
        for (const auto& problem : loaded.problems) say(problem);
        if (!loaded.fileExists) writeDefaults(loaded.settings);
        options_.applyTo(loaded.settings);
        settings_.replace(std::move(loaded.settings));
    }
    // Shared, not copied: every automation request reads it.
    std::shared_ptr<const Settings> current() const { return settings_.current(); }
    const std::filesystem::path& path() const { return path_; }

private:
    // A first run leaves the defaults in place, so that the user has a file to edit.
    void writeDefaults(const Settings& defaults) {
        std::error_code ec;
        std::filesystem::create_directories(path_.parent_path(), ec);
        std::ofstream out(path_);
        if (!out) return;
        out << defaults.toJSON().dump(2) << "\n";
        ::chmod(path_.c_str(), 0600);
        say("wrote the default settings to " + path_.string() + ".");
    }

    std::filesystem::path path_;
    LaunchOptions options_;
    SettingsSnapshot settings_;
};

// The back end the settings ask for; "auto" looks for the user's desktop first.
std::shared_ptr<CaptureBackend> makeBackend(const Settings& settings, const std::filesystem::path& appDirectory) {
    const auto session = DesktopSession::discover();
    const auto reachability = settings.captureBackend == CaptureBackendKind::automatic
                                  ? DesktopReachability::probe(session)
                                  : DesktopReachability{};
    const auto choice = CaptureBackendChoice::choose(settings.captureBackend, session, reachability);
    say(choice.reason);
    if (choice.kind == CaptureBackendKind::wayland) {
        if (!session.waylandSocket || !session.sessionBusAddress)
            say("the wayland back end found no Wayland session (" + session.summary() + ").");
        return std::make_shared<WaylandBackend>(session.waylandSocket.value_or(""),
                                                session.sessionBusAddress.value_or(""),
                                                appDirectory / "screencast-grants.json");
    }
    if (choice.kind == CaptureBackendKind::x11) {
        auto backend = std::make_shared<X11Backend>(settings.x11Display.empty() ? session.x11Display.value_or("")
                                                                                : settings.x11Display);
        if (backend->displayName().empty()) say("the x11 back end has no X display: set \"x11Display\" or DISPLAY.");
        return backend;
    }
    return std::make_shared<SyntheticBackend>(settings.virtualDisplays, true);
}

// Lumora --grant-screen-access: asks the desktop once for the default display.
int grantScreenAccess(const std::shared_ptr<CaptureBackend>& backend) {
    auto* wayland = dynamic_cast<WaylandBackend*>(backend.get());
    if (!wayland) {
        std::cout << "Lumora: the " << backend->name()
                  << " capture back end records without asking the desktop; there is nothing to grant." << std::endl;
        return 0;
    }
    auto displays = wayland->displays();
    if (displays.empty()) {
        std::cout << "Lumora: no display to grant: the Wayland compositor lists no monitor." << std::endl;
        return 1;
    }
    std::cout << "Lumora: asking the desktop for leave to record " << displays.front().name
              << "; allow it in the dialog that opens." << std::endl;
    if (auto failure = wayland->grantAccess(displays.front())) {
        std::cout << "Lumora: not granted: " << failure->message << std::endl;
        return 1;
    }
    std::cout << "Lumora: granted; recordings of " << displays.front().name << " start without asking (kept in "
              << wayland->grants().file().string() << ")." << std::endl;
    return 0;
}

}  // namespace

int LumoraApp::run(const std::vector<std::string>& arguments) {
    LaunchOptions options;
    try {
        options = LaunchOptions::parse(arguments);
    } catch (const std::invalid_argument& bad) {
        std::cerr << "Lumora: " << bad.what() << "\n\n" << LaunchOptions::usage();
        return 2;
    }
    if (options.help) {
        std::cout << LaunchOptions::usage();
        return 0;
    }

    // Signals are taken by this thread alone (sigwait below); every thread started from here on
    // inherits the mask. Child processes get a clean mask of their own.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, RunningInstance::startRecordingSignal(),
                  RunningInstance::stopRecordingSignal()})
        sigaddset(&signals, s);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    const auto home = homeDirectory();
    std::optional<recorder::AutomationEndpoint> endpoint;
    try {
        endpoint = recorder::AutomationEndpoint::standard(LUMORA_BUNDLE_IDENTIFIER, std::string(LUMORA_APP_GROUP));
    } catch (const recorder::AutomationEndpoint::Failure& failure) {
        say("the automation socket cannot be placed: " + failure.description() + ".");
        return 1;
    }

    // The desktop entry's actions: hand the request to the Lumora that runs, if one does.
    if (options.startRecording || options.stopRecording) {
        if (auto running = RunningInstance::find(*endpoint)) {
            const int request = options.startRecording ? RunningInstance::startRecordingSignal()
                                                       : RunningInstance::stopRecordingSignal();
            if (::kill(*running, request) != 0) {
                say("the running Lumora (process " + std::to_string(*running) +
                    ") cannot be reached: " + std::strerror(errno) + ".");
                return 1;
            }
            say("asked the running Lumora (process " + std::to_string(*running) + ") to " +
                (options.startRecording ? "start" : "stop") + " recording.");
            return 0;
        }
        if (options.stopRecording) {
            say("Lumora is not running; there is no recording to stop.");
            return 0;
        }
        // None runs: this process becomes Lumora and starts recording at once.
    }

    auto settings = std::make_shared<LiveSettings>(
        options.settingsPath ? std::filesystem::path(*options.settingsPath) : endpoint->directory() / "settings.json",
        options);
    settings->load();
    const Settings initial = *settings->current();

    auto backend = makeBackend(initial, endpoint->directory());
    if (options.grantScreenAccess) return grantScreenAccess(backend);
    auto recorder =
        std::make_shared<Recorder>(backend, std::size_t(recorder::AutomationProtocol::maximumRetainedSessions));
    recorder->setLog(say);
    const std::string instance = randomIdentifier();
    auto handler = std::make_shared<LumoraRequestHandler>(
        LumoraRequestHandler::Identity{"Lumora", LUMORA_VERSION, LUMORA_BUNDLE_IDENTIFIER, instance}, backend, recorder,
        [settings] { return settings->current(); }, home);

    recorder::AutomationSocketServer server(*endpoint, instance, handler);
    try {
        server.start();
    } catch (const std::exception& failure) {
        say(std::string("the automation socket could not be opened at ") + endpoint->path() + ": " + failure.what() +
            ".");
        return 1;
    }
    say(std::string(options.automationLaunch ? "started by a helper; " : "") + "automation socket at " +
        endpoint->path() + " (app instance " + instance + "), capture back end " + backend->name() +
        ", recordings go to " + initial.resolvedOutputFolder(home).string() +
        (initial.automationEnabled ? "." : "; local automation is turned off, requests are refused."));

    // The recording indicator, on the desktop's session bus wherever the environment lacks its
    // address; its stop action is the record button's stop.
    auto indicator = std::make_unique<NotificationIndicator>(
        DesktopSession::discover().sessionBusAddress.value_or(""),
        [recorder](const std::string& sessionID) {
            say("Stopping session " + sessionID + " from the recording indicator.");
            recorder->stop(sessionID, false);
        },
        say);
    recorder->setActivityObserver(
        [shown = indicator.get()](const RecordingSession& session) { shown->update(session); });

    // The record button toggles; the desktop entry's actions only start or only stop.
    enum class Press { toggle, start, stop };
    auto pressRecordButton = [&](Press press) {
        const auto active = recorder->active();
        if (press == Press::stop) {
            if (!active) return say("there is no recording to stop.");
            say("Stopping session " + active->id + " at the user's request.");
            recorder->stop(active->id, false);
            return;
        }
        if (press == Press::start && active)
            return say("a recording is already in progress (session " + active->id + ").");
        const auto now = settings->current();
        if (!active && !now->simulate.setupComplete) return say("finish the first-run setup before recording.");
        if (!active && !now->simulate.screenRecordingPermission)
            return say("screen recording is not permitted; nothing was recorded.");
        auto order = handler->manualOrder();
        if (!order) return say("there is no display to record.");
        if (press == Press::toggle) return say(recorder->toggleByUser(*order));
        auto answer = recorder->start(*order);  // refused, not toggled, should a recording have begun meanwhile
        if (auto* failure = std::get_if<recorder::AutomationFailure>(&answer))
            return say("The recording could not be started: " + failure->message);
        say("Recording started by the user: session " + std::get<RecordingSession>(answer).id + ".");
    };
    if (options.manualRecording || options.startRecording) pressRecordButton(Press::start);

    while (true) {
        int received = 0;
        if (::sigwait(&signals, &received) != 0) continue;
        if (received == SIGUSR1) {
            pressRecordButton(Press::toggle);
        } else if (received == RunningInstance::startRecordingSignal()) {
            pressRecordButton(Press::start);
        } else if (received == RunningInstance::stopRecordingSignal()) {
            pressRecordButton(Press::stop);
        } else if (received == SIGHUP) {
            settings->load();
            say("settings read again from " + settings->path().string() + ".");
        } else {
            break;
        }
    }

    say("quitting; saving any recording in progress.");
    if (!recorder->finish(std::string(recording_text::appQuit), std::chrono::seconds(20)))
        say("the recording in progress did not finish saving in time.");
    server.stop();
    recorder->setActivityObserver(nullptr);
    indicator.reset();  // closes the notification of the recording just saved
    say("stopped.");
    return 0;
}

}  // namespace lumora
