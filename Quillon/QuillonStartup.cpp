#include "Quillon/QuillonStartup.h"

#include "Quillon/RecorderBridge.h"
#include "Quillon/ToolCatalogue.h"
#include "QuillonServer/MCPServer.h"
#include "QuillonServer/StdioMCPTransport.h"
#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Platform/EmbeddedInfoPlist.h"

#include <cstdlib>
#include <system_error>
#include <unistd.h>

namespace quillon::QuillonStartup {

std::optional<recorder::RecorderAppLocator> resolveLocator() {
    return resolveLocator(recorder::platform::embeddedInfoDictionary());
}

std::optional<recorder::RecorderAppLocator> resolveLocator(const std::optional<nlohmann::json>& info) {
    try {
        if (const char* app = std::getenv(std::string(appOverrideVariable).c_str()))
            return recorder::RecorderAppLocator::forBundle(std::filesystem::path(app));
        return recorder::RecorderAppLocator::containing(recorder::RecorderAppLocator::ownExecutable(), info);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::filesystem::path> traceFile(const recorder::RecorderAppLocator& locator) {
    try {
        auto endpoint = recorder::AutomationEndpoint::standard(locator.bundleIdentifier(), locator.appGroup());
        std::error_code error;
        if (std::filesystem::exists(endpoint.directory() / traceSwitchFileName, error))
            return endpoint.directory() / traceLogFileName;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::string serverVersion(const std::optional<nlohmann::json>& info) {
    if (info && info->is_object()) {
        auto version = info->find("CFBundleShortVersionString");
        if (version != info->end() && version->is_string()) return version->get<std::string>();
    }
    return "0";
}

int run(int argc, char** argv) {
    // Read once: start-up time is what a host waits for before its first reply.
    auto embedded = recorder::platform::embeddedInfoDictionary();
    auto locator = resolveLocator(embedded);
    if (!locator) {
        // Written before anything is read from standard input.
        std::string_view text = failureText;
        while (!text.empty()) {
            ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
            if (written <= 0) break;
            text.remove_prefix(static_cast<std::size_t>(written));
        }
        return 1;
    }
    for (int i = 1; i < argc; ++i)
        if (argv[i] == warmArgument) return 0;

    auto trace = traceFile(*locator);
    mcp::MCPServer::Info info{std::string(serverName), serverVersion(embedded), std::string(instructions)};
    auto bridge = std::make_shared<RecorderBridge>(*locator);
    auto transport = std::make_shared<mcp::StdioMCPTransport>(STDIN_FILENO, STDOUT_FILENO, trace);
    // The tools are read at the first listing or call, after the initialize reply.
    mcp::MCPServer server(std::move(info), mcp::MCPServer::Catalogue(&ToolCatalogue::tools), bridge, transport);
    server.serve();
    return 0;
}

}  // namespace quillon::QuillonStartup
