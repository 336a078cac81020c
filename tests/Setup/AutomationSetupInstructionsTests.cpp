#include "RecorderAutomation/Setup/AutomationSetupInstructions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/Support/Subprocess.h"

using recorder::AutomationSetupInstructions;
using testsupport::runProcess;

namespace {

const std::string plainPath = "/Applications/Lumora.app/Contents/Helpers/Quillon";

AutomationSetupInstructions instructionsFor(const std::string& path) {
    return AutomationSetupInstructions(path, std::string(AutomationSetupInstructions::defaultServerName), "Lumora");
}

// The words a POSIX shell makes of `commandLine`, each printed by the shell itself.
std::vector<std::string> shellWords(const std::string& commandLine) {
    const auto outcome = runProcess(
        {"/bin/sh", "-c", "words() { for w in \"$@\"; do printf '%s\\0' \"$w\"; done; }; words " + commandLine});
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    std::vector<std::string> words;
    std::string current;
    for (const char c : outcome.out) {
        if (c == '\0') {
            words.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    return words;
}

// What jq reads at `filter` in `json`, raw.
std::string jqRaw(const std::string& json, const std::string& filter) {
    const auto file = std::filesystem::temp_directory_path() / ("setup-json-" + std::to_string(::getpid()) + ".json");
    std::ofstream(file, std::ios::binary) << json;
    const auto outcome = runProcess({"/usr/bin/jq", "-j", filter, file.string()});
    std::filesystem::remove(file);
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err << " for " << json;
    return outcome.out;
}

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string base64Decoded(const std::string& text) {
    const auto outcome = runProcess({"/usr/bin/base64", "-d"}, testsupport::withInput(text));
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    return outcome.out;
}

}  // namespace

TEST(AutomationSetupInstructions, PlainPathTextsAreExact) {
    const auto s = instructionsFor(plainPath);
    EXPECT_EQ(AutomationSetupInstructions::defaultServerName, "lumora");
    EXPECT_EQ(s.jsonConfiguration(),
              "{\n"
              "  \"mcpServers\": {\n"
              "    \"lumora\": {\n"
              "      \"command\": \"/Applications/Lumora.app/Contents/Helpers/Quillon\",\n"
              "      \"args\": []\n"
              "    }\n"
              "  }\n"
              "}");
    EXPECT_EQ(s.serverEntryJSON(),
              R"({"lumora":{"command":"/Applications/Lumora.app/Contents/Helpers/Quillon","args":[]}})");
    EXPECT_EQ(s.codexCommand(), R"(codex mcp add lumora -- "/Applications/Lumora.app/Contents/Helpers/Quillon")");
    EXPECT_EQ(
        s.claudeCodeCommand(),
        R"(claude mcp add --scope user --transport stdio lumora -- "/Applications/Lumora.app/Contents/Helpers/Quillon")");
    EXPECT_EQ(
        s.vsCodeCommand(),
        R"(code --add-mcp "{\"name\":\"lumora\",\"command\":\"/Applications/Lumora.app/Contents/Helpers/Quillon\",\"args\":[]}")");
    EXPECT_EQ(s.cursorInstallLink(),
              "cursor://anysphere.cursor-deeplink/mcp/install?name=lumora&config="
              "eyJsdW1vcmEiOnsiY29tbWFuZCI6Ii9BcHBsaWNhdGlvbnMvTHVtb3JhLmFwcC9Db250ZW50cy9IZWxwZXJzL1F1aWxsb24iLCJhcmdz"
              "IjpbXX19");
    EXPECT_EQ(AutomationSetupInstructions::claudeDesktopInstructions(),
              "Claude Desktop: Settings \xE2\x86\x92 Developer \xE2\x86\x92 Edit Config, add the JSON entry inside "
              "\"mcpServers\", save, then quit and reopen Claude Desktop.");
}

TEST(AutomationSetupInstructions, AssistantPromptIsExact) {
    const auto s = instructionsFor(plainPath);
    const std::string expected =
        "Please connect me to the Lumora app on this Mac by adding its local MCP server to your own configuration, "
        "using whatever method is correct for you.\n"
        "\n"
        "Server name: lumora\n"
        "Transport: local stdio\n"
        "Command: /Applications/Lumora.app/Contents/Helpers/Quillon\n"
        "Arguments: none\n"
        "Environment variables: none\n"
        "\n"
        "Reference, by host:\n"
        "- Codex: codex mcp add lumora -- \"/Applications/Lumora.app/Contents/Helpers/Quillon\"\n"
        "- Claude Code: claude mcp add --scope user --transport stdio lumora -- "
        "\"/Applications/Lumora.app/Contents/Helpers/Quillon\"\n"
        "- VS Code: code --add-mcp "
        "\"{\\\"name\\\":\\\"lumora\\\",\\\"command\\\":\\\"/Applications/Lumora.app/Contents/Helpers/Quillon\\\","
        "\\\"args\\\":[]}\"\n"
        "- Cursor, Windsurf, or any host that reads an \"mcpServers\" JSON file: add this entry and keep every other "
        "server unchanged:\n"
        "{\n  \"mcpServers\": {\n    \"lumora\": {\n      \"command\": "
        "\"/Applications/Lumora.app/Contents/Helpers/Quillon\",\n      \"args\": []\n    }\n  }\n}\n"
        "\n"
        "Rules: do not modify or remove any other MCP servers; do not run the recorder or start a recording as part "
        "of setup. If you cannot edit your own configuration, show me the JSON above and tell me where to paste it.\n"
        "\n"
        "When the server is added, tell me to restart you (tools are loaded when a session starts). After the "
        "restart, call the recorder_capabilities tool once to confirm the connection and tell me whether "
        "captureReadiness is \"ready\".";
    EXPECT_EQ(s.assistantPrompt(), expected);
}

TEST(AutomationSetupInstructions, AwkwardCharactersAreEscapedForEachReader) {
    // A blank, "$", a backquote, a double quote, a backslash and non-ASCII letters.
    const std::string path = "/Users/a b/$x`y\"z\\w/Zo\xC3\xAB \xC3\x9Cnal/Quillon";
    const auto s = instructionsFor(path);
    EXPECT_EQ(AutomationSetupInstructions::jsonString(path),
              "\"/Users/a b/$x`y\\\"z\\\\w/Zo\xC3\xAB \xC3\x9Cnal/Quillon\"");
    EXPECT_EQ(AutomationSetupInstructions::shellQuoted(path),
              "\"/Users/a b/\\$x\\`y\\\"z\\\\w/Zo\xC3\xAB \xC3\x9Cnal/Quillon\"");
    EXPECT_EQ(s.vsCodeCommand(),
              "code --add-mcp \"{\\\"name\\\":\\\"lumora\\\",\\\"command\\\":\\\"/Users/a b/\\$x\\`y\\\\\\\"z"
              "\\\\\\\\w/Zo\xC3\xAB \xC3\x9Cnal/Quillon\\\",\\\"args\\\":[]}\"");
    EXPECT_EQ(s.codexCommand().find("\\/"), std::string::npos);
    EXPECT_EQ(s.jsonConfiguration().find("\\/"), std::string::npos);
}

TEST(AutomationSetupInstructions, ControlCharactersAreEscapedInJSONAndKeptInShellWords) {
    const std::string path = "/tmp/line\nbreak\ttab'quote";
    EXPECT_EQ(AutomationSetupInstructions::jsonString(path), "\"/tmp/line\\nbreak\\ttab'quote\"");
    EXPECT_EQ(AutomationSetupInstructions::shellQuoted(path), "\"/tmp/line\nbreak\ttab'quote\"");
    EXPECT_EQ(AutomationSetupInstructions::jsonString("\x01"), "\"\\u0001\"");
}

TEST(AutomationSetupInstructions, TextThatIsNotUTF8GivesTheEmptyJSONString) {
    EXPECT_EQ(AutomationSetupInstructions::jsonString("/tmp/\xFF/Quillon"), "\"\"");
    EXPECT_EQ(AutomationSetupInstructions::shellQuoted("/tmp/\xFF"), "\"/tmp/\xFF\"");
}

class SetupTextsParseBack : public ::testing::TestWithParam<std::string> {};

TEST_P(SetupTextsParseBack, JSONAndShellReadersRecoverThePath) {
    const std::string path = GetParam();
    const auto s = instructionsFor(path);

    EXPECT_EQ(jqRaw(s.jsonConfiguration(), ".mcpServers.lumora.command"), path);
    EXPECT_EQ(jqRaw(s.jsonConfiguration(), ".mcpServers.lumora.args | length"), "0");
    EXPECT_EQ(jqRaw(s.serverEntryJSON(), ".lumora.command"), path);
    EXPECT_EQ(nlohmann::json::parse(s.serverEntryJSON()),
              (nlohmann::json{{"lumora", {{"command", path}, {"args", nlohmann::json::array()}}}}));

    EXPECT_EQ(shellWords(s.codexCommand()), (std::vector<std::string>{"codex", "mcp", "add", "lumora", "--", path}));
    EXPECT_EQ(shellWords(s.claudeCodeCommand()),
              (std::vector<std::string>{"claude", "mcp", "add", "--scope", "user", "--transport", "stdio", "lumora",
                                        "--", path}));
    const auto vsWords = shellWords(s.vsCodeCommand());
    ASSERT_EQ(vsWords.size(), 3u);
    EXPECT_EQ(vsWords[0], "code");
    EXPECT_EQ(vsWords[1], "--add-mcp");
    EXPECT_EQ(nlohmann::json::parse(vsWords[2]),
              (nlohmann::json{{"name", "lumora"}, {"command", path}, {"args", nlohmann::json::array()}}));

    // The link carries the one-line entry, Base64 and then percent-encoded, with no character a
    // query decoder could misread.
    const auto link = s.cursorInstallLink();
    ASSERT_TRUE(link.has_value());
    const std::string prefix = "cursor://anysphere.cursor-deeplink/mcp/install?name=lumora&config=";
    ASSERT_EQ(link->substr(0, prefix.size()), prefix);
    const auto config = link->substr(prefix.size());
    EXPECT_EQ(config.find_first_of("+/=&# "), std::string::npos) << config;
    EXPECT_EQ(base64Decoded(percentDecoded(config)), s.serverEntryJSON());

    // The prompt names the plain path and embeds the other texts unchanged.
    const auto prompt = s.assistantPrompt();
    EXPECT_NE(prompt.find("\nCommand: " + path + "\n"), std::string::npos);
    EXPECT_NE(prompt.find("\n- VS Code: " + s.vsCodeCommand() + "\n"), std::string::npos);
    EXPECT_NE(prompt.find(":\n" + s.jsonConfiguration() + "\n\nRules: "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Paths, SetupTextsParseBack,
                         ::testing::Values(plainPath, "/Users/a b/Quillon", "/opt/$HOME/Quillon", "/opt/`id`/Quillon",
                                           "/opt/say \"hi\"/Quillon", "/home/Zo\xC3\xAB/\xE5\x8F\xB0/Quillon",
                                           "/opt/back\\slash/it's/Quillon", "/opt/a b/$x`y\"z/\xC3\x9C/Quillon",
                                           // Long enough that its Base64 holds "+", "/" and "=".
                                           "/opt/\xC3\xBF\xC3\xBF\xC3\xBF>>>?\x3F?/Quillon~"));
