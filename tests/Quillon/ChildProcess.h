#pragma once
// Runs a program to its end with a chosen environment, feeding its standard input and
// collecting both outputs, within a time limit.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ChildOutcome {
    int status = -1;  // exit status; -1 when it did not exit within the limit (it is killed)
    std::string out;
    std::string err;
};

struct ChildRequest {
    std::string program;
    std::vector<std::string> arguments;
    // Variables to set on top of this process's environment; nullopt removes one.
    std::map<std::string, std::optional<std::string>> environment;
    std::string input;
    bool closeInput = true;  // false keeps standard input open until the child ends
    std::chrono::milliseconds limit = std::chrono::seconds(10);

    ChildRequest& withProgram(std::string p) {
        program = std::move(p);
        return *this;
    }
    ChildRequest& withArguments(std::vector<std::string> a) {
        arguments = std::move(a);
        return *this;
    }
    ChildRequest& withVariable(std::string name, std::optional<std::string> value) {
        environment[std::move(name)] = std::move(value);
        return *this;
    }
    ChildRequest& withInput(std::string i) {
        input = std::move(i);
        return *this;
    }
    ChildRequest& keepingInputOpen() {
        closeInput = false;
        return *this;
    }
    ChildRequest& within(std::chrono::milliseconds l) {
        limit = l;
        return *this;
    }
};

ChildOutcome runChild(const ChildRequest& request);
