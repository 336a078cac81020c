#pragma once
// The reference app as a program: reads its settings, starts the automation socket server
// with its request handler, and runs until SIGINT or SIGTERM, saving any recording in progress
// before it quits. SIGUSR1 is its record button, SIGHUP re-reads the settings.

#include <string>
#include <vector>

namespace lumora {

class LumoraApp {
public:
    // Returns the process exit status: 0 after a clean quit, 1 when the app could not start
    // serving, 2 for a bad command line.
    static int run(const std::vector<std::string>& arguments);
};

}  // namespace lumora
