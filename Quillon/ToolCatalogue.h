#pragma once
// The six tools' names and their descriptions as the host lists them, kept in one place so that
// the listing and the dispatch cannot drift apart.

#include "QuillonServer/MCPTool.h"

#include <string_view>
#include <vector>

namespace quillon::ToolCatalogue {

inline constexpr std::string_view capabilities = "recorder_capabilities";
inline constexpr std::string_view listDisplays = "recorder_list_displays";
inline constexpr std::string_view startRecording = "recorder_start_recording";
inline constexpr std::string_view recordingStatus = "recorder_recording_status";
inline constexpr std::string_view stopRecording = "recorder_stop_recording";
inline constexpr std::string_view recordingResult = "recorder_recording_result";

// Quillon's six tools in listing order. RecorderBridge dispatches on the same names.
std::vector<mcp::MCPTool> tools();

}  // namespace quillon::ToolCatalogue
