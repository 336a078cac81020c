#pragma once
// Runs a program as a child process with its own environment, feeding it standard input and
// collecting standard output and standard error, within a time limit.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct ProcessOutcome {
    int exitStatus = -1;  // the exit status, or -1 when the child was killed by a signal
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct ProcessOptions {
    // Variables set (a value) or removed (no value) on top of this process's environment.
    std::map<std::string, std::optional<std::string>> environment;
    std::string input;
    std::chrono::milliseconds timeLimit{15000};
};

inline ProcessOptions inEnvironment(std::map<std::string, std::optional<std::string>> environment) {
    ProcessOptions options;
    options.environment = std::move(environment);
    return options;
}

inline ProcessOptions withInput(std::string input) {
    ProcessOptions options;
    options.input = std::move(input);
    return options;
}

ProcessOutcome runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace testing_support
