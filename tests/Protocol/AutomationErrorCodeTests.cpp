#include "RecorderAutomation/Protocol/AutomationErrorCode.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace recorder {
namespace {

TEST(AutomationErrorCode, ListsTwentyCodesInDeclarationOrderWithDistinctWireTexts) {
    const auto& all = automation_error_code::allCases;
    ASSERT_EQ(all.size(), 20u);
    EXPECT_EQ(automation_error_code::rawValue(all.front()), "automation_disabled");
    EXPECT_EQ(automation_error_code::rawValue(all.back()), "app_unavailable");
    std::set<std::string> texts;
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(all[i]), i);
        const auto raw = automation_error_code::rawValue(all[i]);
        texts.emplace(raw);
        EXPECT_EQ(automation_error_code::fromRawValue(raw), all[i]) << raw;
    }
    EXPECT_EQ(texts.size(), 20u);
}

TEST(AutomationErrorCode, RefusesCaseNamesAndOtherSpellings) {
    for (const char* text : {"invalidRequest", "Busy", "BUSY", "busy ", "", "canceled"})
        EXPECT_FALSE(automation_error_code::fromRawValue(text).has_value()) << text;
}

}  // namespace
}  // namespace recorder
