#pragma once
// Quillon's process start: its fixed texts, where it finds the app (its bundle or RECORDER_APP),
// whether it traces, and the whole program as one function that returns the exit status.

#include "RecorderAutomation/Client/RecorderAppLocator.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::QuillonStartup {

inline constexpr std::string_view serverName = "lumora";
inline constexpr std::string_view instructions =
    "Controls the Lumora app on this computer. Typical flow: recorder_capabilities \u2192 recorder_list_displays "
    "\u2192 recorder_start_recording \u2192 (do the work being demonstrated) \u2192 recorder_stop_recording \u2192 "
    "recorder_recording_result. Recording requires the user to have enabled local automation and granted "
    "screen-recording permission in the app; the tools report what is missing instead of prompting.";
inline constexpr std::string_view appOverrideVariable = "RECORDER_APP";
inline constexpr std::string_view warmArgument = "--warm";
inline constexpr std::string_view traceSwitchFileName = "mcp-trace.enabled";
inline constexpr std::string_view traceLogFileName = "mcp-trace.log";
inline constexpr std::string_view failureText =
    "Quillon must run from inside Lumora.app (Contents/Helpers) or with RECORDER_APP set to the app path.\n";

// From RECORDER_APP when set (the program's own location is then not tried), else from the
// bundle around this executable.
std::optional<recorder::RecorderAppLocator> resolveLocator();
// The same with the program's embedded information dictionary already read.
std::optional<recorder::RecorderAppLocator> resolveLocator(const std::optional<nlohmann::json>& info);

// "mcp-trace.log" next to the automation socket when "mcp-trace.enabled" exists there.
std::optional<std::filesystem::path> traceFile(const recorder::RecorderAppLocator& locator);

// CFBundleShortVersionString of the program's own information list when it is text, else "0".
std::string serverVersion(const std::optional<nlohmann::json>& info);

// The whole program: returns the exit status.
int run(int argc, char** argv);

}  // namespace quillon::QuillonStartup
