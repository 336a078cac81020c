#pragma once
// A program run as a child process with its standard streams on pipes, under a small supervisor
// process that ends it should Lumora die (the pid is the supervisor's). The child gets its own
// process group (so a terminal's Ctrl-C reaches only Lumora, which then stops it in order), an
// empty signal mask and default signal dispositions, and none of Lumora's other descriptors.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "RecorderAutomation/Support/Failure.h"

namespace lumora {

class ChildProcess {
public:
    struct ProgramNotFound {
        std::string program;
        static constexpr auto failureCase() {
            return recorder::failure::form("programNotFound", recorder::failure::value(&ProgramNotFound::program));
        }
        bool operator==(const ProgramNotFound&) const = default;
    };
    using SystemCall = recorder::SystemCall;
    struct Failure : recorder::BasicFailure<struct ChildProcessTag, ProgramNotFound, SystemCall> {
        using BasicFailure::BasicFailure;
    };

    // The exit of a child: a status, or the signal that ended it.
    struct Exit {
        std::optional<int> status;
        std::optional<int> signal;
        bool succeeded() const { return status && *status == 0; }
        std::string description() const;
    };

    // Starts `program` (looked up in PATH unless it holds a slash) with `arguments`, and with
    // `environment` ("NAME=value" entries) in place of Lumora's own when one is given.
    // `inherited`, when not -1, is handed to the program as its descriptor 3 (the only one
    // besides the standard streams); the caller keeps its own copy.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::optional<std::vector<std::string>>& environment = std::nullopt, int inherited = -1);
    ~ChildProcess();  // kills and reaps a child that still runs; closes the pipes
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    int standardOutput() const { return out_; }
    int standardError() const { return err_; }

    // Writes to the child's standard input; false once the child no longer reads it.
    bool writeInput(std::string_view bytes);
    void closeInput();
    void signal(int number);

    // The exit if the child has ended (reaps it), else nothing.
    std::optional<Exit> poll();
    // Waits up to `timeout` for the end.
    std::optional<Exit> waitFor(std::chrono::milliseconds timeout);

    // Runs a program to its end and returns its standard output, within `timeout` (then it is
    // killed). Standard error is discarded.
    struct Captured {
        Exit exit;
        std::string output;
        bool timedOut = false;
    };
    static Captured run(const std::string& program, const std::vector<std::string>& arguments,
                        std::chrono::milliseconds timeout);

    // The full path of `program` in PATH, or nothing.
    static std::optional<std::string> locate(const std::string& program);

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::optional<Exit> exit_;
};

}  // namespace lumora
