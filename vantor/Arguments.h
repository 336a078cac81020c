#pragma once
// vantor's parsed command line.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vantor {

struct Arguments {
    std::optional<std::string> app;
    std::optional<std::string> command;
    std::map<std::string, std::string> options;
    std::set<std::string> flags;

    // Parses the process arguments without the program path; nothing when the line is a usage
    // error.
    static std::optional<Arguments> parse(const std::vector<std::string>& arguments);

    bool operator==(const Arguments&) const = default;

    std::optional<std::string> option(const std::string& name) const;
    bool hasFlag(const std::string& name) const { return flags.contains(name); }
};

}  // namespace vantor
