// The compositor's outputs as Lumora lists and follows them, against a fake compositor that
// plugs, changes and unplugs outputs while Lumora is connected.
#include "lumora/WaylandBackend.h"
#include "lumora/WaylandOutputWatch.h"
#include "lumora/WaylandOutputs.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WaitUntil.h"
#include "tests/lumora/FakeCompositor.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace lumora {
namespace {

using namespace std::chrono_literals;
using testing::FakeCompositor;
using testsupport::TemporaryDirectory;
using testsupport::waitUntil;

using Output = FakeCompositor::Output;

struct ListedCase {
    const char* what;
    std::vector<Output> outputs;
    std::vector<CaptureDisplay> displays;
};

class WaylandOutputListing : public ::testing::TestWithParam<ListedCase> {};

TEST_P(WaylandOutputListing, ReadsWhatTheCompositorTells) {
    TemporaryDirectory dir;
    FakeCompositor compositor(dir / "wayland-0");
    for (const auto& o : GetParam().outputs) compositor.plug(o);
    const auto listing = WaylandOutputs::list(compositor.socket(), 2s);
    EXPECT_EQ(listing.error, "");
    EXPECT_EQ(WaylandOutputs::toDisplays(listing.outputs), GetParam().displays);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaylandOutputListing,
    ::testing::Values(
        ListedCase{"none", {}, {}},
        ListedCase{"one", {{"DP-1", "Desk", 1920, 1080, 1, 0}}, {{"DP-1", "Desk", 1920, 1080, 1.0, true, 0, 0}}},
        ListedCase{"turned", {{"DP-1", "", 1920, 1080, 1, 1}}, {{"DP-1", "DP-1", 1080, 1920, 1.0, true, 0, 0}}},
        ListedCase{
            "flipped and turned", {{"DP-1", "", 1920, 1080, 1, 7}}, {{"DP-1", "DP-1", 1080, 1920, 1.0, true, 0, 0}}},
        ListedCase{
            "scaled", {{"eDP-1", "Laptop", 2880, 1800, 2, 0}}, {{"eDP-1", "Laptop", 2880, 1800, 2.0, true, 0, 0}}},
        ListedCase{"two, first is default, one off",
                   {{"HDMI-A-1", "TV", 3840, 2160, 1, 0}, {"DP-2", "", 0, 0, 1, 0}, {"DP-3", "Side", 1280, 1024, 1, 0}},
                   {{"HDMI-A-1", "TV", 3840, 2160, 1.0, true, 0, 0}, {"DP-3", "Side", 1280, 1024, 1.0, false, 0, 0}}}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (auto& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

// A Unix socket that accepts connections and then does nothing, or closes each at once.
class MuteServer {
public:
    MuteServer(const std::filesystem::path& path, bool hangUp) : hangUp_(hangUp) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::copy_n(path.c_str(), path.string().size(), address.sun_path);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 4) != 0)
            throw std::runtime_error("mute server");
        thread_ = std::thread([this] {
            while (true) {
                const int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (peer < 0) return;
                if (hangUp_)
                    ::close(peer);
                else
                    peers_.push_back(peer);
            }
        });
    }
    ~MuteServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
        for (int peer : peers_) ::close(peer);
    }

private:
    bool hangUp_;
    int fd_ = -1;
    std::vector<int> peers_;
    std::thread thread_;
};

TEST(WaylandOutputListingFailure, SaysWhyNothingWasListed) {
    TemporaryDirectory dir;
    EXPECT_EQ(WaylandOutputs::list("", 1s).error, "no Wayland compositor was found");
    EXPECT_EQ(
        WaylandOutputs::list(dir / "absent", 1s).error,
        "cannot connect to the Wayland compositor at " + (dir / "absent").string() + ": No such file or directory");
    {
        MuteServer silent(dir / "silent", false);
        const auto started = std::chrono::steady_clock::now();
        const auto listing = WaylandOutputs::list(dir / "silent", 200ms);
        EXPECT_EQ(listing.error, "the Wayland compositor at " + (dir / "silent").string() + " did not answer in time");
        EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);
        EXPECT_TRUE(listing.outputs.empty());
    }
    MuteServer closing(dir / "closing", true);
    EXPECT_EQ(WaylandOutputs::list(dir / "closing", 2s).error,
              "the Wayland compositor at " + (dir / "closing").string() + " closed the connection");
}

std::vector<std::string> ids(const WaylandOutputWatch::DisplayList& list) {
    std::vector<std::string> found;
    if (list)
        for (const auto& d : *list) found.push_back(d.id + " " + std::to_string(d.pixelWidth));
    return found;
}

// Waits until the watch lists `expected` (display id and width); false when it does not in time.
bool watchLists(const WaylandOutputWatch& watch, const std::vector<std::string>& expected) {
    return waitUntil([&] { return ids(watch.displays()) == expected; }, 5s);
}

TEST(WaylandOutputWatch, FollowsOutputsPluggedChangedAndUnpluggedOverOneConnection) {
    TemporaryDirectory dir;
    FakeCompositor compositor(dir / "wayland-0");
    const int first = compositor.plug({"DP-1", "Desk", 1920, 1080, 1, 0});
    WaylandOutputWatch watch(compositor.socket());
    ASSERT_TRUE(watchLists(watch, {"DP-1 1920"}));

    // Between changes every reader gets the one list: nothing is done per look-up.
    const auto list = watch.displays();
    for (int i = 0; i < 100; ++i) ASSERT_EQ(watch.displays(), list);

    const int second = compositor.plug({"HDMI-A-1", "TV", 3840, 2160, 1, 0});
    EXPECT_TRUE(watchLists(watch, {"DP-1 1920", "HDMI-A-1 3840"}));
    compositor.resize(second, 1280, 720);
    EXPECT_TRUE(watchLists(watch, {"DP-1 1920", "HDMI-A-1 1280"}));
    // The same mode told again changes nothing: the list stays the one already handed out.
    const auto resized = watch.displays();
    compositor.resize(second, 1280, 720);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(watch.displays(), resized);
    compositor.unplug(first);
    EXPECT_TRUE(watchLists(watch, {"HDMI-A-1 1280"}));
    ASSERT_TRUE(watch.displays());
    EXPECT_TRUE(watch.displays()->front().isDefault);
    EXPECT_FALSE(watch.ended());
    EXPECT_EQ(compositor.connectionsAccepted(), 1);
}

TEST(WaylandOutputWatch, EndsWithoutAListWhenTheCompositorGoesOrCannotBeReached) {
    TemporaryDirectory dir;
    auto compositor = std::make_unique<FakeCompositor>(dir / "wayland-0");
    compositor->plug({"DP-1", "Desk", 1920, 1080, 1, 0});
    WaylandOutputWatch watch(dir / "wayland-0");
    ASSERT_TRUE(watchLists(watch, {"DP-1 1920"}));
    compositor.reset();
    EXPECT_TRUE(waitUntil([&] { return watch.ended(); }, 5s));
    EXPECT_EQ(watch.displays(), nullptr);  // never the list of a compositor that is gone

    WaylandOutputWatch nowhere(dir / "absent");
    EXPECT_TRUE(waitUntil([&] { return nowhere.ended(); }, 5s));
    EXPECT_EQ(nowhere.displays(), nullptr);
}

TEST(WaylandOutputWatch, StopsAtOnceWhileTheCompositorIsSilent) {
    TemporaryDirectory dir;
    MuteServer silent(dir / "silent", false);
    const auto started = std::chrono::steady_clock::now();
    {
        WaylandOutputWatch watch(dir / "silent");
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(watch.displays(), nullptr);
        EXPECT_FALSE(watch.ended());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
}

TEST(WaylandBackendDisplays, ReadsTheWatchAndWatchesAgainAfterTheCompositorRestarts) {
    TemporaryDirectory dir;
    auto compositor = std::make_unique<FakeCompositor>(dir / "wayland-0");
    compositor->plug({"DP-1", "Desk", 1920, 1080, 1, 0});
    WaylandBackend backend(dir / "wayland-0", "", dir / "grants.json");
    auto listed = [&] { return ids(backend.displayList()); };

    // Until the watch has its first listing a request asks the compositor itself; then never.
    EXPECT_EQ(listed(), (std::vector<std::string>{"DP-1 1920"}));
    ASSERT_TRUE(waitUntil([&] { return backend.displayList() == backend.displayList(); }, 5s));
    const int connections = compositor->connectionsAccepted();
    for (int i = 0; i < 200; ++i) ASSERT_EQ(listed(), (std::vector<std::string>{"DP-1 1920"}));
    EXPECT_EQ(compositor->connectionsAccepted(), connections);

    // Gone: no display, and no stale one.
    compositor.reset();
    EXPECT_TRUE(waitUntil([&] { return listed().empty(); }, 5s));
    EXPECT_EQ(backend.displays(), std::vector<CaptureDisplay>{});

    // Back, with another output: listed at once (asked), then watched again within a second or so.
    compositor = std::make_unique<FakeCompositor>(dir / "wayland-0");
    compositor->plug({"HDMI-A-1", "TV", 1280, 720, 1, 0});
    EXPECT_TRUE(waitUntil([&] { return listed() == std::vector<std::string>{"HDMI-A-1 1280"}; }, 5s));
    EXPECT_TRUE(waitUntil([&] { return backend.displayList() == backend.displayList(); }, 5s));
    const int again = compositor->connectionsAccepted();
    for (int i = 0; i < 200; ++i) ASSERT_EQ(listed(), (std::vector<std::string>{"HDMI-A-1 1280"}));
    EXPECT_EQ(compositor->connectionsAccepted(), again);
}

}  // namespace
}  // namespace lumora
