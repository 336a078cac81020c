// The X11 back end's displays: how RandR's monitors become displays, and the watch that keeps
// them current against a real Xvfb server.

#include "lumora/ChildProcess.h"
#include "lumora/X11Backend.h"
#include "lumora/X11Monitors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace lumora {
namespace {

using namespace std::chrono_literals;

TEST(X11Monitors, MakesDisplaysOfMonitorsPrimaryFirstElseOfTheRootWindow) {
    struct Row {
        const char* what;
        std::vector<X11Monitor> monitors;
        std::int64_t rootWidth, rootHeight;
        std::vector<CaptureDisplay> displays;
    };
    const std::vector<Row> rows = {
        {"the primary monitor first and default, the others in the server's order",
         {{"HDMI-1", 1920, 0, 1280, 1024, false}, {"DP-1", 0, 0, 1920, 1080, true}, {"DP-2", 3200, 0, 800, 600, false}},
         3200,
         1080,
         {{"DP-1", "Monitor DP-1 on :0", 1920, 1080, 1.0, true, 0, 0},
          {"HDMI-1", "Monitor HDMI-1 on :0", 1280, 1024, 1.0, false, 1920, 0},
          {"DP-2", "Monitor DP-2 on :0", 800, 600, 1.0, false, 3200, 0}}},
        {"without a primary the first is the default; negative origins are kept",
         {{"eDP-1", -1920, -1080, 1920, 1080, false}, {"VIRTUAL-1", 0, 0, 800, 600, false}},
         1920,
         1080,
         {{"eDP-1", "Monitor eDP-1 on :0", 1920, 1080, 1.0, true, -1920, -1080},
          {"VIRTUAL-1", "Monitor VIRTUAL-1 on :0", 800, 600, 1.0, false, 0, 0}}},
        {"only the first of two primaries comes first",
         {{"A", 0, 0, 10, 10, false}, {"B", 10, 0, 10, 10, true}, {"C", 20, 0, 10, 10, true}},
         30,
         10,
         {{"B", "Monitor B on :0", 10, 10, 1.0, true, 10, 0},
          {"A", "Monitor A on :0", 10, 10, 1.0, false, 0, 0},
          {"C", "Monitor C on :0", 10, 10, 1.0, false, 20, 0}}},
        {"monitors of no size or without a name are skipped",
         {{"DP-1", 0, 0, 0, 1080, true},
          {"DP-2", 0, 0, 1920, 0, false},
          {"", 0, 0, 640, 480, true},
          {"DP-3", 0, 0, 640, 480, false}},
         640,
         480,
         {{"DP-3", "Monitor DP-3 on :0", 640, 480, 1.0, true, 0, 0}}},
        {"no monitor left: the root window",
         {{"DP-1", 0, 0, 0, 0, true}},
         800,
         600,
         {{"screen", "Screen of :0", 800, 600, 1.0, true, 0, 0}}},
        {"no monitor at all: the root window", {}, 320, 240, {{"screen", "Screen of :0", 320, 240, 1.0, true, 0, 0}}},
        {"no monitor and a root window of no size: nothing", {}, 0, 240, {}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(X11Monitors::displaysOf(row.monitors, row.rootWidth, row.rootHeight, ":0"), row.displays) << row.what;
}

// Waits, within a bound, for `condition`.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// An Xvfb server for one test, on a display number it picks itself (or the one given), stopped
// by its process id. It does not reset when its last client leaves, so that monitors a test
// sets stay.
class XServer {
public:
    explicit XServer(std::vector<std::string> options = {}, int number = -1) {
        std::vector<std::string> arguments;
        if (number >= 0) arguments.push_back(":" + std::to_string(number));
        arguments.insert(arguments.end(),
                         {"-displayfd", "1", "-screen", "0", "320x240x24", "-nolisten", "tcp", "-noreset"});
        arguments.insert(arguments.end(), options.begin(), options.end());
        process_.emplace("Xvfb", arguments);
        // The server writes its display number once it accepts connections.
        std::string written;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (written.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd wait{process_->standardOutput(), POLLIN, 0};
            if (::poll(&wait, 1, 100) <= 0) continue;
            char buffer[32];
            const auto n = ::read(process_->standardOutput(), buffer, sizeof buffer);
            if (n <= 0) break;
            written.append(buffer, std::size_t(n));
        }
        if (written.find('\n') == std::string::npos) {
            process_.reset();
            return;
        }
        number_ = std::atoi(written.c_str());
    }
    ~XServer() { stop(); }

    bool running() const { return process_.has_value(); }
    int number() const { return number_; }
    std::string display() const { return ":" + std::to_string(number_); }
    void stop() {
        if (!process_) return;
        process_->signal(SIGTERM);
        process_->waitFor(5s);
        process_.reset();
    }
    // Runs xrandr against this server; its success.
    bool xrandr(const std::vector<std::string>& arguments) const {
        std::vector<std::string> all{"-d", display()};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return ChildProcess::run("xrandr", all, 10s).exit.succeeded();
    }

private:
    std::optional<ChildProcess> process_;
    int number_ = -1;
};

#define REQUIRE_XVFB()                                                          \
    if (!ChildProcess::locate("Xvfb")) GTEST_SKIP() << "Xvfb is not installed"; \
    if (!ChildProcess::locate("xrandr")) GTEST_SKIP() << "xrandr is not installed"

TEST(X11MonitorWatch, ListsTheServersScreenWithAndWithoutRandR) {
    REQUIRE_XVFB();
    struct Row {
        std::vector<std::string> options;
        std::string id, name;
    };
    for (const auto& row :
         {Row{{}, "screen", "Monitor screen on "}, Row{{"-extension", "RANDR"}, "screen", "Screen of "}}) {
        XServer server(row.options);
        ASSERT_TRUE(server.running());
        X11Backend backend(server.display());
        const auto list = backend.displayList();
        ASSERT_TRUE(list);
        const std::vector<CaptureDisplay> expected{{row.id, row.name + server.display(), 320, 240, 1.0, true, 0, 0}};
        EXPECT_EQ(*list, expected) << row.name;
        EXPECT_EQ(backend.displays(), expected) << row.name;
        // A screen the server does not have.
        EXPECT_TRUE(X11Backend(server.display() + ".7").displayList()->empty());
    }
}

// The highest descriptor number this process may open is set just above its lowest free one:
// the X connection fits, the watch's wake-up descriptor does not.
class DescriptorLimit {
public:
    DescriptorLimit() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit tight = saved_;
        tight.rlim_cur = rlim_t(lowestFree + 1);
        ::setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
};

TEST(X11MonitorWatch, WithoutRoomForAWatchEachRequestAsksTheServerItself) {
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checker of the address-sanitizer build opens a pipe to see whether
    // memory it checks is readable; with no descriptor left it reports sound objects as broken.
    GTEST_SKIP() << "needs descriptors that the sanitizer runtime would take";
#endif
    REQUIRE_XVFB();
    XServer server;
    ASSERT_TRUE(server.running());
    X11Backend backend(server.display());
    const std::vector<CaptureDisplay> expected{
        {"screen", "Monitor screen on " + server.display(), 320, 240, 1.0, true, 0, 0}};
    {
        DescriptorLimit limit;
        const auto first = backend.displayList();
        const auto second = backend.displayList();
        EXPECT_EQ(*first, expected);
        EXPECT_EQ(*second, expected);
        EXPECT_NE(first, second);  // no watch: each is a listing of its own
    }
    const auto watched = backend.displayList();
    EXPECT_EQ(*watched, expected);
    EXPECT_EQ(backend.displayList(), watched);
}

TEST(X11MonitorWatch, SeesEachChangeAndAnswersFromOneListBetweenChanges) {
    REQUIRE_XVFB();
    XServer server;
    ASSERT_TRUE(server.running());
    X11Backend backend(server.display());
    const auto first = backend.displayList();
    ASSERT_EQ(first->size(), 1u);

    // Between changes every request is answered with the very same list: nothing is asked of
    // the server per request.
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(backend.displayList(), first);

    struct Step {
        std::vector<std::string> xrandr;
        std::vector<CaptureDisplay> displays;
    };
    const auto on = " on " + server.display();
    const std::vector<Step> steps = {
        {{"--setmonitor", "EXTRA", "200/50x100/30+10+20", "none"},
         {{"EXTRA", "Monitor EXTRA" + on, 200, 100, 1.0, true, 10, 20},
          {"screen", "Monitor screen" + on, 320, 240, 1.0, false, 0, 0}}},
        {{"--setmonitor", "OTHER", "100/25x80/20+200+150", "none"},
         {{"EXTRA", "Monitor EXTRA" + on, 200, 100, 1.0, true, 10, 20},
          {"OTHER", "Monitor OTHER" + on, 100, 80, 1.0, false, 200, 150},
          {"screen", "Monitor screen" + on, 320, 240, 1.0, false, 0, 0}}},
        {{"--delmonitor", "EXTRA"},
         {{"OTHER", "Monitor OTHER" + on, 100, 80, 1.0, true, 200, 150},
          {"screen", "Monitor screen" + on, 320, 240, 1.0, false, 0, 0}}},
        {{"--delmonitor", "OTHER"}, {{"screen", "Monitor screen" + on, 320, 240, 1.0, true, 0, 0}}},
        {{"--output", "screen", "--off", "--fb", "320x240"},
         {{"screen", "Screen of " + server.display(), 320, 240, 1.0, true, 0, 0}}},
        {{"--output", "screen", "--auto"}, {{"screen", "Monitor screen" + on, 320, 240, 1.0, true, 0, 0}}},
    };
    for (const auto& step : steps) {
        ASSERT_TRUE(server.xrandr(step.xrandr)) << step.xrandr[0];
        // Each change has been made when xrandr returns; the watch sees it soon after.
        ASSERT_TRUE(eventually([&] { return *backend.displayList() == step.displays; })) << step.xrandr[0];
        const auto now = backend.displayList();
        for (int i = 0; i < 100; ++i) ASSERT_EQ(backend.displayList(), now) << step.xrandr[0];
    }
}

TEST(X11MonitorWatch, DropsTheListOfAServerThatEndsAndWatchesItsSuccessor) {
    REQUIRE_XVFB();
    std::optional<XServer> server(std::in_place);
    ASSERT_TRUE(server->running());
    const int number = server->number();
    X11Backend backend(server->display());
    ASSERT_EQ(backend.displayList()->size(), 1u);

    server->stop();
    ASSERT_TRUE(eventually([&] { return backend.displayList()->empty(); }));
    // Asked again and again while no server is there, it stays empty and answers at once.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(backend.displayList()->empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);

    server.emplace(std::vector<std::string>{}, number);
    ASSERT_TRUE(server->running());
    ASSERT_TRUE(eventually([&] { return backend.displayList()->size() == 1; }, 5s));
    // Watched again: a change on the new server shows.
    ASSERT_TRUE(server->xrandr({"--setmonitor", "EXTRA", "200/50x100/30+10+20", "none"}));
    ASSERT_TRUE(eventually([&] { return backend.displayList()->size() == 2; }));
}

// Puts $DISPLAY back as it was.
class DisplayVariable {
public:
    DisplayVariable() {
        if (const char* value = std::getenv("DISPLAY")) saved_ = value;
    }
    ~DisplayVariable() { set(saved_); }
    static void set(const std::optional<std::string>& value) {
        if (value)
            ::setenv("DISPLAY", value->c_str(), 1);
        else
            ::unsetenv("DISPLAY");
    }

private:
    std::optional<std::string> saved_;
};

TEST(X11MonitorWatch, NoServerMeansNoDisplaysAtOnce) {
    DisplayVariable restore;
    struct Row {
        std::string display;
        std::optional<std::string> environment;
    };
    for (const auto& row : {Row{":65533", std::nullopt}, Row{"", std::nullopt}, Row{"", ":65532"}}) {
        DisplayVariable::set(row.environment);
        X11Backend backend(row.display);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 100; ++i) ASSERT_TRUE(backend.displayList()->empty()) << row.display;
        EXPECT_TRUE(backend.displays().empty());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << row.display;
    }
}

// A listening socket where an X server's would be, that closes each connection at once and
// counts them: a server that cannot be talked to.
class ClosingXServer {
public:
    ClosingXServer() {
        for (int number = 300 + ::getpid() % 500; number < 1400 && fd_ < 0; number += 13) {
            // The abstract name, which xcb tries first: nothing is left in the file system.
            const std::string name = "/tmp/.X11-unix/X" + std::to_string(number);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::memcpy(address.sun_path + 1, name.data(), name.size());
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&address),
                       socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0 &&
                ::listen(fd, 16) == 0) {
                fd_ = fd;
                display_ = ":" + std::to_string(number);
            } else {
                ::close(fd);
            }
        }
        if (fd_ >= 0)
            thread_ = std::thread([this] {
                for (int connection; (connection = ::accept(fd_, nullptr, nullptr)) >= 0;) {
                    ++accepted_;
                    ::close(connection);
                }
            });
    }
    ~ClosingXServer() {
        if (fd_ < 0) return;
        ::shutdown(fd_, SHUT_RDWR);  // ends the accept()
        thread_.join();
        ::close(fd_);
    }
    bool listening() const { return fd_ >= 0; }
    const std::string& display() const { return display_; }
    int accepted() const { return accepted_; }

private:
    int fd_ = -1;
    std::string display_;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

TEST(X11MonitorWatch, AServerThatCannotBeTalkedToIsTriedAgainOnlyAfterTheRetryInterval) {
    ClosingXServer server;
    ASSERT_TRUE(server.listening());
    X11Backend backend(server.display());
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(backend.displayList()->empty());
    EXPECT_EQ(server.accepted(), 1);
    std::this_thread::sleep_for(X11Backend::retryInterval + 100ms);
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(backend.displayList()->empty());
    EXPECT_EQ(server.accepted(), 2);
}

}  // namespace
}  // namespace lumora
