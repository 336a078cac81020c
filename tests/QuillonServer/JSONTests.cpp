#include "QuillonServer/JSON.h"

#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

using mcp::JSON;

namespace {

struct ParseCase {
    const char* text;
    JSON expected;
};

class JSONParse : public testing::TestWithParam<ParseCase> {};

TEST_P(JSONParse, KeepsIntegersAndDoublesApart) {
    EXPECT_EQ(JSON::parse(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, JSONParse,
    testing::Values(ParseCase{"1.0", JSON(1)}, ParseCase{"-0.0", JSON(0)}, ParseCase{"1.5", JSON(1.5)},
                    ParseCase{"1e20", JSON(1e20)}, ParseCase{"1e3", JSON(1000)},
                    ParseCase{"9223372036854775807", JSON(std::numeric_limits<std::int64_t>::max())},
                    ParseCase{"-9223372036854775808", JSON(std::numeric_limits<std::int64_t>::min())},
                    ParseCase{"9223372036854775808", JSON(9223372036854775808.0)}, ParseCase{"true", JSON(true)},
                    ParseCase{"false", JSON(false)}, ParseCase{"null", JSON()}, ParseCase{"\"a/b\"", JSON("a/b")},
                    ParseCase{"[1,2.5,\"x\",null]", JSON::array({1, 2.5, "x", nullptr})},
                    ParseCase{"{\"b\":{\"c\":[]},\"a\":1}",
                              JSON::object({{"a", 1}, {"b", JSON::object({{"c", JSON::Array{}}})}})}));

TEST(JSON, EqualityIsStructuralAndNeverMixesNumbers) {
    EXPECT_NE(JSON(1), JSON(1.0));
    EXPECT_NE(JSON(1), JSON(true));
    EXPECT_NE(JSON(0), JSON());
    EXPECT_NE(JSON("1"), JSON(1));
    EXPECT_EQ(JSON::array({1, "a"}), JSON::array({1, "a"}));
    EXPECT_NE(JSON::array({1, "a"}), JSON::array({"a", 1}));
    EXPECT_EQ(JSON::object({{"a", 1}, {"b", 2}}), JSON::object({{"b", 2}, {"a", 1}}));
    EXPECT_NE(JSON::object({{"a", 1}}), JSON::object({{"a", 1.0}}));
}

TEST(JSON, ParseRejectsMalformedText) {
    for (const char* text : {"", "{", "[1,", "tru", "{\"a\" 1}", "\"\xff\"", "1 2"})
        EXPECT_THROW(JSON::parse(text), JSON::ParseFailure) << text;
    try {
        JSON::parse("{");
    } catch (const JSON::ParseFailure& failure) {
        EXPECT_EQ(std::string(failure.what()).find("[json.exception"), std::string::npos);
        EXPECT_FALSE(std::string(failure.what()).empty());
    }
}

TEST(JSON, SerializesCompactWithSortedKeysAndPlainSlashes) {
    JSON::Object members;
    members.emplace("zeta", 1);
    members.emplace("alpha", JSON::object({{"y", 2.5}, {"b", "a/b"}}));
    members.emplace("mid", JSON::array({true, nullptr, -3}));
    EXPECT_EQ(JSON(members).serialized(), R"({"alpha":{"b":"a/b","y":2.5},"mid":[true,null,-3],"zeta":1})");
    EXPECT_EQ(JSON(7).serialized(), "7");
    EXPECT_EQ(JSON("line\nbreak \"q\"").serialized(), R"("line\nbreak \"q\"")");
    EXPECT_EQ(JSON(JSON::Object{}).serialized(), "{}");
    EXPECT_EQ(JSON(JSON::Array{}).serialized(), "[]");
}

TEST(JSON, InvalidUTF8IsReplacedNotThrown) {
    EXPECT_EQ(JSON(std::string("a\xff"
                               "b"))
                  .serialized(),
              "\"a\xEF\xBF\xBD"
              "b\"");
}

TEST(JSON, NonFiniteDoubleCannotBeSerialized) {
    EXPECT_THROW(JSON(std::numeric_limits<double>::infinity()).serialized(), std::domain_error);
}

TEST(JSON, RoundTripsThroughText) {
    JSON value = JSON::object({{"k", JSON::array({1, 2.25, "é", JSON::object({})})}, {"n", nullptr}});
    EXPECT_EQ(JSON::parse(value.serialized()), value);
}

struct ReaderCase {
    JSON value;
    std::optional<std::string> string;
    std::optional<std::int64_t> integer;
    std::optional<bool> boolean;
};

class JSONReaders : public testing::TestWithParam<ReaderCase> {};

TEST_P(JSONReaders, AreLenientTheAgreedWay) {
    const auto& c = GetParam();
    auto text = c.value.isDouble() ? std::to_string(std::get<double>(c.value.value())) : c.value.serialized();
    EXPECT_EQ(c.value.stringValue(), c.string) << text;
    EXPECT_EQ(c.value.intValue(), c.integer) << text;
    EXPECT_EQ(c.value.boolValue(), c.boolean) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, JSONReaders,
    testing::Values(
        ReaderCase{JSON(12), "12", 12, std::nullopt}, ReaderCase{JSON(0), "0", 0, false},
        ReaderCase{JSON(1), "1", 1, true}, ReaderCase{JSON(2), "2", 2, std::nullopt},
        ReaderCase{JSON(12.5), std::nullopt, std::nullopt, std::nullopt},
        ReaderCase{JSON(4.0), std::nullopt, 4, std::nullopt}, ReaderCase{JSON(-4.0), std::nullopt, -4, std::nullopt},
        ReaderCase{JSON(1e15), std::nullopt, std::nullopt, std::nullopt},
        ReaderCase{JSON(999999999999999.0), std::nullopt, 999999999999999, std::nullopt},
        ReaderCase{JSON(0.5), std::nullopt, std::nullopt, std::nullopt},
        ReaderCase{JSON(true), std::nullopt, std::nullopt, true},
        ReaderCase{JSON(false), std::nullopt, std::nullopt, false},
        ReaderCase{JSON(" -42 "), " -42 ", -42, std::nullopt}, ReaderCase{JSON("+7"), "+7", 7, std::nullopt},
        ReaderCase{JSON("4.0"), "4.0", std::nullopt, std::nullopt},
        ReaderCase{JSON(""), "", std::nullopt, std::nullopt}, ReaderCase{JSON("-"), "-", std::nullopt, std::nullopt},
        ReaderCase{JSON("+-3"), "+-3", std::nullopt, std::nullopt},
        ReaderCase{JSON("9223372036854775807"), "9223372036854775807", std::numeric_limits<std::int64_t>::max(),
                   std::nullopt},
        ReaderCase{JSON("-9223372036854775808"), "-9223372036854775808", std::numeric_limits<std::int64_t>::min(),
                   std::nullopt},
        ReaderCase{JSON("9223372036854775808"), "9223372036854775808", std::nullopt, std::nullopt},
        ReaderCase{JSON("1"), "1", 1, true}, ReaderCase{JSON("0"), "0", 0, false},
        ReaderCase{JSON("Yes"), "Yes", std::nullopt, true}, ReaderCase{JSON("TRUE"), "TRUE", std::nullopt, true},
        ReaderCase{JSON("No"), "No", std::nullopt, false}, ReaderCase{JSON("false"), "false", std::nullopt, false},
        ReaderCase{JSON("maybe"), "maybe", std::nullopt, std::nullopt},
        ReaderCase{JSON(), std::nullopt, std::nullopt, std::nullopt},
        ReaderCase{JSON::array({1}), std::nullopt, std::nullopt, std::nullopt},
        ReaderCase{JSON::object({{"a", 1}}), std::nullopt, std::nullopt, std::nullopt}));

TEST(JSON, SubscriptAndViews) {
    JSON object = JSON::object({{"a", 1}, {"b", nullptr}});
    ASSERT_NE(object["a"], nullptr);
    EXPECT_EQ(*object["a"], JSON(1));
    ASSERT_NE(object["b"], nullptr);
    EXPECT_TRUE(object["b"]->isNull());
    EXPECT_EQ(object["c"], nullptr);
    EXPECT_EQ(JSON::array({1})["a"], nullptr);
    EXPECT_EQ(JSON()["a"], nullptr);
    EXPECT_EQ(JSON("a")["a"], nullptr);
    EXPECT_NE(object.objectValue(), nullptr);
    EXPECT_EQ(object.arrayValue(), nullptr);
    EXPECT_EQ(JSON::array({1}).arrayValue()->size(), 1u);
    EXPECT_TRUE(JSON().isNull());
    EXPECT_FALSE(JSON(0).isNull());
}

}  // namespace

// The writer gives the bytes nlohmann's own dump gives for the same tree.
TEST(JSONWriter, MatchesTheLibrarysDumpByteForByte) {
    using Tree = nlohmann::json;
    struct Row {
        JSON value;
        Tree tree;
    };
    const std::vector<Row> rows{
        {JSON(0.1), Tree(0.1)},
        {JSON(3.0), Tree(3.0)},
        {JSON(-0.0), Tree(-0.0)},
        {JSON(1e20), Tree(1e20)},
        {JSON(5e-324), Tree(5e-324)},
        {JSON(std::numeric_limits<std::int64_t>::min()), Tree(std::numeric_limits<std::int64_t>::min())},
        {JSON(std::numeric_limits<std::int64_t>::max()), Tree(std::numeric_limits<std::int64_t>::max())},
        {JSON("\x01\x1f\t\b\f\r\\ é → 😀 \x7f"), Tree("\x01\x1f\t\b\f\r\\ é → 😀 \x7f")},
        {JSON(JSON::object({{"\xff"
                             "key",
                             1},
                            {"b", JSON::array({JSON(), false, "x"})},
                            {"", JSON::Object{}}})),
         Tree{{"\xff"
               "key",
               1},
              {"b", Tree::array({nullptr, false, "x"})},
              {"", Tree::object()}}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.value.serialized(), row.tree.dump(-1, ' ', false, Tree::error_handler_t::replace))
            << row.tree.dump(-1, ' ', true, Tree::error_handler_t::replace);
}

// ASCII strings and keys are escaped by the writer itself: every byte below 0x80, alone and
// between other text, as a value and as a key, gives the library's bytes.
TEST(JSONWriter, EscapesEveryASCIIByteAsTheLibraryDoes) {
    using Tree = nlohmann::json;
    for (int byte = 0; byte < 0x80; ++byte) {
        const std::string alone(1, static_cast<char>(byte));
        for (const std::string& text : {alone, "a" + alone + "\"z\\"}) {
            auto expected = [](const Tree& tree) { return tree.dump(-1, ' ', false, Tree::error_handler_t::replace); };
            EXPECT_EQ(JSON(text).serialized(), expected(Tree(text))) << "byte " << byte;
            EXPECT_EQ(JSON(JSON::object({{text, text}})).serialized(), expected(Tree{{text, text}})) << "byte " << byte;
        }
    }
}
