#pragma once
// Turns a handler's reply into one response frame.

#include <string>
#include <string_view>

#include "RecorderAutomation/Protocol/AutomationReply.h"

namespace recorder::AutomationResponseEncoder {

// A success response carrying the reply's payload, or a failure response (EmptyPayload, no
// result) carrying its failure; version 1 and the given identifiers. Throws as
// LineFrameEncoder::encode; no fallback frame is made here.
std::string encode(const AutomationReply& reply, std::string_view requestID, std::string_view appInstanceID);
// The same frame, moving the payload out of `reply` instead of copying it.
std::string encode(AutomationReply&& reply, std::string_view requestID, std::string_view appInstanceID);

}  // namespace recorder::AutomationResponseEncoder
