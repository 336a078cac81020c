// Every way a recording pipeline can end, with a test source standing in for the desktop's
// stream: stop, the duration limit, no first frame, a pipeline that cannot start, one that dies,
// and one killed while finishing its file.

#include "lumora/ChildProcess.h"
#include "lumora/GstRecording.h"
#include "lumora/ScreenCastCapture.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <optional>

#include <algorithm>
#include <sstream>
#include <thread>

namespace lumora {
namespace {

using namespace std::chrono_literals;
using recorder::AutomationErrorCode;

class GstRecordingTest : public testing::Test {
protected:
    void SetUp() override {
        if (!ChildProcess::locate("gst-launch-1.0")) GTEST_SKIP() << "gst-launch-1.0 is not installed";
        dir_ = temporary_.emplace("lumora-gst").path();
        request_.display = {"HEADLESS-1", "Headless", 320, 240, 1.0, true, 0, 0};
        request_.outputWidth = 320;
        request_.outputHeight = 240;
        request_.outputPath = dir_ / "Lumora test.mp4";
        request_.durationLimitSeconds = 60;
        request_.frameRate = 30;
        timing_.firstFrame = 8s;
        timing_.interruptWait = 3s;
    }
    void TearDown() override { temporary_.reset(); }

    // The real pipeline, its PipeWire source replaced by `source` (empty: kept as it is).
    std::vector<std::string> arguments(const std::string& source, bool fragmented = true) const {
        auto args = ScreenCastCapture::pipelineArguments(request_, 1, fragmented);
        if (source.empty()) return args;
        std::vector<std::string> replaced{"-e"};
        std::istringstream words(source);
        for (std::string w; words >> w;) replaced.push_back(w);
        replaced.insert(replaced.end(), std::find(args.begin(), args.end(), "!"), args.end());
        return replaced;
    }

    // Runs the recording; stops it `stopAfter` past its first frame (or at once, when it has
    // none yet and `stopAfter` is zero).
    GstRecording::Ending record(const std::vector<std::string>& args,
                                std::optional<std::chrono::milliseconds> stopAfter) {
        std::atomic<bool> stop{false}, started{false};
        std::thread stopper;
        if (stopAfter) {
            stopper = std::thread([&, wait = *stopAfter] {
                if (wait > 0ms) {
                    for (int i = 0; i < 400 && !started; ++i) std::this_thread::sleep_for(25ms);
                    std::this_thread::sleep_for(wait);
                }
                stop = true;
            });
        }
        startedAt_.reset();
        auto ending = GstRecording::run(args, request_, -1, timing_, stop, [&] {
            startedAt_ = std::chrono::steady_clock::now();
            startCalls_++;
            started = true;
        });
        if (stopper.joinable()) stopper.join();
        return ending;
    }

    static constexpr const char* liveSource =
        "videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=30/1";
    // A live source whose frames never get through.
    static constexpr const char* silentSource =
        "videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=30/1 ! valve drop=true";

    std::optional<testsupport::TemporaryDirectory> temporary_;
    std::filesystem::path dir_;
    CaptureRequest request_;
    GstRecording::Timing timing_;
    std::optional<std::chrono::steady_clock::time_point> startedAt_;
    int startCalls_ = 0;
};

TEST_F(GstRecordingTest, StopFinishesAFileAsLongAsTheRecording) {
    auto [outcome, end] = record(arguments(liveSource), 2s);
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(outcome));
    const auto& media = std::get<SavedMedia>(outcome);
    EXPECT_EQ(end, CaptureEnd::stopRequested);
    EXPECT_EQ(startCalls_, 1);
    EXPECT_NEAR(media.durationSeconds, 2.0, 0.5);  // counted from the first frame
    EXPECT_EQ(media.width, 320);
    EXPECT_GT(media.bytes, 0);
}

TEST_F(GstRecordingTest, EndsByItselfAtTheDurationLimit) {
    request_.durationLimitSeconds = 1;
    auto [outcome, end] = record(arguments(liveSource), std::nullopt);
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(outcome));
    EXPECT_EQ(end, CaptureEnd::durationLimit);
    EXPECT_NEAR(std::get<SavedMedia>(outcome).durationSeconds, 1.0, 0.05);
}

TEST_F(GstRecordingTest, NoFirstFrameIsItsOwnFailureNotAHang) {
    timing_.firstFrame = 1500ms;
    const auto begin = std::chrono::steady_clock::now();
    auto [outcome, end] = record(arguments(silentSource), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 8s);
    ASSERT_TRUE(std::holds_alternative<CaptureError>(outcome));
    const auto& error = std::get<CaptureError>(outcome);
    EXPECT_EQ(end, CaptureEnd::failed);
    EXPECT_EQ(error.code, AutomationErrorCode::captureFailed);
    EXPECT_EQ(error.message,
              "The desktop granted the screen but sent no picture within 2 seconds; nothing was recorded.");
    EXPECT_EQ(error.hint,
              "Make sure the screen is on and not locked, then start a new recording; if no picture comes "
              "again, ask the user to check the desktop's screen sharing.");
    EXPECT_EQ(startCalls_, 0);
    EXPECT_FALSE(std::filesystem::exists(request_.outputPath));
}

TEST_F(GstRecordingTest, StopBeforeTheFirstFrameCancels) {
    auto [outcome, end] = record(arguments(silentSource), 0ms);
    EXPECT_TRUE(std::holds_alternative<CaptureCancelled>(outcome));
    EXPECT_EQ(end, CaptureEnd::stopRequested);
    EXPECT_FALSE(std::filesystem::exists(request_.outputPath));
}

TEST_F(GstRecordingTest, StreamConnectionWithheldFailsTheStartAtOnceWithGStreamersWords) {
    // The pipeline as Lumora runs it for the simulated failing start: no stream to connect to.
    auto [args, environment] = ScreenCastCapture::withoutStream(arguments(""));
    EXPECT_EQ(std::count(args.begin(), args.end(), "fd=3"), 0);
    std::atomic<bool> stop{false};
    const auto begin = std::chrono::steady_clock::now();
    auto [outcome, end] = GstRecording::run(
        args, request_, -1, timing_, stop, [] {}, environment);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    ASSERT_TRUE(std::holds_alternative<CaptureError>(outcome));
    const auto& error = std::get<CaptureError>(outcome);
    EXPECT_EQ(end, CaptureEnd::failed);
    EXPECT_EQ(error.code, AutomationErrorCode::captureFailed);
    EXPECT_EQ(error.message.rfind("The capture could not be started (gst-launch-1.0 ended with exit status ", 0), 0u)
        << error.message;
    EXPECT_NE(error.message.find(" GStreamer said: ERROR: from element"), std::string::npos) << error.message;
    EXPECT_NE(error.message.find("can't connect"), std::string::npos) << error.message;
    EXPECT_EQ(error.hint, std::nullopt);
}

TEST_F(GstRecordingTest, MissingProgramFailsTheStart) {
    auto saved = std::getenv("PATH") ? std::string(std::getenv("PATH")) : std::string();
    ::setenv("PATH", dir_.c_str(), 1);
    auto [outcome, end] = record(arguments(liveSource), std::nullopt);
    ::setenv("PATH", saved.c_str(), 1);
    ASSERT_TRUE(std::holds_alternative<CaptureError>(outcome));
    EXPECT_EQ(
        std::get<CaptureError>(outcome).message,
        "The capture could not be started: gst-launch-1.0 could not be run (programNotFound(\"gst-launch-1.0\")).");
}

TEST_F(GstRecordingTest, PipelineDyingMidwayKeepsTheFragmentsWritten) {
    request_.failure = CaptureFailureMode::during;
    timing_.crashAfter = 2500ms;  // past the first fragment
    auto [outcome, end] = record(arguments(liveSource), std::nullopt);
    ASSERT_TRUE(std::holds_alternative<CaptureError>(outcome));
    const auto& error = std::get<CaptureError>(outcome);
    EXPECT_EQ(end, CaptureEnd::failed);
    EXPECT_EQ(error.message,
              "The capture stopped unexpectedly (gst-launch-1.0 ended with signal 9). A partial recording "
              "was kept at " +
                  request_.outputPath.string() + ".");
    EXPECT_TRUE(std::filesystem::exists(request_.outputPath));
}

TEST_F(GstRecordingTest, KilledWhileFinishingTheFileIsAFinalizationFailure) {
    request_.failure = CaptureFailureMode::finalize;
    auto [outcome, end] = record(arguments(liveSource, false), 1s);
    ASSERT_TRUE(std::holds_alternative<CaptureError>(outcome));
    const auto& error = std::get<CaptureError>(outcome);
    EXPECT_EQ(end, CaptureEnd::failed);
    EXPECT_EQ(error.code, AutomationErrorCode::finalizationFailed);
    EXPECT_EQ(error.message.rfind("The recording could not be saved: ", 0), 0u) << error.message;
    EXPECT_FALSE(std::filesystem::exists(request_.outputPath));
}

}  // namespace
}  // namespace lumora
