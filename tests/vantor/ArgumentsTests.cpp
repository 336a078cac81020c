#include "vantor/Arguments.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using vantor::Arguments;

namespace {

struct GrammarRow {
    std::string name;
    std::vector<std::string> argv;
    std::optional<Arguments> parsed;  // nothing: the line is a usage error
};

Arguments make(std::optional<std::string> app, std::optional<std::string> command,
               std::map<std::string, std::string> options = {}, std::set<std::string> flags = {}) {
    Arguments a;
    a.app = std::move(app);
    a.command = std::move(command);
    a.options = std::move(options);
    a.flags = std::move(flags);
    return a;
}

class Grammar : public ::testing::TestWithParam<GrammarRow> {};

TEST_P(Grammar, ParsesOrRefuses) {
    const auto& row = GetParam();
    if (row.parsed) {
        EXPECT_EQ(Arguments::parse(row.argv), *row.parsed);
    } else {
        EXPECT_EQ(Arguments::parse(row.argv), std::nullopt);
    }
}

const std::optional<Arguments> usage = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Grammar,
    ::testing::Values(
        GrammarRow{"Nothing", {}, make({}, {})}, GrammarRow{"HelpAlone", {"--help"}, make({}, {}, {}, {"help"})},
        GrammarRow{"HelpWithCommand", {"setup", "--help"}, make({}, "setup", {}, {"help"})},
        GrammarRow{"UnknownOptionBeatsHelp", {"--help", "--bogus"}, usage},
        GrammarRow{"SingleDashIsACommand", {"-h"}, make({}, "-h")},
        GrammarRow{"LoneDashIsACommand", {"-"}, make({}, "-")},
        GrammarRow{"EmptyArgumentIsACommand", {""}, make({}, "")},
        GrammarRow{"ValueMissingAtEnd", {"status", "--session"}, usage},
        GrammarRow{"DurationMissingAtEnd", {"start", "--display", "1", "--duration"}, usage},
        GrammarRow{
            "ValueTakenVerbatimEvenAsFlag", {"stop", "--session", "--wait"}, make({}, "stop", {{"session", "--wait"}})},
        GrammarRow{"ValueMayLookLikeAnUnknownOption",
                   {"--format", "--bogus", "setup"},
                   make({}, "setup", {{"format", "--bogus"}})},
        GrammarRow{"EmptyValue", {"start", "--display", ""}, make({}, "start", {{"display", ""}})},
        GrammarRow{"LastAppWins",
                   {"--app", "/a", "start", "--app", "/b", "--display", "1"},
                   make("/b", "start", {{"display", "1"}})},
        GrammarRow{
            "LastValueWins", {"start", "--display", "1", "--display", "2"}, make({}, "start", {{"display", "2"}})},
        GrammarRow{"SecondPositional", {"capabilities", "extra"}, usage},
        GrammarRow{
            "UnusedOptionAccepted", {"capabilities", "--session", "x"}, make({}, "capabilities", {{"session", "x"}})},
        GrammarRow{"BareDoubleDash", {"status", "--"}, usage},
        GrammarRow{"EqualsFormNotRecognised", {"start", "--display=1"}, usage},
        GrammarRow{"NamesAreCaseSensitive", {"--Help"}, usage},
        GrammarRow{"RepeatedFlags",
                   {"--wait", "result", "--wait", "--session", "S"},
                   make({}, "result", {{"session", "S"}}, {"wait"})},
        GrammarRow{"EveryOptionAndFlag",
                   {"start", "--app", "/L.app", "--display", "d", "--duration", "5", "--request-id", "r", "--session",
                    "s", "--timeout", "9", "--format", "json", "--system-audio", "--wait", "--help"},
                   make("/L.app", "start",
                        {{"display", "d"},
                         {"duration", "5"},
                         {"request-id", "r"},
                         {"session", "s"},
                         {"timeout", "9"},
                         {"format", "json"}},
                        {"system-audio", "wait", "help"})},
        GrammarRow{"AppValueMissing", {"--app"}, usage},
        GrammarRow{"OptionsBeforeCommand",
                   {"--session", "S", "--wait", "result"},
                   make({}, "result", {{"session", "S"}}, {"wait"})}),
    [](const auto& info) { return info.param.name; });

TEST(Arguments, OptionLookup) {
    const Arguments a = *Arguments::parse({"start", "--display", "7"});
    EXPECT_EQ(a.option("display"), "7");
    EXPECT_EQ(a.option("duration"), std::nullopt);
    EXPECT_FALSE(a.hasFlag("wait"));
}

}  // namespace
