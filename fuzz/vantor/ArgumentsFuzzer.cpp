// Arbitrary command lines (arguments separated by NUL bytes) through vantor's parser. A parse
// either refuses the line or yields a value whose parts are all known names; writing that value back
// as a command line parses to the same value, options may follow or precede the command, and
// adding an unknown option or a second command always fails.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <charconv>

#include "fuzz/FuzzCheck.h"
#include "vantor/Arguments.h"
#include "vantor/DecimalInteger.h"

namespace {

using vantor::Arguments;

std::optional<Arguments> parse(const std::vector<std::string>& arguments) { return Arguments::parse(arguments); }

const std::set<std::string> valueOptions = {"display", "duration", "request-id", "session", "timeout", "format"};
const std::set<std::string> flagOptions = {"system-audio", "wait", "help"};

std::vector<std::string> written(const Arguments& value, bool commandFirst) {
    std::vector<std::string> line;
    if (value.command && commandFirst) line.push_back(*value.command);
    if (value.app) line.insert(line.end(), {"--app", *value.app});
    for (const auto& [name, text] : value.options) line.insert(line.end(), {"--" + name, text});
    for (const auto& flag : value.flags) line.push_back("--" + flag);
    if (value.command && !commandFirst) line.push_back(*value.command);
    return line;
}

// The decimal reading of an option value, worked out with the standard parser: an optional
// sign, then digits only, within 64 bits.
std::optional<std::int64_t> expectedInteger(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    if (text[0] == '+') text.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (!bytes.empty()) {
        for (std::size_t start = 0;;) {
            const auto end = bytes.find('\0', start);
            arguments.emplace_back(bytes.substr(start, end == std::string_view::npos ? end : end - start));
            if (end == std::string_view::npos) break;
            start = end + 1;
        }
    }

    const auto value = parse(arguments);
    if (!value) return 0;
    if (value->command) FUZZ_CHECK(!value->command->starts_with("--"));
    for (const auto& [name, text] : value->options) {
        FUZZ_CHECK(valueOptions.contains(name));
        // Durations and time-outs are read from these values.
        FUZZ_CHECK(vantor::parseDecimalInteger(text) == expectedInteger(text));
    }
    for (const auto& argument : arguments)
        FUZZ_CHECK(vantor::parseDecimalInteger(argument) == expectedInteger(argument));
    for (const auto& flag : value->flags) FUZZ_CHECK(flagOptions.contains(flag));

    FUZZ_CHECK(parse(written(*value, true)) == value);
    FUZZ_CHECK(parse(written(*value, false)) == value);

    auto withUnknown = arguments;
    withUnknown.push_back("--unknown-option");
    FUZZ_CHECK(!parse(withUnknown));
    auto withDangling = arguments;
    withDangling.push_back("--session");
    FUZZ_CHECK(!parse(withDangling));
    if (value->command) {
        auto withSecond = arguments;
        withSecond.push_back("second");
        FUZZ_CHECK(!parse(withSecond));
    }
    auto withHelp = arguments;
    withHelp.push_back("--help");
    auto helped = parse(withHelp);
    FUZZ_CHECK(helped && helped->hasFlag("help") && helped->command == value->command &&
               helped->options == value->options && helped->app == value->app);
    return 0;
}
