#include "QuillonServer/JSONReader.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <rapidjson/reader.h>

namespace mcp::JSONReader {
namespace {

// 2^63 as a double: every double in [-2^63, 2^63) with no fraction is an int64.
constexpr double twoTo63 = 9223372036854775808.0;

// Text whose reading could differ from nlohmann's is not taken: bytes beyond ASCII (UTF-8
// checks, a byte-order mark), control bytes other than JSON's whitespace, and \u escapes
// (surrogate rules differ between the two readers).
bool takesEveryByte(std::string_view text) {
    static constexpr auto refused = [] {
        std::array<bool, 256> table{};
        for (int code = 0; code < 256; ++code)
            table[code] = code >= 0x80 || (code < 0x20 && code != '\t' && code != '\n' && code != '\r');
        return table;
    }();
    bool any = false;
    for (const char byte : text) any |= refused[static_cast<unsigned char>(byte)];
    return !any && text.find("\\u") == std::string_view::npos;
}

// Builds the value from the reader's events. Returning false stops the reader, and the text is
// then left to the complete parser.
class Builder {
public:
    using Ch = char;

    bool Null() { return add(JSON()); }
    bool Bool(bool value) { return add(JSON(value)); }
    // Numbers arrive only as text (kParseNumbersAsStringsFlag), read below as nlohmann would.
    bool Int(int) { return false; }
    bool Uint(unsigned) { return false; }
    bool Int64(std::int64_t) { return false; }
    bool Uint64(std::uint64_t) { return false; }
    bool Double(double) { return false; }
    bool RawNumber(const char* digits, rapidjson::SizeType length, bool) {
        const char* const end = digits + length;
        if (std::string_view(digits, length).find_first_of(".eE") == std::string_view::npos) {
            std::int64_t integer = 0;
            auto [stop, error] = std::from_chars(digits, end, integer);
            // Beyond int64 nlohmann reads an unsigned or a real: the complete parser's case.
            return error == std::errc() && stop == end && add(JSON(integer));
        }
        double real = 0;
        auto [stop, error] = std::from_chars(digits, end, real);
        if (error != std::errc() || stop != end || !std::isfinite(real)) return false;
        if (std::trunc(real) == real && real >= -twoTo63 && real < twoTo63)
            return add(JSON(static_cast<std::int64_t>(real)));
        return add(JSON(real));
    }
    bool String(const char* text, rapidjson::SizeType length, bool) { return add(JSON(std::string(text, length))); }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        open_.back().key.assign(text, length);
        return true;
    }
    bool StartObject() { return begin(true); }
    bool EndObject(rapidjson::SizeType) { return end(); }
    bool StartArray() { return begin(false); }
    bool EndArray(rapidjson::SizeType) { return end(); }

    JSON take() { return std::move(root_); }

private:
    struct Open {
        // Made in place: moving a fresh container in makes GCC warn, falsely, of uninitialised
        // members of the cases it does not hold.
        explicit Open(bool object) : container(object ? JSON(JSON::Object{}) : JSON(JSON::Array{})) {}
        JSON container;
        std::string key;  // of the member being read, in an object
    };

    bool begin(bool object) {
        if (open_.size() >= static_cast<std::size_t>(maximumDepth)) return false;
        open_.emplace_back(object);
        return true;
    }

    bool end() {
        JSON done = std::move(open_.back().container);
        open_.pop_back();
        return add(std::move(done));
    }

    bool add(JSON value) {
        if (open_.empty()) {
            root_ = std::move(value);
        } else if (auto* members = open_.back().container.objectValue()) {
            members->insert_or_assign(std::move(open_.back().key),
                                      std::move(value));  // a repeated key: the last counts
        } else {
            open_.back().container.arrayValue()->push_back(std::move(value));
        }
        return true;
    }

    std::vector<Open> open_;
    JSON root_;
};

}  // namespace

std::optional<JSON> read(std::string_view text) {
    if (!takesEveryByte(text)) return std::nullopt;
    // Read in place from a copy: strings are views of it, and the reader's own stack, whose first
    // use offsets a null pointer, is never needed.
    // Padded: rapidjson's SSE2 scanners load aligned 16-byte blocks up to the one holding the NUL.
    thread_local std::string copy;
    copy.reserve(text.size() + 16);
    copy.assign(text);
    rapidjson::InsituStringStream bytes(copy.data());
    rapidjson::Reader reader;
    Builder builder;
    constexpr unsigned flags = rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag;
    if (reader.Parse<flags>(bytes, builder).IsError()) return std::nullopt;
    return builder.take();
}

}  // namespace mcp::JSONReader
