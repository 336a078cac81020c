#include "vantor/UsageText.h"

#include <string>

#include "vantor/Commands.h"

namespace vantor {
namespace {

// The command lines come from the command table, between a fixed head and tail.
const std::string& usageBlock() {
    static const std::string block = [] {
        std::string text =
            "usage: vantor [--app <path to .app>] <command> [options]\n"
            "\n"
            "commands:\n";
        for (const auto& command : commands()) {
            text += "  ";
            text += command.usage;
            text += '\n';
        }
        text +=
            "\n"
            "Output is one JSON document on stdout. Exit codes: 0 ok, 2 usage, 3 automation disabled or\n"
            "setup required, 4 busy/stale/missing target, 5 recording failed, 6 connection or timeout.";
        return text;
    }();
    return block;
}

}  // namespace

const std::string_view usageText = usageBlock();

void writeUsage(std::ostream& err) {
    std::string block(usageText);
    block += '\n';
    err.write(block.data(), std::streamsize(block.size()));
    err.flush();
}

void writeUsage(const OutputChannel& err) {
    std::string block(usageText);
    block += '\n';
    err.write(block);
}

}  // namespace vantor
