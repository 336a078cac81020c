// Recording onto a small file system of its own (a tmpfs mounted for the test): a disk that
// fills during a recording, and one too full to start.

#include "lumora/MediaProbe.h"
#include "lumora/Recorder.h"
#include "lumora/SyntheticBackend.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace lumora {
namespace {

using namespace std::chrono_literals;
using recorder::AutomationErrorCode;
using recorder::AutomationSessionState;

using testsupport::TemporaryDirectory;

// A tmpfs of `megabytes` on a temporary folder; mounting needs root (or a mount namespace).
class SmallFileSystem {
public:
    explicit SmallFileSystem(int megabytes) {
        const std::string options = "size=" + std::to_string(megabytes) + "m,mode=0700";
        if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
            mounted_ = true;
        else
            whyNot_ = std::strerror(errno);
    }
    ~SmallFileSystem() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);  // the folder itself goes after
    }
    bool mounted() const { return mounted_; }
    const std::string& whyNot() const { return whyNot_; }
    const std::filesystem::path& path() const { return path_; }

    // Writes a file until `leaveBytes` are left (zero: until the disk is full).
    void fill(std::uintmax_t leaveBytes) const {
        int fd = ::open((path_ / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ASSERT_GE(fd, 0);
        std::vector<char> block(64 * 1024, 'x');
        while (true) {
            const auto left = std::filesystem::space(path_).available;
            if (left <= leaveBytes) break;
            const auto chunk = std::min<std::uintmax_t>(block.size(), left - leaveBytes);
            if (::write(fd, block.data(), chunk) <= 0) break;  // full
        }
        ::close(fd);
    }

private:
    TemporaryDirectory folder_{"lumora-small-disk"};
    const std::filesystem::path path_ = folder_.path();
    bool mounted_ = false;
    std::string whyNot_;
};

#define REQUIRE_MOUNTED(fs) \
    if (!(fs).mounted())    \
    GTEST_SKIP() << "a tmpfs cannot be mounted here (" << (fs).whyNot() << "); run as root to test a full disk"

Recorder::StartOrder smallOrder(const std::filesystem::path& folder) {
    Recorder::StartOrder order;
    order.requestID = "R1";
    order.display = {"1", "Small Display", 192, 108, 1.0, true, 0, 0};
    order.parameters.source = {recorder::SourceKind::display, "1"};
    order.outputFolder = folder;
    return order;
}

std::optional<RecordingSession> waitUntil(Recorder& recorder, const std::string& id,
                                          const std::function<bool(const RecordingSession&)>& condition,
                                          std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto s = recorder.session(id);
        if ((s && condition(*s)) || std::chrono::steady_clock::now() >= deadline) return s;
        std::this_thread::sleep_for(20ms);
    }
}

TEST(FullDisk, ARecordingCutShortByAFullDiskKeepsThePartRecordedAndSaysWhy) {
    SmallFileSystem disk(20);
    REQUIRE_MOUNTED(disk);
    Recorder recorder(std::make_shared<SyntheticBackend>(std::vector<VirtualDisplay>{}, false), 16);
    auto answer = recorder.start(smallOrder(disk.path()));
    ASSERT_TRUE(std::holds_alternative<RecordingSession>(answer))
        << std::get<recorder::AutomationFailure>(answer).message;
    const auto id = std::get<RecordingSession>(answer).id;
    auto s = waitUntil(
        recorder, id, [](auto& s) { return s.state == AutomationSessionState::recording; }, 10s);
    ASSERT_EQ(s->state, AutomationSessionState::recording);
    std::this_thread::sleep_for(2500ms);

    disk.fill(0);  // another program takes the rest of the disk
    s = waitUntil(
        recorder, id, [](auto& s) { return s.isFinal(); }, 10s);
    ASSERT_EQ(s->state, AutomationSessionState::failed);
    ASSERT_TRUE(s->failure);
    EXPECT_EQ(s->failure->code, AutomationErrorCode::finalizationFailed);
    const auto& message = s->failure->message;
    EXPECT_EQ(message.rfind("The disk is full: the recording stopped when " + disk.path().string() +
                                " ran out of space. "
                                "The part recorded until then (",
                            0),
              0u)
        << message;
    EXPECT_NE(message.find(" s) was kept at " + s->outputPath + "."), std::string::npos) << message;
    EXPECT_EQ(s->failure->hint,
              "Ask the user to free space on that disk or to choose another folder for recordings "
              "(\"outputFolder\" in settings.json), then start a new recording.");

    auto measured = MediaProbe::measure(s->outputPath);
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(measured)) << std::get<std::string>(measured);
    EXPECT_GE(std::get<SavedMedia>(measured).durationSeconds, 1.5);
}

TEST(NearlyFullDisk, AStartWithTooLittleFreeSpaceIsRefusedUpFront) {
    SmallFileSystem disk(24);
    REQUIRE_MOUNTED(disk);
    disk.fill(Recorder::minimumFreeBytes - 4 * 1024 * 1024);
    const auto left = std::filesystem::space(disk.path()).available;
    Recorder recorder(std::make_shared<SyntheticBackend>(std::vector<VirtualDisplay>{}, false), 16);
    auto answer = recorder.start(smallOrder(disk.path()));
    ASSERT_TRUE(std::holds_alternative<recorder::AutomationFailure>(answer));
    const auto& failure = std::get<recorder::AutomationFailure>(answer);
    EXPECT_EQ(failure.code, AutomationErrorCode::destinationUnavailable);
    char megabytes[32];
    std::snprintf(megabytes, sizeof megabytes, "%.1f MB", double(left) / (1024.0 * 1024.0));
    EXPECT_EQ(failure.message, "Recordings cannot be saved to " + disk.path().string() + ": its disk has only " +
                                   megabytes + " free, less than the 16.0 MB that even a short recording needs.");
    EXPECT_EQ(failure.hint,
              "Ask the user to free space on that disk or to choose another folder for recordings "
              "(\"outputFolder\" in settings.json), then try again.");
    EXPECT_FALSE(recorder.active());

    // Once there is room again, the same start goes ahead.
    std::filesystem::remove(disk.path() / "filler");
    auto retried = recorder.start(smallOrder(disk.path()));
    ASSERT_TRUE(std::holds_alternative<RecordingSession>(retried));
    EXPECT_TRUE(recorder.finish("stopped", 15s));
}

}  // namespace
}  // namespace lumora
