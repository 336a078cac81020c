#include "QuillonServer/JSON.h"
#include "QuillonServer/JSONReader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
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

namespace {

// What the complete parser makes of a text, by the value type's rules (whole numbers are
// integers within the int64 range): the reference the direct reader must agree with.
JSON fromTree(const nlohmann::json& tree) {
    using T = nlohmann::json::value_t;
    switch (tree.type()) {
        case T::boolean:
            return JSON(tree.get<bool>());
        case T::number_integer:
            return JSON(tree.get<std::int64_t>());
        case T::number_unsigned:
            if (tree.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return JSON(static_cast<double>(tree.get<std::uint64_t>()));
            return JSON(static_cast<std::int64_t>(tree.get<std::uint64_t>()));
        case T::number_float: {
            double d = tree.get<double>();
            if (std::trunc(d) == d && std::fabs(d) < 9.2e18) return JSON(static_cast<std::int64_t>(d));
            return JSON(d);
        }
        case T::string:
            return JSON(tree.get<std::string>());
        case T::array: {
            JSON::Array elements;
            for (const auto& element : tree) elements.push_back(fromTree(element));
            return JSON(std::move(elements));
        }
        case T::object: {
            JSON::Object members;
            for (const auto& [key, member] : tree.items()) members.emplace(key, fromTree(member));
            return JSON(std::move(members));
        }
        default:
            return JSON();
    }
}

std::optional<JSON> viaTree(std::string_view text) {
    try {
        return fromTree(nlohmann::json::parse(text.begin(), text.end()));
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

struct ReadCase {
    std::string text;
    std::optional<JSON> direct;  // what the direct reader gives; nothing when it leaves the text to the tree
};

class JSONDirectReader : public testing::TestWithParam<ReadCase> {};

TEST_P(JSONDirectReader, ReadsTheCommonFormsAndLeavesTheRest) {
    const auto& c = GetParam();
    EXPECT_EQ(mcp::JSONReader::read(c.text), c.direct) << c.text;
    // Either way the value is the complete parser's, or the text is refused by both.
    auto reference = viaTree(c.text);
    if (reference)
        EXPECT_EQ(JSON::parse(c.text), *reference) << c.text;
    else
        EXPECT_THROW(JSON::parse(c.text), JSON::ParseFailure) << c.text;
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

JSON nestedValue(int depth) {
    JSON value{JSON::Array{}};
    for (int i = 1; i < depth; ++i) value = JSON(JSON::Array{value});
    return value;
}

INSTANTIATE_TEST_SUITE_P(
    Table, JSONDirectReader,
    testing::Values(ReadCase{R"( {"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"t","arguments":{}}} )",
                             JSON::object({{"jsonrpc", "2.0"},
                                           {"id", 7},
                                           {"method", "tools/call"},
                                           {"params", JSON::object({{"name", "t"}, {"arguments", JSON::Object{}}})}})},
                    ReadCase{"{\"a\":1,\"a\":2}", JSON::object({{"a", 2}})},  // a repeated key: the last counts
                    ReadCase{R"("q\"b\\s\/t\b\f\n\r\t")", JSON("q\"b\\s/t\b\f\n\r\t")},
                    ReadCase{"\t[ 1 ,\r\n-2 ]\n", JSON::array({1, -2})}, ReadCase{"-0", JSON(0)},
                    ReadCase{"-0.0", JSON(0)}, ReadCase{"1E2", JSON(100)}, ReadCase{"0.5e1", JSON(5)},
                    ReadCase{"2.5e-1", JSON(0.25)}, ReadCase{"1e20", JSON(1e20)},
                    ReadCase{"-9223372036854775808", JSON(std::numeric_limits<std::int64_t>::min())},
                    ReadCase{"[true,false,null,{}]", JSON::array({true, false, nullptr, JSON::Object{}})},
                    ReadCase{nested(64), nestedValue(64)},
                    // Left to the complete parser, which reads them:
                    ReadCase{nested(65), std::nullopt}, ReadCase{R"("\u00e9")", std::nullopt},
                    ReadCase{"\"é\"", std::nullopt}, ReadCase{"9223372036854775808", std::nullopt},
                    ReadCase{"\xEF\xBB\xBF{}", std::nullopt},
                    // and refuses:
                    ReadCase{"", std::nullopt}, ReadCase{" ", std::nullopt}, ReadCase{"01", std::nullopt},
                    ReadCase{"1.", std::nullopt}, ReadCase{".5", std::nullopt}, ReadCase{"-", std::nullopt},
                    ReadCase{"+1", std::nullopt}, ReadCase{"1e", std::nullopt}, ReadCase{"1e400", std::nullopt},
                    ReadCase{"[1,]", std::nullopt}, ReadCase{"{\"a\":1,}", std::nullopt}, ReadCase{"{,}", std::nullopt},
                    ReadCase{"{1:2}", std::nullopt}, ReadCase{"tru", std::nullopt}, ReadCase{"nul", std::nullopt},
                    ReadCase{"\"a\x01\"", std::nullopt}, ReadCase{R"("\x")", std::nullopt},
                    ReadCase{"\"open", std::nullopt}, ReadCase{"[", std::nullopt}, ReadCase{"1 2", std::nullopt},
                    ReadCase{"{\"a\" 1}", std::nullopt}, ReadCase{"[1]x", std::nullopt}));

// Random edits of request-like lines: whatever the direct reader accepts, the complete parser
// reads as the same value.
TEST(JSONDirectReader, NeverDisagreesWithTheCompleteParser) {
    const std::vector<std::string> seeds = {
        R"({"jsonrpc":"2.0","id":12,"method":"tools/call","params":{"name":"a","arguments":{"n":-1.5e3,"s":"x\ny"}}})",
        R"([{"id":"s","method":"ping"},{"method":"notifications/cancelled","params":{"requestId":3}}])",
        R"({"k":[0,-0,1e2,2.50,true,false,null,"\"\\\/"],"d":{"e":{}}})"};
    const std::string alphabet = "{}[]\":,.-+eE0123456789 \\/\"tfnul\x01\xc3";
    std::mt19937 random(20261208);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = seeds[random() % seeds.size()];
        for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
            std::size_t at = random() % (text.size() + 1);
            char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
                case 0:
                    text.insert(at, 1, c);
                    break;
                case 1:
                    if (at < text.size()) text.erase(at, 1);
                    break;
                default:
                    if (at < text.size()) text[at] = c;
            }
        }
        auto direct = mcp::JSONReader::read(text);
        if (!direct) continue;
        ++accepted;
        auto reference = viaTree(text);
        ASSERT_TRUE(reference) << text;
        ASSERT_EQ(*direct, *reference) << text;
    }
    EXPECT_GT(accepted, 1000);  // the edits leave enough texts well-formed to mean something
}

TEST(JSON, SerializeAppendsAndLeavesTheTextAsItWasWhenItThrows) {
    std::string out = "x:";
    JSON::object({{"b", 1}, {"a", "é"}}).serialize(out);
    EXPECT_EQ(out, R"(x:{"a":"é","b":1})");
    EXPECT_THROW(JSON::array({1, std::numeric_limits<double>::infinity()}).serialize(out), std::domain_error);
    EXPECT_EQ(out, R"(x:{"a":"é","b":1})");
    out.clear();
    JSON::serializeString("a\"b\\c\n\x01/", out);
    EXPECT_EQ(out, JSON("a\"b\\c\n\x01/").serialized());
    EXPECT_EQ(out, R"("a\"b\\c\n\u0001/")");
}

}  // namespace
