#include "vantor/Arguments.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace vantor {

namespace {
constexpr std::array<std::string_view, 7> valueOptions = {"app",     "display", "duration", "request-id",
                                                          "session", "timeout", "format"};
constexpr std::array<std::string_view, 3> flagOptions = {"system-audio", "wait", "help"};

bool contains(const auto& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}
}  // namespace

std::optional<Arguments> Arguments::parse(const std::vector<std::string>& arguments) {
    Arguments parsed;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument.starts_with("--")) {
            const std::string name = argument.substr(2);
            if (contains(valueOptions, name)) {
                if (++index == arguments.size()) return std::nullopt;
                if (name == "app")
                    parsed.app = arguments[index];
                else
                    parsed.options[name] = arguments[index];
            } else if (contains(flagOptions, name)) {
                parsed.flags.insert(name);
            } else {
                return std::nullopt;
            }
        } else {
            if (parsed.command) return std::nullopt;
            parsed.command = argument;
        }
    }
    return parsed;
}

std::optional<std::string> Arguments::option(const std::string& name) const {
    const auto found = options.find(name);
    if (found == options.end()) return std::nullopt;
    return found->second;
}

}  // namespace vantor
