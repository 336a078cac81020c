// The Wayland back end's parts that need no desktop: the grant file, the recording pipeline,
// what the portal's answers mean, and the displays made of the compositor's outputs.

#include "lumora/MediaProbe.h"
#include "lumora/ChildProcess.h"
#include "lumora/ScreenCastCapture.h"
#include "lumora/ScreenCastGrants.h"
#include "lumora/ScreenCastPortal.h"
#include "lumora/WaylandBackend.h"
#include "lumora/WaylandOutputs.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <sstream>
#include <thread>
#include <fstream>
#include <sys/stat.h>

namespace lumora {
namespace {

using namespace std::chrono_literals;
using recorder::AutomationErrorCode;

using testsupport::TemporaryDirectory;

const std::string tokenA = "65464aed-970f-450c-8d02-a21f27c102ee";
const std::string tokenB = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";

mode_t modeOf(const std::filesystem::path& p) {
    struct stat info {};
    ::stat(p.c_str(), &info);
    return info.st_mode & 07777;
}

TEST(ScreenCastGrants, KeepsOneTokenPerDisplayPrivatelyAcrossInstances) {
    TemporaryDirectory dir;
    const auto file = dir.path() / "app" / "screencast-grants.json";
    {
        ScreenCastGrants grants(file);
        EXPECT_EQ(grants.token("DP-1"), std::nullopt);
        EXPECT_EQ(grants.store("DP-1", tokenA), std::nullopt);
        EXPECT_EQ(grants.store("HDMI-A-1", tokenB), std::nullopt);
        EXPECT_EQ(grants.store("DP-1", tokenB), std::nullopt);  // the desktop's newer token replaces the old
    }
    EXPECT_EQ(modeOf(file), 0600u);
    ScreenCastGrants later(file);  // as after a restart, or from --grant-screen-access in another process
    EXPECT_EQ(later.token("DP-1"), tokenB);
    EXPECT_EQ(later.token("HDMI-A-1"), tokenB);
    EXPECT_EQ(later.forget("DP-1"), std::nullopt);
    EXPECT_EQ(later.token("DP-1"), std::nullopt);
    EXPECT_EQ(later.all(), (std::map<std::string, std::string>{{"HDMI-A-1", tokenB}}));
    // Only the file itself is left: no temporary beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()), {}), 1);
}

// The running app keeps what it read while the file stays as it was; any change to the file, by
// another process or in place, is seen by the very next look-up.
TEST(ScreenCastGrants, RunningInstanceSeesEveryChangeOfTheFileAtOnce) {
    TemporaryDirectory dir;
    const auto file = dir.path() / "screencast-grants.json";
    ScreenCastGrants running(file);
    ScreenCastGrants other(file);
    EXPECT_EQ(running.token("DP-1"), std::nullopt);
    ASSERT_EQ(other.store("DP-1", tokenA), std::nullopt);
    EXPECT_EQ(running.token("DP-1"), tokenA);
    EXPECT_EQ(running.token("DP-1"), tokenA);
    ASSERT_EQ(other.store("DP-1", tokenB), std::nullopt);
    EXPECT_EQ(running.token("DP-1"), tokenB);
    // Rewritten in place (the same file, the same length): its times moved.
    std::ofstream(file, std::ios::trunc) << R"({"grants": {"DP-1": {"restoreToken": ")" << tokenA << "\"}}}";
    EXPECT_EQ(running.token("DP-1"), tokenA);
    ASSERT_EQ(other.forget("DP-1"), std::nullopt);
    EXPECT_EQ(running.token("DP-1"), std::nullopt);
    ASSERT_EQ(other.store("DP-1", tokenB), std::nullopt);
    std::filesystem::remove(file);
    EXPECT_EQ(running.token("DP-1"), std::nullopt);
}

TEST(ScreenCastGrants, CorruptFileHoldsNoGrantAndIsReplacedByTheNextOne) {
    TemporaryDirectory dir;
    const auto file = dir.path() / "screencast-grants.json";
    ScreenCastGrants grants(file);
    for (const char* text :
         {"{not json", "[1,2]", R"({"grants": 3})", R"({"grants": {"DP-1": {"restoreToken": 5}}})",
          R"({"grants": {"DP-1": {"restoreToken": "not-a-uuid"}}})", R"({"grants": {"DP-1": "x"}})"}) {
        std::ofstream(file) << text;
        EXPECT_EQ(grants.token("DP-1"), std::nullopt) << text;
    }
    EXPECT_EQ(grants.store("DP-1", tokenA), std::nullopt);
    EXPECT_EQ(grants.token("DP-1"), tokenA);
    EXPECT_EQ(modeOf(file), 0600u);  // the replaced file was the user's default mode
}

TEST(ScreenCastGrants, RefusesWhatItCannotKeep) {
    TemporaryDirectory dir;
    ScreenCastGrants grants(dir.path() / "g.json");
    auto refused = grants.store("DP-1", "token");
    ASSERT_TRUE(refused);
    EXPECT_EQ(*refused, "the desktop's restore token \"token\" is not a UUID");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "g.json"));

    std::ofstream(dir.path() / "file") << "x";  // a folder that cannot be made, even by root
    ScreenCastGrants blocked(dir.path() / "file" / "g.json");
    auto problem = blocked.store("DP-1", tokenA);
    ASSERT_TRUE(problem);
    EXPECT_NE(problem->find((dir.path() / "file").string()), std::string::npos) << *problem;
}

TEST(ScreenCastGrants, TokensAreUuids) {
    EXPECT_TRUE(ScreenCastGrants::isValidToken(tokenA));
    EXPECT_TRUE(ScreenCastGrants::isValidToken(tokenB));
    for (const char* bad : {"", "65464aed970f450c8d02a21f27c102ee", "65464aed-970f-450c-8d02-a21f27c102eg",
                            "65464aed-970f-450c-8d02-a21f27c102ee0", "65464aed+970f-450c-8d02-a21f27c102ee"})
        EXPECT_FALSE(ScreenCastGrants::isValidToken(bad)) << bad;
}

CaptureRequest requestFor(std::int64_t width, std::int64_t height, std::filesystem::path out) {
    CaptureRequest r;
    r.display = {"DP-1", "Monitor", width, height, 1.0, true, 0, 0};
    auto size = fittedOutputSize(width, height);
    r.outputWidth = size.width;
    r.outputHeight = size.height;
    r.outputPath = std::move(out);
    r.durationLimitSeconds = 2;
    r.frameRate = 30;
    return r;
}

TEST(ScreenCastPipeline, RecordsTheNodeThroughTheInheritedDescriptorWithinTheLimits) {
    auto request = requestFor(2560, 1440, "/tmp/a folder/Lumora 1.mp4");
    request.frameRate = 60;  // more than Lumora records
    const auto args = ScreenCastCapture::pipelineArguments(request, 47, true);
    auto has = [&](const std::string& a) { return std::find(args.begin(), args.end(), a) != args.end(); };
    EXPECT_EQ(args.front(), "-e");  // an interrupt finishes the file
    EXPECT_TRUE(has("fd=3"));
    EXPECT_TRUE(has("path=47"));
    EXPECT_TRUE(has("do-timestamp=true"));
    EXPECT_TRUE(has("video/x-raw,framerate=30/1"));
    EXPECT_TRUE(has("eos-after=60"));  // 2 s at 30 frames
    EXPECT_TRUE(has("video/x-raw,format=I420,pixel-aspect-ratio=1/1,width=1920,height=1080"));
    EXPECT_TRUE(has("fragment-duration=1000"));
    EXPECT_TRUE(has("x264enc") && has("speed-preset=ultrafast") && has("tune=zerolatency") && has("key-int-max=30"));
    EXPECT_EQ(args.back(), "location=/tmp/a folder/Lumora 1.mp4");  // one argument, spaces and all
    EXPECT_TRUE(has("buffer-mode=unbuffered"));                     // the file grows with the first frame
    const auto plain = ScreenCastCapture::pipelineArguments(request, 47, false);
    EXPECT_EQ(std::count(plain.begin(), plain.end(), "fragment-duration=1000"), 0);
    EXPECT_EQ(plain.back(), args.back());
}

// The pipeline after its source, fed by a test source in place of PipeWire: what it writes is
// what a recording holds.
SavedMedia recordThroughPipeline(const CaptureRequest& request, bool fragmented, const std::string& source) {
    auto args = ScreenCastCapture::pipelineArguments(request, 1, fragmented);
    auto firstLink = std::find(args.begin(), args.end(), "!");
    std::vector<std::string> replaced{"-e"};
    std::istringstream words(source);
    for (std::string w; words >> w;) replaced.push_back(w);
    replaced.insert(replaced.end(), firstLink, args.end());
    auto run = ChildProcess::run("gst-launch-1.0", replaced, 60s);
    EXPECT_TRUE(run.exit.succeeded()) << run.output;
    auto measured = MediaProbe::measure(request.outputPath);
    if (auto* error = std::get_if<std::string>(&measured)) ADD_FAILURE() << *error;
    return std::get_if<SavedMedia>(&measured) ? std::get<SavedMedia>(measured) : SavedMedia{};
}

TEST(ScreenCastPipeline, WritesConstantRateH264OfTheFittedSizeAndEndsAtTheLimit) {
    if (!ChildProcess::locate("gst-launch-1.0")) GTEST_SKIP() << "gst-launch-1.0 is not installed";
    TemporaryDirectory dir;
    auto request = requestFor(400, 300, dir.path() / "a b.mp4");
    request.durationLimitSeconds = 1;
    // Frames at an uneven 7 per second, as damage-driven screen frames come, and far more of
    // them than the limit: the file still has 30 per second and ends after one second.
    auto media = recordThroughPipeline(
        request, true, "videotestsrc num-buffers=40 is-live=false ! video/x-raw,width=400,height=300,framerate=7/1");
    EXPECT_EQ(media.width, 400);
    EXPECT_EQ(media.height, 300);
    EXPECT_NEAR(media.durationSeconds, 1.0, 0.1);
    auto probe = ChildProcess::run(
        "ffprobe",
        {"-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
         "stream=codec_name,r_frame_rate,nb_read_frames", "-of", "csv=p=0", request.outputPath.string()},
        20s);
    EXPECT_EQ(probe.output, "h264,30/1,30\n");
}

struct ResponseCase {
    const char* label;
    PortalStep step;
    std::optional<std::uint32_t> response;
    std::optional<AutomationErrorCode> code;
    const char* message;
};
std::ostream& operator<<(std::ostream& out, const ResponseCase& c) { return out << c.label; }

class PortalResponse : public testing::TestWithParam<ResponseCase> {};

TEST_P(PortalResponse, Means) {
    const auto& c = GetParam();
    auto error = portalResponseError(c.step, c.response, 120s);
    if (!c.code) {
        EXPECT_EQ(error, std::nullopt);
        return;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, *c.code);
    EXPECT_EQ(error->message, c.message);
    if (*c.code == AutomationErrorCode::permissionRequired)
        EXPECT_EQ(error->hint, std::string(screenAccessHint));
    else
        EXPECT_EQ(error->hint, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PortalResponse,
    testing::Values(
        ResponseCase{"SessionOpened", PortalStep::createSession, 0u, std::nullopt, ""},
        ResponseCase{"Granted", PortalStep::start, 0u, std::nullopt, ""},
        ResponseCase{"UserCancelled", PortalStep::start, 1u, AutomationErrorCode::permissionRequired,
                     "The user did not allow Lumora to record the screen (the desktop's screen-sharing request was "
                     "cancelled)."},
        ResponseCase{"SourceChoiceEndedOtherwise", PortalStep::selectSources, 2u,
                     AutomationErrorCode::permissionRequired,
                     "The desktop did not grant Lumora access to the screen (its screen-cast portal ended the "
                     "SelectSources request with response 2)."},
        ResponseCase{"StartEndedOtherwise", PortalStep::start, 2u, AutomationErrorCode::permissionRequired,
                     "The desktop did not grant Lumora access to the screen (its screen-cast portal ended the Start "
                     "request with response 2)."},
        ResponseCase{"NobodyAnswered", PortalStep::start, std::nullopt, AutomationErrorCode::permissionRequired,
                     "Nobody answered the desktop's request to share the screen within 120 seconds; nothing was "
                     "recorded."},
        ResponseCase{"SessionRefused", PortalStep::createSession, 2u, AutomationErrorCode::captureFailed,
                     "The desktop's screen-cast portal could not open a session (response 2)."},
        ResponseCase{"SessionNeverOpened", PortalStep::createSession, std::nullopt, AutomationErrorCode::captureFailed,
                     "The desktop's screen-cast portal did not open a session within 120 seconds."}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ScreenCastCapture, UnreachableBusFailsTheCaptureWithItsReason) {
    TemporaryDirectory dir;
    ScreenCastGrants grants(dir.path() / "g.json");
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<CaptureOutcome> outcome;
    bool started = false;
    ScreenCastCapture::Setup setup{"unix:path=" + (dir.path() / "no-bus").string(), &grants, nullptr, {}};
    ScreenCastCapture capture(setup, requestFor(640, 480, dir.path() / "x.mp4"),
                              {[&] { started = true; },
                               [&](CaptureOutcome o, CaptureEnd end) {
                                   std::lock_guard lock(mutex);
                                   EXPECT_EQ(end, CaptureEnd::failed);
                                   outcome = std::move(o);
                                   changed.notify_all();
                               }});
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return outcome.has_value(); }));
    auto* error = std::get_if<CaptureError>(&*outcome);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, AutomationErrorCode::captureFailed);
    EXPECT_EQ(error->message.rfind("The desktop's session bus cannot be reached (", 0), 0u) << error->message;
    EXPECT_FALSE(started);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "x.mp4"));
}

TEST(WaylandDisplays, OutputsBecomeDisplaysKnownByName) {
    std::vector<WaylandOutput> outputs{
        {31, "DP-1", "Dell U2720Q (DP-1)", 3840, 2160, 2, 0, 0, 2560, 1440},  // fractional: 1.5
        {32, "", "", 1280, 1024, 1, 2560, 0, 0, 0},
        {33, "HDMI-A-1", "", 0, 0, 1, 0, 0, 0, 0},  // no current mode: off
        {34, "HEADLESS-1", "", 1920, 1080, 1, 0, 0, 0, 0},
    };
    auto displays = WaylandOutputs::toDisplays(outputs);
    ASSERT_EQ(displays.size(), 3u);
    EXPECT_EQ(displays[0], (CaptureDisplay{"DP-1", "Dell U2720Q (DP-1)", 3840, 2160, 1.5, true, 0, 0}));
    EXPECT_EQ(displays[1], (CaptureDisplay{"wl-output-32", "Monitor wl-output-32", 1280, 1024, 1.0, false, 2560, 0}));
    EXPECT_EQ(displays[2], (CaptureDisplay{"HEADLESS-1", "HEADLESS-1", 1920, 1080, 1.0, false, 0, 0}));
}

TEST(WaylandDisplays, StreamIsMatchedToTheDisplayItShows) {
    std::vector<CaptureDisplay> displays{{"DP-1", "A", 3840, 2160, 2.0, true, 0, 0},
                                         {"DP-2", "B", 1920, 1080, 1.0, false, 1920, 0}};
    EXPECT_EQ(WaylandBackend::displayOfStream({5, 1920, 0, 1920, 1080}, displays), "DP-2");
    EXPECT_EQ(WaylandBackend::displayOfStream({5, 0, 0, 1920, 1080}, displays), "DP-1");
    EXPECT_EQ(WaylandBackend::displayOfStream({5, 0, 0, 800, 600}, displays), "");  // neither
    EXPECT_EQ(WaylandBackend::displayOfStream({5, {}, {}, {}, {}}, displays), "");  // no position told
    EXPECT_EQ(WaylandBackend::displayOfStream({5, {}, {}, {}, {}}, {displays[1]}), "DP-2");
}

TEST(WaylandDisplays, NoCompositorListsNothingAndSaysWhy) {
    auto listing = WaylandOutputs::list("/nonexistent/wayland-0", 1s);
    EXPECT_TRUE(listing.outputs.empty());
    EXPECT_EQ(listing.error.rfind("cannot connect to the Wayland compositor at /nonexistent/wayland-0: ", 0), 0u)
        << listing.error;
    EXPECT_EQ(WaylandOutputs::list("", 1s).error, "no Wayland compositor was found");
}

}  // namespace
}  // namespace lumora
