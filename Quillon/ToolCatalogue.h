#pragma once
// Quillon's tools as one table: each row is a tool's name, description, input schema and
// annotations (what "tools/list" shows) and the session operation behind it. Adding a tool is
// adding a row.

#include "Quillon/CallProgress.h"
#include "QuillonServer/MCPTool.h"
#include "RecorderAutomation/Client/RecorderAutomationSession.h"
#include "RecorderAutomation/Protocol/AutomationFailure.h"

#include <nlohmann/json.hpp>
#include <span>
#include <stop_token>
#include <string_view>
#include <variant>
#include <vector>

namespace quillon::ToolCatalogue {

// What an operation works with: the connected session and the call's arguments (always an
// object: anything else reads as one without members).
struct Call {
    recorder::RecorderAutomationSession& session;
    const mcp::JSON& arguments;
    std::stop_token cancel;
    CallProgress* progress = nullptr;  // null when the host asked for no progress
};

// The reply's automation value, or a failure found in the arguments, answered as is with the
// session untouched. Failures of the session itself are thrown as its Failure.
using Outcome = std::variant<nlohmann::json, recorder::AutomationFailure>;

struct Tool {
    mcp::MCPTool listing;
    Outcome (*operation)(const Call&);
};

// The rows in listing order.
std::span<const Tool> table();

// The row named `name`, or null.
const Tool* find(std::string_view name);

// The listings of the rows, in order.
std::vector<mcp::MCPTool> tools();

}  // namespace quillon::ToolCatalogue
