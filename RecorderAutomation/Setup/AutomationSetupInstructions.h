#pragma once
// The texts that register Quillon with an AI host: a JSON block, one-line shell commands, an
// install link and a prompt for an assistant. Pure text generation; nothing is validated.

#include <optional>
#include <string>
#include <string_view>

namespace recorder {

struct AutomationSetupInstructions {
    static constexpr std::string_view defaultServerName = "lumora";

    std::string helperPath;
    std::string serverName;
    std::string appName;

    AutomationSetupInstructions(std::string helperPath, std::string serverName, std::string appName);

    bool operator==(const AutomationSetupInstructions&) const = default;

    std::string jsonConfiguration() const;
    std::string serverEntryJSON() const;
    std::string codexCommand() const;
    std::string claudeCodeCommand() const;
    std::string vsCodeCommand() const;
    // The install link as text; absent when it cannot be formed (never, with percent-encoding
    // working on bytes, but callers treat it as optional).
    std::optional<std::string> cursorInstallLink() const;
    std::string assistantPrompt() const;
    static std::string claudeDesktopInstructions();

    // `s` as one JSON string value, quotes included, "/" and non-ASCII characters unescaped;
    // "\"\"" when `s` is not valid UTF-8.
    static std::string jsonString(std::string_view s);
    // `s` as one double-quoted shell word: `"`, `\`, `$` and the backquote get a backslash.
    static std::string shellQuoted(std::string_view s);
};

}  // namespace recorder
