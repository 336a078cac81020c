#pragma once
// The protocol's published constants, shared by every party.

#include <cstdint>
#include <string_view>

namespace recorder::AutomationProtocol {

// Written into every request and response; a client refuses a response of another version.
inline constexpr std::int64_t version = 1;
// Largest frame in bytes, line feed not counted; enforced by the frame encoder and decoder.
inline constexpr std::int64_t maximumMessageBytes = 65536;
// Most client connections the socket server holds at once.
inline constexpr std::int64_t maximumConnections = 8;
// Bounds of a start request's durationSeconds (checked by the app's handler, not the decoder).
inline constexpr std::int64_t minimumDurationSeconds = 1;
inline constexpr std::int64_t maximumDurationSeconds = 3600;
// Most automated sessions the app retains.
inline constexpr std::int64_t maximumRetainedSessions = 256;
// Longest identifier the protocol admits.
inline constexpr std::int64_t maximumIdentifierLength = 128;
// The argument with which a client launches the app.
inline constexpr std::string_view automationLaunchArgument = "--automation-launch";

}  // namespace recorder::AutomationProtocol
