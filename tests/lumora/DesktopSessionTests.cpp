// Finding the user's desktop from an environment that may lack its variables, and the back end
// that "auto" picks for what answered.

#include "lumora/CaptureBackendChoice.h"
#include "lumora/DesktopSession.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>

namespace lumora {
namespace {

// A made-up process environment and file system: variables, sockets and directories.
struct FakeDesktop {
    std::map<std::string, std::string> variables;
    std::set<std::string> sockets;
    std::set<std::string> directories;
    std::set<std::string> files;  // entries that are neither
    uid_t uid = 1000;

    DesktopEnvironment environment() const {
        DesktopEnvironment env;
        env.variable = [this](const std::string& name) -> std::optional<std::string> {
            auto it = variables.find(name);
            if (it == variables.end()) return std::nullopt;
            return it->second;
        };
        env.isSocket = [this](const std::filesystem::path& p) { return sockets.count(p.string()) > 0; };
        env.isDirectory = [this](const std::filesystem::path& p) { return directories.count(p.string()) > 0; };
        env.entries = [this](const std::filesystem::path& dir) {
            std::vector<std::string> names;
            for (const auto* set : {&sockets, &files, &directories})
                for (const auto& p : *set)
                    if (std::filesystem::path(p).parent_path() == dir)
                        names.push_back(std::filesystem::path(p).filename());
            return names;
        };
        env.uid = uid;
        return env;
    }
};

struct DiscoveryCase {
    const char* label;
    FakeDesktop desktop;
    DesktopSession expected;
};
std::ostream& operator<<(std::ostream& out, const DiscoveryCase& c) { return out << c.label; }

class DesktopDiscovery : public testing::TestWithParam<DiscoveryCase> {};

TEST_P(DesktopDiscovery, FindsTheSession) {
    const auto& c = GetParam();
    auto found = DesktopSession::discover(c.desktop.environment());
    EXPECT_EQ(found.runtimeDirectory, c.expected.runtimeDirectory);
    EXPECT_EQ(found.waylandSocket, c.expected.waylandSocket);
    EXPECT_EQ(found.sessionBusAddress, c.expected.sessionBusAddress);
    EXPECT_EQ(found.x11Display, c.expected.x11Display);
}

using P = std::filesystem::path;
INSTANTIATE_TEST_SUITE_P(
    Table, DesktopDiscovery,
    testing::Values(
        DiscoveryCase{"Nothing", {}, {}},
        DiscoveryCase{"RuntimeDirectoryFromVariable",
                      {{{"XDG_RUNTIME_DIR", "/r"}}, {"/r/wayland-0", "/r/bus"}, {"/r"}, {}},
                      {P("/r"), P("/r/wayland-0"), "unix:path=/r/bus", std::nullopt}},
        DiscoveryCase{
            "HostWithoutVariablesUsesRunUser",
            {{{"HOME", "/home/u"}}, {"/run/user/1000/wayland-0", "/run/user/1000/bus"}, {"/run/user/1000"}, {}},
            {P("/run/user/1000"), P("/run/user/1000/wayland-0"), "unix:path=/run/user/1000/bus", std::nullopt}},
        DiscoveryCase{"RuntimeVariableThatIsNoDirectoryFallsBack",
                      {{{"XDG_RUNTIME_DIR", "/gone"}}, {"/run/user/1000/wayland-0"}, {"/run/user/1000"}, {}},
                      {P("/run/user/1000"), P("/run/user/1000/wayland-0"), std::nullopt, std::nullopt}},
        DiscoveryCase{"RelativeRuntimeVariableIsIgnored",
                      {{{"XDG_RUNTIME_DIR", "r"}}, {}, {"r", "/run/user/1000"}, {}},
                      {P("/run/user/1000"), std::nullopt, std::nullopt, std::nullopt}},
        DiscoveryCase{"RelativeWaylandDisplay",
                      {{{"XDG_RUNTIME_DIR", "/r"}, {"WAYLAND_DISPLAY", "wayland-1"}},
                       {"/r/wayland-0", "/r/wayland-1"},
                       {"/r"},
                       {}},
                      {P("/r"), P("/r/wayland-1"), std::nullopt, std::nullopt}},
        DiscoveryCase{"AbsoluteWaylandDisplayOutsideTheRuntimeDirectory",
                      {{{"XDG_RUNTIME_DIR", "/r"}, {"WAYLAND_DISPLAY", "/s/wayland-1"}},
                       {"/r/wayland-0", "/s/wayland-1"},
                       {"/r"},
                       {}},
                      {P("/r"), P("/s/wayland-1"), std::nullopt, std::nullopt}},
        DiscoveryCase{"StaleWaylandDisplayFallsBackToTheDirectory",
                      {{{"XDG_RUNTIME_DIR", "/r"}, {"WAYLAND_DISPLAY", "wayland-5"}}, {"/r/wayland-0"}, {"/r"}, {}},
                      {P("/r"), P("/r/wayland-0"), std::nullopt, std::nullopt}},
        DiscoveryCase{"LowestNumberedCompositorSocket",
                      {{},
                       {"/run/user/7/wayland-10", "/run/user/7/wayland-2"},
                       {"/run/user/7"},
                       {"/run/user/7/wayland-1.lock", "/run/user/7/wayland-1"},
                       7},
                      {P("/run/user/7"), P("/run/user/7/wayland-2"), std::nullopt, std::nullopt}},
        DiscoveryCase{"BusVariableWins",
                      {{{"XDG_RUNTIME_DIR", "/r"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:abstract=/tmp/dbus-x"}},
                       {"/r/bus"},
                       {"/r"},
                       {}},
                      {P("/r"), std::nullopt, "unix:abstract=/tmp/dbus-x", std::nullopt}},
        DiscoveryCase{"BusPathIsEscaped",
                      {{{"XDG_RUNTIME_DIR", "/run/a b,c"}}, {"/run/a b,c/bus"}, {"/run/a b,c"}, {}},
                      {P("/run/a b,c"), std::nullopt, "unix:path=/run/a%20b%2cc/bus", std::nullopt}},
        DiscoveryCase{"DisplayVariableWins",
                      {{{"DISPLAY", ":3"}}, {"/tmp/.X11-unix/X0"}, {"/tmp/.X11-unix"}, {}},
                      {std::nullopt, std::nullopt, std::nullopt, ":3"}},
        DiscoveryCase{"LowestXServerSocket",
                      {{},
                       {"/tmp/.X11-unix/X12", "/tmp/.X11-unix/X1"},
                       {"/tmp/.X11-unix"},
                       {"/tmp/.X11-unix/X0", "/tmp/.X11-unix/Xabc"}},
                      {std::nullopt, std::nullopt, std::nullopt, ":1"}},
        DiscoveryCase{"EmptyVariablesCountAsUnset",
                      {{{"WAYLAND_DISPLAY", ""}, {"DISPLAY", ""}, {"DBUS_SESSION_BUS_ADDRESS", ""}},
                       {"/run/user/1000/wayland-0"},
                       {"/run/user/1000"},
                       {}},
                      {P("/run/user/1000"), P("/run/user/1000/wayland-0"), std::nullopt, std::nullopt}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DesktopDiscovery, RealEnvironmentListsDirectoriesAndSockets) {
    // The real view: a runtime directory of our own with a compositor socket and a plain file.
    const testsupport::TemporaryDirectory temporary("lumora-desktop");
    const std::filesystem::path& dir = temporary.path();
    std::ofstream(dir / "wayland-0") << "not a socket";
    auto env = DesktopEnvironment::current();
    env.variable = [&](const std::string& name) -> std::optional<std::string> {
        if (name == "XDG_RUNTIME_DIR") return dir.string();
        return std::nullopt;
    };
    auto found = DesktopSession::discover(env);
    EXPECT_EQ(found.runtimeDirectory, dir);
    EXPECT_EQ(found.waylandSocket, std::nullopt);  // a regular file is not a compositor
}

struct ChoiceCase {
    const char* label;
    CaptureBackendKind setting;
    DesktopSession session;
    DesktopReachability reachability;
    CaptureBackendKind expected;
    const char* reasonMentions;
};
std::ostream& operator<<(std::ostream& out, const ChoiceCase& c) { return out << c.label; }

class AutomaticBackend : public testing::TestWithParam<ChoiceCase> {};

TEST_P(AutomaticBackend, Picks) {
    const auto& c = GetParam();
    auto choice = CaptureBackendChoice::choose(c.setting, c.session, c.reachability);
    EXPECT_EQ(choice.kind, c.expected);
    EXPECT_NE(choice.reason.find(c.reasonMentions), std::string::npos) << choice.reason;
}

const DesktopSession everything{P("/r"), P("/r/wayland-0"), "unix:path=/r/bus", ":0"};
const DesktopSession xOnly{std::nullopt, std::nullopt, std::nullopt, ":0"};

INSTANTIATE_TEST_SUITE_P(
    Table, AutomaticBackend,
    testing::Values(
        ChoiceCase{"WaylandWithPortal",
                   CaptureBackendKind::automatic,
                   everything,
                   {true, true, true, ""},
                   CaptureBackendKind::wayland,
                   "auto: wayland, the Wayland session at /r/wayland-0 has the screen-cast portal"},
        ChoiceCase{
            "WaylandWithoutPortalFallsToX11",
            CaptureBackendKind::automatic,
            everything,
            {true, false, true, "the session bus has no screen-cast portal: nobody"},
            CaptureBackendKind::x11,
            "the Wayland session cannot be recorded (the session bus has no screen-cast portal: nobody) and the X "
            "display :0 answers"},
        ChoiceCase{"DeadCompositorAndNoX",
                   CaptureBackendKind::automatic,
                   DesktopSession{P("/r"), P("/r/wayland-0"), std::nullopt, std::nullopt},
                   {false, false, false, "the compositor at /r/wayland-0 does not answer"},
                   CaptureBackendKind::synthetic,
                   "synthetic (a test pattern), the Wayland session cannot be recorded (the compositor at /r/wayland-0 "
                   "does not answer) and no X display was found."},
        ChoiceCase{"XvfbOnly",
                   CaptureBackendKind::automatic,
                   xOnly,
                   {false, false, true, ""},
                   CaptureBackendKind::x11,
                   "auto: x11, no Wayland session was found and the X display :0 answers."},
        ChoiceCase{"StaleXSocket",
                   CaptureBackendKind::automatic,
                   xOnly,
                   {false, false, false, ""},
                   CaptureBackendKind::synthetic,
                   "the X display :0 does not answer."},
        ChoiceCase{"NoDisplayAtAll",
                   CaptureBackendKind::automatic,
                   DesktopSession{},
                   {},
                   CaptureBackendKind::synthetic,
                   "no Wayland session was found and no X display was found."},
        ChoiceCase{"ForcedX11OnWayland",
                   CaptureBackendKind::x11,
                   everything,
                   {true, true, true, ""},
                   CaptureBackendKind::x11,
                   "capture back end x11, as the settings ask."},
        ChoiceCase{"ForcedWaylandWithoutDesktop",
                   CaptureBackendKind::wayland,
                   DesktopSession{},
                   {},
                   CaptureBackendKind::wayland,
                   "capture back end wayland, as the settings ask."},
        ChoiceCase{"ForcedSynthetic",
                   CaptureBackendKind::synthetic,
                   everything,
                   {true, true, true, ""},
                   CaptureBackendKind::synthetic,
                   "synthetic"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(AutomaticBackend, ProbeAsksOnlyWhatTheSessionNames) {
    // No sockets: nothing answers, and nothing is waited for.
    const auto start = std::chrono::steady_clock::now();
    auto r = DesktopReachability::probe(
        DesktopSession{std::nullopt, P("/nonexistent/wayland-0"), "unix:path=/nonexistent/bus", ":65000"});
    EXPECT_FALSE(r.waylandCompositor);
    EXPECT_FALSE(r.screenCastPortal);
    EXPECT_FALSE(r.x11Server);
    EXPECT_EQ(r.waylandProblem, "the compositor at /nonexistent/wayland-0 does not answer");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace lumora
