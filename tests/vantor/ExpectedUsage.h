#pragma once
// The usage text as users must see it, byte for byte, written out independently of the program's
// own constant so that the tests compare against the documented text.

#include <string_view>

namespace testsupport {

inline constexpr std::string_view expectedUsage =
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

}  // namespace testsupport
