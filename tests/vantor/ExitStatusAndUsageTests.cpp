#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "RecorderAutomation/Protocol/AutomationErrorCode.h"
#include "vantor/ExitCode.h"
#include "vantor/UsageText.h"
#include "tests/vantor/ExpectedUsage.h"

namespace {

TEST(ExitCode, ProcessStatuses) {
    using vantor::ExitCode;
    using vantor::processStatus;
    EXPECT_EQ(processStatus(ExitCode::ok), 0);
    EXPECT_EQ(processStatus(ExitCode::usage), 2);
    EXPECT_EQ(processStatus(ExitCode::notReady), 3);
    EXPECT_EQ(processStatus(ExitCode::conflict), 4);
    EXPECT_EQ(processStatus(ExitCode::recordingFailed), 5);
    EXPECT_EQ(processStatus(ExitCode::connectionFailed), 6);
}

TEST(ExitCode, EveryErrorCodeMapsToItsStatus) {
    const std::vector<std::pair<std::string, int>> table = {
        {"automation_disabled", 3},
        {"unauthorized", 3},
        {"unsupported_version", 2},
        {"invalid_request", 2},
        {"unsupported_source", 2},
        {"unsupported_audio", 2},
        {"permission_required", 3},
        {"setup_required", 3},
        {"busy", 4},
        {"source_unavailable", 4},
        {"destination_unavailable", 4},
        {"session_not_found", 4},
        {"session_not_owned", 4},
        {"instance_changed", 4},
        {"idempotency_conflict", 4},
        {"capacity_exceeded", 4},
        {"capture_failed", 5},
        {"finalization_failed", 5},
        {"timeout", 6},
        {"app_unavailable", 6},
    };
    std::set<recorder::AutomationErrorCode> covered;
    for (const auto& [wire, status] : table) {
        const auto code = recorder::automation_error_code::fromRawValue(wire);
        ASSERT_TRUE(code.has_value()) << wire;
        covered.insert(*code);
        EXPECT_EQ(vantor::processStatus(vantor::exitStatus(*code)), status) << wire;
    }
    EXPECT_EQ(covered.size(), recorder::automation_error_code::allCases.size());
}

TEST(UsageText, BytesAreExact) {
    const std::string expected(testsupport::expectedUsage);
    EXPECT_EQ(vantor::usageText, expected);

    // The described commands start their description in column 37.
    std::vector<std::string> lines;
    std::istringstream in{std::string(vantor::usageText)};
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 13u);
    for (const int n : {4, 5, 7, 8}) {
        const auto& line = lines[n - 1];
        EXPECT_EQ(line.substr(0, 2), "  ") << line;
        EXPECT_NE(line[36], ' ') << line;
        EXPECT_EQ(line[35], ' ') << line;
    }
    EXPECT_NE(lines[9].find("]   text"), std::string::npos);
}

TEST(UsageText, WrittenWithOneNewline) {
    std::ostringstream err;
    vantor::writeUsage(err);
    EXPECT_EQ(err.str(), std::string(vantor::usageText) + "\n");
}

}  // namespace
