#include "Quillon/CallProgress.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

using mcp::MCPProgress;
using quillon::CallProgress;
using namespace std::chrono_literals;

namespace {

// Collects what a call reports, from any thread.
struct Reports {
    std::mutex mutex;
    std::vector<MCPProgress> seen;
    mcp::MCPRequestContext context() {
        return mcp::MCPRequestContext({}, [this](const MCPProgress& progress) {
            std::lock_guard lock(mutex);
            seen.push_back(progress);
        });
    }
    std::vector<MCPProgress> taken() {
        std::lock_guard lock(mutex);
        return seen;
    }
};

TEST(CallProgress, MessageNamesStateAndTimeWaited) {
    struct Row {
        const char* subject;
        const char* state;
        double waited;
        std::optional<double> limit;
        const char* text;
    };
    for (const Row& row :
         {Row{"Recording", "stopping", 12.7, 75.0, "Recording: stopping (waited 12 s of 75 s)"},
          Row{"Lumora", "starting", 0.2, 20.0, "Lumora: starting (waited 0 s of 20 s)"},
          Row{"Recording", "recording", 3600.9, 3660.0, "Recording: recording (waited 3600 s of 3660 s)"},
          Row{"Recording", "preparing", 1.0, 0.5, "Recording: preparing (waited 1 s of 1 s)"},
          Row{"Lumora", "starting", 7.0, std::nullopt, "Lumora: starting (waited 7 s)"}})
        EXPECT_EQ(CallProgress::message(row.subject, row.state, row.waited, row.limit), row.text);
}

TEST(CallProgress, ReportsAtOnceOnlyWhenSubjectOrStateChange) {
    Reports reports;
    {
        CallProgress progress(reports.context(), 10s);
        progress.update("Recording", "preparing", 60);
        progress.update("Recording", "preparing", 60);
        std::this_thread::sleep_for(20ms);
        progress.update("Recording", "recording", 60);
        progress.update("Recording", "recording", 60);
    }
    auto seen = reports.taken();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].message, "Recording: preparing (waited 0 s of 60 s)");
    EXPECT_EQ(seen[1].message, "Recording: recording (waited 0 s of 60 s)");
    EXPECT_LT(seen[0].progress, seen[1].progress);
    EXPECT_EQ(seen[0].total, 60.0);
    EXPECT_EQ(seen[1].total, 60.0);
}

TEST(CallProgress, HeartbeatRepeatsTheStateUntilTheCallEnds) {
    Reports reports;
    {
        CallProgress progress(reports.context(), 40ms);
        progress.update("Lumora", "starting", std::nullopt);
        std::this_thread::sleep_for(300ms);
    }
    auto seen = reports.taken();
    ASSERT_GE(seen.size(), 4u);
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GT(seen[i].progress, seen[i - 1].progress);
        EXPECT_LT(seen[i].progress - seen[i - 1].progress, 0.2);  // no beat skipped on an idle machine
        EXPECT_EQ(seen[i].total, std::nullopt);
        EXPECT_TRUE(seen[i].message.starts_with("Lumora: starting (waited ")) << seen[i].message;
    }
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(reports.taken().size(), seen.size());  // nothing once the call has ended
}

TEST(CallProgress, ANewSubjectStartsAWaitWhoseEndIsTheTotal) {
    Reports reports;
    {
        CallProgress progress(reports.context(), 10s);
        progress.update("Lumora", "starting", 20);
        std::this_thread::sleep_for(100ms);
        progress.update("Recording", "recording", 10);
    }
    auto seen = reports.taken();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].total, 20.0);
    ASSERT_TRUE(seen[1].total);
    EXPECT_NEAR(*seen[1].total, seen[1].progress + 10, 0.002);  // the wait began with this report
    EXPECT_GE(seen[1].progress, 0.1);
}

TEST(CallProgress, ProgressNeverPassesTheTotal) {
    Reports reports;
    {
        CallProgress progress(reports.context(), 30ms);
        progress.update("Recording", "stopping", 0.05);
        std::this_thread::sleep_for(200ms);
    }
    auto seen = reports.taken();
    ASSERT_GE(seen.size(), 2u);
    for (const auto& report : seen) EXPECT_LE(report.progress, 0.05);
    EXPECT_EQ(seen.back().progress, 0.05);
}

}  // namespace
