#include "RecorderAutomation/Setup/AutomationSetupInstructions.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "RecorderAutomation/Setup/Base64.h"
#include "RecorderAutomation/Setup/PercentEncoding.h"

namespace recorder {

AutomationSetupInstructions::AutomationSetupInstructions(std::string helperPath, std::string serverName,
                                                         std::string appName)
    : helperPath(std::move(helperPath)), serverName(std::move(serverName)), appName(std::move(appName)) {}

std::string AutomationSetupInstructions::jsonString(std::string_view s) {
    try {
        // nlohmann never escapes "/"; with ensure_ascii off it writes UTF-8 as it is and
        // throws on bytes that are not UTF-8.
        return nlohmann::json(std::string(s)).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception&) {
        return "\"\"";
    }
}

std::string AutomationSetupInstructions::shellQuoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (const char c : s) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string AutomationSetupInstructions::jsonConfiguration() const {
    return "{\n  \"mcpServers\": {\n    \"" + serverName + "\": {\n      \"command\": " + jsonString(helperPath) +
           ",\n      \"args\": []\n    }\n  }\n}";
}

std::string AutomationSetupInstructions::serverEntryJSON() const {
    return "{\"" + serverName + "\":{\"command\":" + jsonString(helperPath) + ",\"args\":[]}}";
}

std::string AutomationSetupInstructions::codexCommand() const {
    return "codex mcp add " + serverName + " -- " + shellQuoted(helperPath);
}

std::string AutomationSetupInstructions::claudeCodeCommand() const {
    return "claude mcp add --scope user --transport stdio " + serverName + " -- " + shellQuoted(helperPath);
}

std::string AutomationSetupInstructions::vsCodeCommand() const {
    return "code --add-mcp " +
           shellQuoted("{\"name\":\"" + serverName + "\",\"command\":" + jsonString(helperPath) + ",\"args\":[]}");
}

std::optional<std::string> AutomationSetupInstructions::cursorInstallLink() const {
    return "cursor://anysphere.cursor-deeplink/mcp/install?name=" + PercentEncoding::encodeQueryValue(serverName) +
           "&config=" + PercentEncoding::encodeQueryValue(Base64::encode(serverEntryJSON()));
}

std::string AutomationSetupInstructions::assistantPrompt() const {
    std::string text = "Please connect me to the " + appName;
    text +=
        " app on this Mac by adding its local MCP server to your own configuration, using whatever method is "
        "correct for you.\n\nServer name: " +
        serverName;
    text += "\nTransport: local stdio\nCommand: " + helperPath;
    text += "\nArguments: none\nEnvironment variables: none\n\nReference, by host:\n- Codex: " + codexCommand();
    text += "\n- Claude Code: " + claudeCodeCommand();
    text += "\n- VS Code: " + vsCodeCommand();
    text +=
        "\n- Cursor, Windsurf, or any host that reads an \"mcpServers\" JSON file: add this entry and keep every "
        "other server unchanged:\n" +
        jsonConfiguration();
    text +=
        "\n\nRules: do not modify or remove any other MCP servers; do not run the recorder or start a recording as "
        "part of setup. If you cannot edit your own configuration, show me the JSON above and tell me where to "
        "paste it.\n\nWhen the server is added, tell me to restart you (tools are loaded when a session starts). "
        "After the restart, call the recorder_capabilities tool once to confirm the connection and tell me "
        "whether captureReadiness is \"ready\".";
    return text;
}

std::string AutomationSetupInstructions::claudeDesktopInstructions() {
    return "Claude Desktop: Settings \u2192 Developer \u2192 Edit Config, add the JSON entry inside \"mcpServers\", "
           "save, then quit and reopen Claude Desktop.";
}

}  // namespace recorder
