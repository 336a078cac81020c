// The capture back ends with the real ffmpeg and ffprobe: short, small recordings.

#include "lumora/CaptureThread.h"
#include "lumora/ChildProcess.h"
#include "lumora/FfmpegCapture.h"
#include "lumora/MediaProbe.h"
#include "lumora/SyntheticBackend.h"
#include "lumora/X11Backend.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <thread>
#include <csignal>
#include <mutex>
#include <unistd.h>

namespace lumora {
namespace {

using namespace std::chrono_literals;

using testsupport::TemporaryDirectory;

// Collects what a capture reports, for the test thread to wait on.
class Recording {
public:
    CaptureObserver observer() {
        return {[this] {
                    std::lock_guard lock(mutex_);
                    started_ = true;
                    changed_.notify_all();
                },
                [this](CaptureOutcome outcome, CaptureEnd end) {
                    std::lock_guard lock(mutex_);
                    outcome_ = std::move(outcome);
                    end_ = end;
                    changed_.notify_all();
                }};
    }
    bool waitStarted(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return started_ || outcome_.has_value(); }) && started_;
    }
    bool waitFinished(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return outcome_.has_value(); });
    }
    CaptureOutcome outcome() {
        std::lock_guard lock(mutex_);
        return *outcome_;
    }
    CaptureEnd end() {
        std::lock_guard lock(mutex_);
        return end_;
    }
    bool started() {
        std::lock_guard lock(mutex_);
        return started_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool started_ = false;
    std::optional<CaptureOutcome> outcome_;
    CaptureEnd end_ = CaptureEnd::failed;
};

CaptureRequest smallRequest(const std::filesystem::path& dir, std::int64_t limit = 3600) {
    CaptureRequest r;
    r.display = {"1", "Test", 160, 120, 1.0, true, 0, 0};
    r.outputPath = dir / "out.mp4";
    r.durationLimitSeconds = limit;
    r.outputWidth = 160;
    r.outputHeight = 120;
    r.frameRate = 30;
    return r;
}

constexpr double twoFrames = 2.0 / 30.0 + 0.01;

TEST(FittedOutputSize, KeepsSizesWithinTheLimitAndScalesLargerOnesDownEvenly) {
    EXPECT_EQ(fittedOutputSize(1920, 1080), (VideoSize{1920, 1080}));
    EXPECT_EQ(fittedOutputSize(160, 120), (VideoSize{160, 120}));
    EXPECT_EQ(fittedOutputSize(2560, 1440), (VideoSize{1920, 1080}));
    EXPECT_EQ(fittedOutputSize(3840, 1600), (VideoSize{1920, 800}));
    EXPECT_EQ(fittedOutputSize(1080, 1920), (VideoSize{606, 1080}));
    EXPECT_EQ(fittedOutputSize(1367, 769), (VideoSize{1366, 768}));
    EXPECT_EQ(fittedOutputSize(0, 100), (VideoSize{}));
}

TEST(SyntheticCapture, EndsByItselfAtTheDurationLimitWithAMeasuredPlayableFile) {
    TemporaryDirectory dir;
    SyntheticBackend backend({}, true);
    Recording rec;
    auto request = smallRequest(dir.path(), 1);
    auto capture = backend.start(request, rec.observer());
    ASSERT_TRUE(rec.waitStarted(10s));
    ASSERT_TRUE(rec.waitFinished(15s));
    EXPECT_EQ(rec.end(), CaptureEnd::durationLimit);
    auto outcome = rec.outcome();
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(outcome));
    const auto media = std::get<SavedMedia>(outcome);
    EXPECT_EQ(media.path, request.outputPath);
    EXPECT_EQ(media.width, 160);
    EXPECT_EQ(media.height, 120);
    EXPECT_NEAR(media.durationSeconds, 1.0, twoFrames);
    EXPECT_EQ(media.bytes, std::int64_t(std::filesystem::file_size(request.outputPath)));
}

TEST(SyntheticCapture, StopFinalisesTheFileAndScalesToTheRequestedSize) {
    TemporaryDirectory dir;
    SyntheticBackend backend({}, false);
    Recording rec;
    auto request = smallRequest(dir.path());
    request.display.pixelWidth = 320;
    request.display.pixelHeight = 240;
    auto capture = backend.start(request, rec.observer());
    ASSERT_TRUE(rec.waitStarted(10s));
    std::this_thread::sleep_for(700ms);
    capture->stop();
    capture->stop();  // repeated stops are harmless
    ASSERT_TRUE(rec.waitFinished(15s));
    EXPECT_EQ(rec.end(), CaptureEnd::stopRequested);
    auto outcome = rec.outcome();
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(outcome));
    const auto media = std::get<SavedMedia>(outcome);
    EXPECT_EQ(media.width, 160);
    EXPECT_EQ(media.height, 120);
    EXPECT_GT(media.durationSeconds, 0.3);
    EXPECT_LT(media.durationSeconds, 5.0);
    // What the capture reports is what a fresh measurement of the file says.
    auto again = MediaProbe::measure(request.outputPath);
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(again));
    EXPECT_EQ(std::get<SavedMedia>(again), media);
}

TEST(SyntheticCapture, SystemAudioAddsAnAudioTrack) {
    TemporaryDirectory dir;
    SyntheticBackend backend({}, true);
    Recording rec;
    auto request = smallRequest(dir.path(), 1);
    request.systemAudio = true;
    auto capture = backend.start(request, rec.observer());
    ASSERT_TRUE(rec.waitFinished(15s));
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(rec.outcome()));
    auto probe = ChildProcess::run(
        "ffprobe",
        {"-v", "error", "-show_entries", "stream=codec_type,codec_name", "-of", "csv=p=0", request.outputPath.string()},
        10s);
    EXPECT_NE(probe.output.find("h264,video"), std::string::npos) << probe.output;
    EXPECT_NE(probe.output.find("aac,audio"), std::string::npos) << probe.output;
}

TEST(SyntheticCapture, StopBeforeCaptureBeganCancelsAndLeavesNoFile) {
    TemporaryDirectory dir;
    SyntheticBackend backend({}, false);
    Recording rec;
    auto request = smallRequest(dir.path());
    auto capture = backend.start(request, rec.observer());
    capture->stop();
    ASSERT_TRUE(rec.waitFinished(15s));
    EXPECT_TRUE(std::holds_alternative<CaptureCancelled>(rec.outcome()));
    EXPECT_FALSE(rec.started());
    EXPECT_FALSE(std::filesystem::exists(request.outputPath));
}

struct FailureCase {
    CaptureFailureMode mode;
    recorder::AutomationErrorCode code;
    bool reachesRecording;
};

class SyntheticCaptureFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(SyntheticCaptureFailure, EndsFailedWithItsCodeAReadableMessageAndNoBrokenFile) {
    TemporaryDirectory dir;
    SyntheticBackend backend({}, false);
    Recording rec;
    auto request = smallRequest(dir.path(), 2);
    request.failure = GetParam().mode;
    auto capture = backend.start(request, rec.observer());
    if (GetParam().reachesRecording) {
        ASSERT_TRUE(rec.waitStarted(10s));
        if (GetParam().mode == CaptureFailureMode::finalize) capture->stop();
    }
    ASSERT_TRUE(rec.waitFinished(15s));
    EXPECT_EQ(rec.started(), GetParam().reachesRecording);
    EXPECT_EQ(rec.end(), CaptureEnd::failed);
    auto outcome = rec.outcome();
    ASSERT_TRUE(std::holds_alternative<CaptureError>(outcome));
    const auto& error = std::get<CaptureError>(outcome);
    EXPECT_EQ(error.code, GetParam().code);
    EXPECT_GT(error.message.size(), 20u);
    EXPECT_EQ(error.message.back() == '.' || error.message.find("ffmpeg said") != std::string::npos, true)
        << error.message;
    EXPECT_FALSE(std::filesystem::exists(request.outputPath));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SyntheticCaptureFailure,
    testing::Values(FailureCase{CaptureFailureMode::start, recorder::AutomationErrorCode::captureFailed, false},
                    FailureCase{CaptureFailureMode::during, recorder::AutomationErrorCode::captureFailed, true},
                    FailureCase{CaptureFailureMode::finalize, recorder::AutomationErrorCode::finalizationFailed,
                                true}));

TEST(SyntheticCapture, UnwritableOutputFailsTheCapture) {
    SyntheticBackend backend({}, false);
    Recording rec;
    auto request = smallRequest("/proc/lumora-no-such-dir");
    auto capture = backend.start(request, rec.observer());
    ASSERT_TRUE(rec.waitFinished(15s));
    auto outcome = rec.outcome();
    ASSERT_TRUE(std::holds_alternative<CaptureError>(outcome));
    EXPECT_EQ(std::get<CaptureError>(outcome).code, recorder::AutomationErrorCode::captureFailed);
}

TEST(SyntheticBackend, ListsItsVirtualDisplaysWithTheFirstAsDefault) {
    SyntheticBackend backend({{"a", "A", 640, 360, 2.0}, {"b", "B", 320, 200, 1.0}}, false);
    auto displays = backend.displays();
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_EQ(displays[0], (CaptureDisplay{"a", "A", 640, 360, 2.0, true, 0, 0}));
    EXPECT_FALSE(displays[1].isDefault);
    EXPECT_FALSE(backend.systemAudioSupported());
}

TEST(MediaProbe, RefusesFilesThatAreNotVideos) {
    TemporaryDirectory dir;
    auto missing = MediaProbe::measure(dir.path() / "none.mp4");
    ASSERT_TRUE(std::holds_alternative<std::string>(missing));
    EXPECT_NE(std::get<std::string>(missing).find("does not exist"), std::string::npos);
    auto junk = dir.path() / "junk.mp4";
    { std::ofstream(junk) << "not a video at all"; }
    EXPECT_TRUE(std::holds_alternative<std::string>(MediaProbe::measure(junk)));
    EXPECT_TRUE(std::holds_alternative<std::string>(MediaProbe::fromProbeOutput(R"({"streams": []})", junk, 5)));
    EXPECT_TRUE(std::holds_alternative<std::string>(MediaProbe::fromProbeOutput(
        R"({"streams": [{"width": 10, "height": 10, "nb_frames": "0", "duration": "1"}]})", junk, 5)));
    auto parsed = MediaProbe::fromProbeOutput(
        R"({"streams": [{"width": 10, "height": 8}], "format": {"duration": "2.5"}})", junk, 5);
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(parsed));
    EXPECT_EQ(std::get<SavedMedia>(parsed), (SavedMedia{junk, 2.5, 10, 8, 5}));
}

// Starts an Xvfb server on a free display number for one test, and stops it.
class VirtualXServer {
public:
    VirtualXServer() {
        for (int number = 90 + ::getpid() % 50; number < 250 && !process_; number += 7) {
            if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) continue;
            display_ = ":" + std::to_string(number);
            process_.emplace("Xvfb",
                             std::vector<std::string>{display_, "-screen", "0", "320x240x24", "-nolisten", "tcp"});
            auto deadline = std::chrono::steady_clock::now() + 10s;
            while (std::chrono::steady_clock::now() < deadline && !process_->poll()) {
                if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) return;
                std::this_thread::sleep_for(50ms);
            }
            process_.reset();
        }
    }
    ~VirtualXServer() {
        if (process_) {
            process_->signal(SIGTERM);
            process_->waitFor(5s);
        }
    }
    bool running() const { return process_.has_value(); }
    const std::string& display() const { return display_; }

private:
    std::string display_;
    std::optional<ChildProcess> process_;
};

TEST(X11Capture, RecordsAnXvfbScreenListedByXrandr) {
    if (!ChildProcess::locate("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    VirtualXServer server;
    ASSERT_TRUE(server.running());
    X11Backend backend(server.display());
    auto displays = backend.displays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].pixelWidth, 320);
    EXPECT_EQ(displays[0].pixelHeight, 240);
    EXPECT_TRUE(displays[0].isDefault);

    TemporaryDirectory dir;
    Recording rec;
    auto request = smallRequest(dir.path(), 1);
    request.display = displays[0];
    auto capture = backend.start(request, rec.observer());
    ASSERT_TRUE(rec.waitStarted(10s));
    ASSERT_TRUE(rec.waitFinished(15s));
    auto outcome = rec.outcome();
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(outcome));
    EXPECT_EQ(std::get<SavedMedia>(outcome).width, 160);  // fitted to the requested output size
    EXPECT_NEAR(std::get<SavedMedia>(outcome).durationSeconds, 1.0, twoFrames);
}

TEST(X11Capture, AMissingXServerListsNoDisplaysAndFailsToStart) {
    X11Backend backend(":65533");
    EXPECT_TRUE(backend.displays().empty());
    TemporaryDirectory dir;
    Recording rec;
    auto request = smallRequest(dir.path(), 1);
    auto capture = backend.start(request, rec.observer());
    ASSERT_TRUE(rec.waitFinished(15s));
    auto outcome = rec.outcome();
    ASSERT_TRUE(std::holds_alternative<CaptureError>(outcome));
    EXPECT_EQ(std::get<CaptureError>(outcome).code, recorder::AutomationErrorCode::captureFailed);
}

TEST(ChildProcess, RunsAProgramWithinATimeLimit) {
    auto echo = ChildProcess::run("sh", {"-c", "printf hello; exit 3"}, 5s);
    EXPECT_EQ(echo.output, "hello");
    EXPECT_EQ(echo.exit.status, 3);
    auto slow = ChildProcess::run("sleep", {"10"}, 200ms);
    EXPECT_TRUE(slow.timedOut);
    EXPECT_EQ(slow.exit.signal, SIGKILL);
    EXPECT_THROW(ChildProcess("lumora-no-such-program", {}), ChildProcess::Failure);
}

// An "ffmpeg" of the test's own, first in PATH, that ignores "q": the capture must go on to
// SIGINT (which this one answers by writing the file) and, if that is ignored too, to SIGKILL.
class StubbornEncoder {
public:
    explicit StubbornEncoder(bool answersInterrupt) {
        // A real clip for the stand-in to deliver as its "finalised" output.
        clip_ = dir_.path() / "clip.mp4";
        auto made =
            ChildProcess::run("ffmpeg",
                              {"-v", "error", "-f", "lavfi", "-i", "testsrc2=size=64x48:rate=30", "-t", "1", "-c:v",
                               "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-y", clip_.string()},
                              20s);
        EXPECT_TRUE(made.exit.succeeded());
        auto script = dir_.path() / "ffmpeg";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "for last in \"$@\"; do :; done\n"
                              << (answersInterrupt ? "trap 'cp \"" + clip_.string() + "\" \"$last\"; exit 255' INT\n"
                                                   : std::string("trap '' INT\n"))
                              << "echo frame=1\n"
                                 "while :; do sleep 0.05; done\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        const char* path = std::getenv("PATH");
        oldPath_ = path ? path : "";
        ::setenv("PATH", (dir_.path().string() + ":" + oldPath_).c_str(), 1);
    }
    ~StubbornEncoder() { ::setenv("PATH", oldPath_.c_str(), 1); }

private:
    TemporaryDirectory dir_;
    std::filesystem::path clip_;
    std::string oldPath_;
};

// An "ffmpeg" of the test's own, first in PATH, that starts writing and then fails with `error`
// before anything playable reached the file.
class EncoderOutOfSpace {
public:
    explicit EncoderOutOfSpace(const std::string& error) {
        auto script = dir_.path() / "ffmpeg";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "for last in \"$@\"; do :; done\n"
                                 "printf 'ftyp' > \"$last\"\n"
                                 "echo frame=1\n"
                                 "sleep 0.3\n"
                                 "echo 'av_interleaved_write_frame(): "
                              << error
                              << "' >&2\n"
                                 "echo 'Conversion failed!' >&2\n"
                                 "exit 1\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        const char* path = std::getenv("PATH");
        oldPath_ = path ? path : "";
        ::setenv("PATH", (dir_.path().string() + ":" + oldPath_).c_str(), 1);
    }
    ~EncoderOutOfSpace() { ::setenv("PATH", oldPath_.c_str(), 1); }

private:
    TemporaryDirectory dir_;
    std::string oldPath_;
};

class FfmpegCaptureOutOfSpace : public testing::TestWithParam<const char*> {};

TEST_P(FfmpegCaptureOutOfSpace, BeforeAnythingPlayableWasWrittenFailsSayingTheDiskIsFullAndKeepsNoShell) {
    TemporaryDirectory dir;
    auto request = smallRequest(dir.path());
    Recording rec;
    EncoderOutOfSpace encoder(GetParam());
    FfmpegCapture capture(std::vector<std::string>{request.outputPath.string()}, request, rec.observer());
    ASSERT_TRUE(rec.waitFinished(10s));
    EXPECT_TRUE(rec.started());
    auto outcome = rec.outcome();
    ASSERT_TRUE(std::holds_alternative<CaptureError>(outcome));
    const auto& error = std::get<CaptureError>(outcome);
    EXPECT_EQ(error.code, recorder::AutomationErrorCode::finalizationFailed);
    EXPECT_EQ(error.message, "The disk is full: the recording stopped when " + dir.path().string() +
                                 " ran out of space. Nothing playable had been written, so no file was kept.");
    EXPECT_TRUE(error.hint);
    EXPECT_FALSE(std::filesystem::exists(request.outputPath));
}

INSTANTIATE_TEST_SUITE_P(Errors, FfmpegCaptureOutOfSpace,
                         testing::Values("No space left on device", "Disk quota exceeded"),
                         [](const auto& info) { return std::string(info.index == 0 ? "NoSpace" : "QuotaExceeded"); });

TEST(FfmpegCapture, AnEncoderThatIgnoresQuitIsInterruptedAndItsFileSaved) {
    TemporaryDirectory dir;
    auto request = smallRequest(dir.path());
    Recording rec;
    StubbornEncoder encoder(true);
    FfmpegCapture capture(std::vector<std::string>{request.outputPath.string()}, request, rec.observer(),
                          FfmpegCapture::Timing{300ms, 2000ms, 600ms, 5000ms});
    ASSERT_TRUE(rec.waitStarted(5s));
    auto stoppedAt = std::chrono::steady_clock::now();
    capture.stop();
    ASSERT_TRUE(rec.waitFinished(10s));
    EXPECT_GE(std::chrono::steady_clock::now() - stoppedAt, 300ms);
    auto outcome = rec.outcome();
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(outcome))
        << (std::holds_alternative<CaptureError>(outcome) ? std::get<CaptureError>(outcome).message : "cancelled");
    EXPECT_EQ(std::get<SavedMedia>(outcome).width, 64);
    EXPECT_EQ(rec.end(), CaptureEnd::stopRequested);
}

TEST(FfmpegCapture, AnEncoderThatIgnoresQuitAndInterruptIsKilledWithinTheBoundedWaits) {
    TemporaryDirectory dir;
    auto request = smallRequest(dir.path());
    Recording rec;
    StubbornEncoder encoder(false);
    FfmpegCapture capture(std::vector<std::string>{request.outputPath.string()}, request, rec.observer(),
                          FfmpegCapture::Timing{300ms, 300ms, 600ms, 5000ms});
    ASSERT_TRUE(rec.waitStarted(5s));
    auto stoppedAt = std::chrono::steady_clock::now();
    capture.stop();
    ASSERT_TRUE(rec.waitFinished(10s));
    auto took = std::chrono::steady_clock::now() - stoppedAt;
    EXPECT_GE(took, 600ms);
    EXPECT_LT(took, 4s);
    auto outcome = rec.outcome();
    ASSERT_TRUE(std::holds_alternative<CaptureError>(outcome));
    EXPECT_EQ(std::get<CaptureError>(outcome).code, recorder::AutomationErrorCode::finalizationFailed);
}

// A capture's thread, destroyed from elsewhere, asks its body to stop and waits for it to end.
TEST(CaptureThread, DestroyedElsewhereItStopsItsBodyAndWaitsForIt) {
    bool sawStop = false, bodyEnded = false;
    {
        CaptureThread thread(CaptureObserver{});
        thread.start([&] {
            for (int i = 0; i < 5000 && !thread.stopRequested(); ++i) std::this_thread::sleep_for(1ms);
            sawStop = thread.stopRequested();
            std::this_thread::sleep_for(50ms);
            bodyEnded = true;
        });
    }
    EXPECT_TRUE(sawStop);
    EXPECT_TRUE(bodyEnded);
}

// An observer may release the capture while being told of its end, on the capture's own thread:
// the thread is then let go, since joining itself would end the program.
TEST(CaptureThread, ReleasedFromItsOwnFinishingCallbackItIsLetGo) {
    auto owner = std::make_shared<std::unique_ptr<CaptureThread>>();
    std::promise<int> released;
    int calls = 0;
    CaptureObserver observer;
    observer.didFinish = [owner, &released, &calls](const CaptureOutcome&, CaptureEnd) {
        owner->reset();
        released.set_value(++calls);
    };
    *owner = std::make_unique<CaptureThread>(std::move(observer));
    CaptureThread* thread = owner->get();
    thread->start([thread] { thread->finish(CaptureCancelled{}, CaptureEnd::stopRequested); });
    auto told = released.get_future();
    ASSERT_EQ(told.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(told.get(), 1);
    EXPECT_EQ(*owner, nullptr);
}

}  // namespace
}  // namespace lumora
