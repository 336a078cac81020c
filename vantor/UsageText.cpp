#include "vantor/UsageText.h"

#include <string>

namespace vantor {

const std::string_view usageText =
    "usage: vantor [--app <path to .app>] <command> [options]\n"
    "\n"
    "commands:\n"
    "  capabilities                      app, permission readiness, limits\n"
    "  displays                          connected displays with IDs\n"
    "  start --display <id> [--duration <seconds>] [--system-audio] [--wait] [--request-id <id>]\n"
    "  status [--session <id>]           current session, or one automated session\n"
    "  stop --session <id>               finalize an automated session\n"
    "  result --session <id> [--wait] [--timeout <seconds>]\n"
    "  setup [--format prompt|json|commands]   text to connect an AI host to this app\n"
    "\n"
    "Output is one JSON document on stdout. Exit codes: 0 ok, 2 usage, 3 automation disabled or\n"
    "setup required, 4 busy/stale/missing target, 5 recording failed, 6 connection or timeout.";

void writeUsage(std::ostream& err) {
    std::string block(usageText);
    block += '\n';
    err.write(block.data(), std::streamsize(block.size()));
    err.flush();
}

}  // namespace vantor
