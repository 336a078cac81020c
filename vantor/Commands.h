#pragma once
// vantor's commands as one table: each row is a command's name, its line in the usage text and
// what it does. Adding a command is adding a row.

#include <optional>
#include <span>
#include <string_view>

#include "vantor/CommandExecution.h"
#include "vantor/Outcome.h"

namespace vantor {

struct Command {
    std::string_view name;
    // Its line in the usage text, after the two blanks of indentation.
    std::string_view usage;
    // Whether the app must be reached first; a command that needs it is only told unknown once
    // the app answers, so the connection comes before the lookup.
    bool reachesApp;
    Outcome (*run)(CommandExecution&);
};

// The rows in usage order.
std::span<const Command> commands();

// The row named `name`, or null.
const Command* findCommand(std::string_view name);

}  // namespace vantor
