#include "QuillonServer/JSONReader.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace mcp::JSONReader {
namespace {

// 2^63 as a double: every double in [-2^63, 2^63) with no fraction is an int64.
constexpr double twoTo63 = 9223372036854775808.0;

// Every member returns false to give up; the caller then knows nothing about `text`.
class Reader {
public:
    explicit Reader(std::string_view text) : at_(text.data()), end_(text.data() + text.size()) {}

    bool document(JSON& out) {
        skipSpace();
        if (!value(out, 0)) return false;
        skipSpace();
        return at_ == end_;
    }

private:
    void skipSpace() {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
    }

    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - at_) < word.size() || std::string_view(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }

    bool value(JSON& out, int depth) {
        if (at_ == end_) return false;
        switch (*at_) {
            case '{':
                return object(out, depth + 1);
            case '[':
                return array(out, depth + 1);
            case '"': {
                std::string text;
                if (!string(text)) return false;
                out = JSON(std::move(text));
                return true;
            }
            case 't':
                out = JSON(true);
                return literal("true");
            case 'f':
                out = JSON(false);
                return literal("false");
            case 'n':
                out = JSON();
                return literal("null");
            default:
                return number(out);
        }
    }

    bool object(JSON& out, int depth) {
        if (depth > maximumDepth) return false;
        ++at_;  // {
        JSON::Object members;
        skipSpace();
        if (at_ != end_ && *at_ == '}') {
            ++at_;
            out = JSON(std::move(members));
            return true;
        }
        for (;;) {
            skipSpace();
            std::string key;
            if (at_ == end_ || *at_ != '"' || !string(key)) return false;
            skipSpace();
            if (at_ == end_ || *at_ != ':') return false;
            ++at_;
            skipSpace();
            JSON member;
            if (!value(member, depth)) return false;
            members.insert_or_assign(std::move(key), std::move(member));  // a repeated key: the last one counts
            skipSpace();
            if (at_ == end_) return false;
            if (*at_ == '}') {
                ++at_;
                out = JSON(std::move(members));
                return true;
            }
            if (*at_++ != ',') return false;
        }
    }

    bool array(JSON& out, int depth) {
        if (depth > maximumDepth) return false;
        ++at_;  // [
        JSON::Array elements;
        skipSpace();
        if (at_ != end_ && *at_ == ']') {
            ++at_;
            out = JSON(std::move(elements));
            return true;
        }
        for (;;) {
            skipSpace();
            JSON element;
            if (!value(element, depth)) return false;
            elements.push_back(std::move(element));
            skipSpace();
            if (at_ == end_) return false;
            if (*at_ == ']') {
                ++at_;
                out = JSON(std::move(elements));
                return true;
            }
            if (*at_++ != ',') return false;
        }
    }

    // Printable ASCII and the short escapes; \u escapes and bytes beyond ASCII are the complete
    // parser's (surrogate pairs, UTF-8 checking).
    bool string(std::string& out) {
        ++at_;  // "
        const char* run = at_;
        for (;;) {
            if (at_ == end_) return false;
            auto byte = static_cast<unsigned char>(*at_);
            if (byte == '"') {
                out.append(run, at_);
                ++at_;
                return true;
            }
            if (byte < 0x20 || byte >= 0x80) return false;
            if (byte != '\\') {
                ++at_;
                continue;
            }
            out.append(run, at_);
            if (++at_ == end_) return false;
            switch (*at_) {
                case '"':
                case '\\':
                case '/':
                    out += *at_;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                default:
                    return false;
            }
            run = ++at_;
        }
    }

    static bool digit(char c) { return c >= '0' && c <= '9'; }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, as an int64 when it has no fraction (or a
    // double that is a whole number within the int64 range), else as a double.
    bool number(JSON& out) {
        const char* begin = at_;
        if (at_ != end_ && *at_ == '-') ++at_;
        if (at_ == end_ || !digit(*at_)) return false;
        if (*at_ == '0') {
            ++at_;
        } else {
            while (at_ != end_ && digit(*at_)) ++at_;
        }
        bool integral = true;
        if (at_ != end_ && *at_ == '.') {
            integral = false;
            ++at_;
            if (at_ == end_ || !digit(*at_)) return false;
            while (at_ != end_ && digit(*at_)) ++at_;
        }
        if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
            integral = false;
            ++at_;
            if (at_ != end_ && (*at_ == '+' || *at_ == '-')) ++at_;
            if (at_ == end_ || !digit(*at_)) return false;
            while (at_ != end_ && digit(*at_)) ++at_;
        }
        if (integral) {
            std::int64_t i = 0;
            auto [stop, error] = std::from_chars(begin, at_, i);
            if (error != std::errc() || stop != at_) return false;  // beyond int64: the complete parser's
            out = JSON(i);
            return true;
        }
        double d = 0;
        auto [stop, error] = std::from_chars(begin, at_, d);
        if (error != std::errc() || stop != at_ || !std::isfinite(d)) return false;
        if (std::trunc(d) == d && d >= -twoTo63 && d < twoTo63)
            out = JSON(static_cast<std::int64_t>(d));
        else
            out = JSON(d);
        return true;
    }

    const char* at_;
    const char* end_;
};

}  // namespace

std::optional<JSON> read(std::string_view text) {
    JSON value;
    if (!Reader(text).document(value)) return std::nullopt;
    return value;
}

}  // namespace mcp::JSONReader
