#pragma once
// vantor's parsed command line.

#include <exception>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vantor {

// The command line cannot be used. It carries no message on purpose: vantor answers every
// grammar error with the usage text alone.
struct Usage : std::exception {
    const char* what() const noexcept override { return "usage"; }
};

struct Arguments {
    std::optional<std::string> app;
    std::optional<std::string> command;
    std::map<std::string, std::string> options;
    std::set<std::string> flags;

    Arguments() = default;
    // Parses the process arguments without the program path; throws Usage.
    explicit Arguments(const std::vector<std::string>& arguments);

    bool operator==(const Arguments&) const = default;

    std::optional<std::string> option(const std::string& name) const;
    bool hasFlag(const std::string& name) const { return flags.contains(name); }
};

}  // namespace vantor
