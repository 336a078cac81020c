#pragma once
// Runs a program to its end as a child process with its own environment, feeding its standard
// input and collecting standard output and standard error, within a time limit.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessOutcome {
    int exitStatus = -1;  // the exit status, or -1 when the child was killed (a time-out included)
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct ProcessOptions {
    // Variables set (a value) or removed (no value) on top of this process's environment.
    std::map<std::string, std::optional<std::string>> environment;
    std::string input;
    bool closeInput = true;  // false keeps standard input open until the child ends
    std::chrono::milliseconds timeLimit{15000};

    ProcessOptions& withVariable(std::string name, std::optional<std::string> value) {
        environment[std::move(name)] = std::move(value);
        return *this;
    }
    ProcessOptions& withInput(std::string bytes) {
        input = std::move(bytes);
        return *this;
    }
    ProcessOptions& keepingInputOpen() {
        closeInput = false;
        return *this;
    }
    ProcessOptions& within(std::chrono::milliseconds limit) {
        timeLimit = limit;
        return *this;
    }
};

inline ProcessOptions inEnvironment(std::map<std::string, std::optional<std::string>> environment) {
    ProcessOptions options;
    options.environment = std::move(environment);
    return options;
}

inline ProcessOptions withInput(std::string input) { return ProcessOptions().withInput(std::move(input)); }

// argv[0] is the program's path. Throws when the child cannot be started.
ProcessOutcome runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace testsupport
