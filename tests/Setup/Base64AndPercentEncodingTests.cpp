#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "RecorderAutomation/Setup/Base64.h"
#include "RecorderAutomation/Setup/PercentEncoding.h"

namespace {

class Base64Vectors : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(Base64Vectors, EncodesAsRFC4648) { EXPECT_EQ(recorder::Base64::encode(GetParam().first), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    RFC4648, Base64Vectors,
    ::testing::Values(std::pair<std::string, std::string>{"", ""}, std::pair<std::string, std::string>{"f", "Zg=="},
                      std::pair<std::string, std::string>{"fo", "Zm8="},
                      std::pair<std::string, std::string>{"foo", "Zm9v"},
                      std::pair<std::string, std::string>{"foob", "Zm9vYg=="},
                      std::pair<std::string, std::string>{"fooba", "Zm9vYmE="},
                      std::pair<std::string, std::string>{"foobar", "Zm9vYmFy"},
                      // High bytes and both characters beyond the letters and digits.
                      std::pair<std::string, std::string>{"\xFB\xFF\xBF", "+/+/"},
                      std::pair<std::string, std::string>{std::string("\0\0\0\0", 4), "AAAAAA=="}));

class PercentEncodingCases : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(PercentEncodingCases, EncodesQueryValues) {
    EXPECT_EQ(recorder::PercentEncoding::encodeQueryValue(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(QueryValues, PercentEncodingCases,
                         ::testing::Values(std::pair<std::string, std::string>{"lumora", "lumora"},
                                           std::pair<std::string, std::string>{"AZaz09-._~", "AZaz09-._~"},
                                           std::pair<std::string, std::string>{"!$'()*,;:@?", "!$'()*,;:@?"},
                                           // Base64's own characters and the query's separators.
                                           std::pair<std::string, std::string>{"a+b/c=", "a%2Bb%2Fc%3D"},
                                           std::pair<std::string, std::string>{"x&y#z", "x%26y%23z"},
                                           std::pair<std::string, std::string>{
                                               "a b\"%<>[]\\^`{|}", "a%20b%22%25%3C%3E%5B%5D%5C%5E%60%7B%7C%7D"},
                                           std::pair<std::string, std::string>{"\xC3\xA9\x7F", "%C3%A9%7F"},
                                           std::pair<std::string, std::string>{std::string("\0\n", 2), "%00%0A"}));

}  // namespace
