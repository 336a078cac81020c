#include "lumora/LaunchOptions.h"

#include <stdexcept>

#include "RecorderAutomation/Protocol/AutomationProtocol.h"

namespace lumora {

const char* LaunchOptions::usage() {
    return "usage: Lumora [options]\n"
           "\n"
           "  --automation-launch          started by a helper: publish the automation socket without asking\n"
           "  --settings <file>            settings file (default: settings.json next to the automation socket)\n"
           "  --automation-enabled         allow local automation for this run\n"
           "  --automation-disabled        refuse automation requests for this run\n"
           "  --permission-missing         act as if screen-recording permission were not granted\n"
           "  --setup-incomplete           act as if the first-run setup were not done\n"
           "  --capture-failure <mode>     make captures fail: none, start, during or finalize\n"
           "  --capture-backend <name>     auto (default: the desktop found), wayland, x11 or synthetic (test "
           "pattern)\n"
           "  --x11-display <name>         X display for the x11 back end (default: $DISPLAY, else the first local "
           "one)\n"
           "  --output-folder <folder>     where recordings are saved\n"
           "  --manual-recording           start a recording by hand at launch\n"
           "  --grant-screen-access        ask the desktop now for leave to record the default display, keep\n"
           "                               the grant for later recordings, and exit (0 granted, 1 not)\n"
           "  --start-recording            ask the running Lumora to start a recording by hand (or\n"
           "                               launch Lumora recording when none runs)\n"
           "  --stop-recording             ask the running Lumora to stop the recording in progress\n"
           "  --help                       show this text\n"
           "\n"
           "While it runs: SIGUSR1 presses the record button (starts a recording by hand, or stops the\n"
           "one in progress), SIGRTMIN+1 starts one by hand unless one runs, SIGRTMIN+2 stops the one in\n"
           "progress, SIGHUP reads the settings file again, SIGINT or SIGTERM saves any recording in\n"
           "progress and quits.\n";
}

LaunchOptions LaunchOptions::parse(const std::vector<std::string>& arguments) {
    LaunchOptions o;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= arguments.size()) throw std::invalid_argument(a + " needs a value.");
            return arguments[++i];
        };
        if (a == recorder::AutomationProtocol::automationLaunchArgument)
            o.automationLaunch = true;
        else if (a == "--help" || a == "-h")
            o.help = true;
        else if (a == "--manual-recording")
            o.manualRecording = true;
        else if (a == "--grant-screen-access")
            o.grantScreenAccess = true;
        else if (a == "--start-recording")
            o.startRecording = true;
        else if (a == "--stop-recording")
            o.stopRecording = true;
        else if (a == "--settings")
            o.settingsPath = value();
        else if (a == "--automation-enabled")
            o.automationEnabled = true;
        else if (a == "--automation-disabled")
            o.automationEnabled = false;
        else if (a == "--permission-missing")
            o.screenRecordingPermission = false;
        else if (a == "--setup-incomplete")
            o.setupComplete = false;
        else if (a == "--capture-failure") {
            auto text = value();
            o.captureFailure = capture_failure_mode::fromRawValue(text);
            if (!o.captureFailure)
                throw std::invalid_argument("--capture-failure takes none, start, during or finalize, not " + text +
                                            ".");
        } else if (a == "--capture-backend") {
            auto text = value();
            o.captureBackend = captureBackendFromName(text);
            if (!o.captureBackend)
                throw std::invalid_argument("--capture-backend takes auto, wayland, x11 or synthetic, not " + text +
                                            ".");
        } else if (a == "--x11-display")
            o.x11Display = value();
        else if (a == "--output-folder")
            o.outputFolder = value();
        else
            throw std::invalid_argument("Unknown argument " + a + ".");
    }
    if (o.startRecording && o.stopRecording)
        throw std::invalid_argument("--start-recording and --stop-recording cannot be given together.");
    return o;
}

void LaunchOptions::applyTo(Settings& s) const {
    if (automationEnabled) s.automationEnabled = *automationEnabled;
    if (screenRecordingPermission) s.simulate.screenRecordingPermission = *screenRecordingPermission;
    if (setupComplete) s.simulate.setupComplete = *setupComplete;
    if (captureFailure) s.simulate.captureFailure = *captureFailure;
    if (captureBackend) s.captureBackend = *captureBackend;
    if (x11Display) s.x11Display = *x11Display;
    if (outputFolder) s.outputFolder = *outputFolder;
}

}  // namespace lumora
