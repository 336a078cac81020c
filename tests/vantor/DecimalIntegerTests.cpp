#include "vantor/DecimalInteger.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace {

using Row = std::pair<std::string, std::optional<std::int64_t>>;

class DecimalIntegers : public ::testing::TestWithParam<Row> {};

TEST_P(DecimalIntegers, AcceptOnlyStrictDecimalText) {
    EXPECT_EQ(vantor::parseDecimalInteger(GetParam().first), GetParam().second) << '"' << GetParam().first << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecimalIntegers,
    ::testing::Values(Row{"0", 0}, Row{"5", 5}, Row{"+5", 5}, Row{"-5", -5}, Row{"007", 7}, Row{"-0", 0},
                      Row{"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
                      Row{"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
                      Row{"+9223372036854775807", std::numeric_limits<std::int64_t>::max()},
                      Row{"9223372036854775808", std::nullopt}, Row{"-9223372036854775809", std::nullopt},
                      Row{"99999999999999999999999", std::nullopt}, Row{"", std::nullopt}, Row{"+", std::nullopt},
                      Row{"-", std::nullopt}, Row{"+-5", std::nullopt}, Row{"-+5", std::nullopt},
                      Row{"--5", std::nullopt}, Row{"abc", std::nullopt}, Row{"5s", std::nullopt},
                      Row{" 5", std::nullopt}, Row{"5 ", std::nullopt}, Row{"1.0", std::nullopt},
                      Row{"1e3", std::nullopt}, Row{"0x10", std::nullopt},
                      Row{"\xD9\xA3", std::nullopt} /* an Arabic-Indic digit is not ASCII */));

}  // namespace
