#include "RecorderAutomation/Protocol/JSONTape.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

namespace recorder {

namespace {

// Bytes after which the direct path cannot promise nlohmann's reading: anything beyond ASCII
// (UTF-8 checks, a byte-order mark), escapes, and control bytes other than JSON's whitespace.
bool takesEveryByte(std::string_view text) {
    for (const char byte : text) {
        const auto code = static_cast<unsigned char>(byte);
        if (code >= 0x80 || byte == '\\') return false;
        if (code < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') return false;
    }
    return true;
}

// Receives the reader's events. Returning false stops the reader, which then reports an error.
class TapeWriter {
public:
    using Ch = char;
    using Token = JSONTape::Token;
    using Kind = JSONTape::Kind;

    TapeWriter(std::vector<Token>& tokens, const rapidjson::MemoryStream& stream, std::string_view text)
        : tokens_(tokens), stream_(stream), text_(text) {}

    bool Null() { return push({Kind::null}); }
    bool Bool(bool value) {
        Token token{Kind::boolean};
        token.boolean = value;
        return push(token);
    }
    // Numbers arrive only as text (kParseNumbersAsStringsFlag).
    bool Int(int) { return false; }
    bool Uint(unsigned) { return false; }
    bool Int64(std::int64_t) { return false; }
    bool Uint64(std::uint64_t) { return false; }
    bool Double(double) { return false; }
    bool RawNumber(const char* digits, rapidjson::SizeType length, bool) {
        const std::string_view number(digits, length);
        const char* const end = digits + length;
        Token token;
        if (number.find_first_of(".eE") == std::string_view::npos) {
            // Beyond 64 signed bits nlohmann reads an unsigned or a real: left to it.
            token.kind = Kind::integer;
            const auto [stop, error] = std::from_chars(digits, end, token.integer);
            if (error != std::errc() || stop != end) return false;
        } else {
            // from_chars rounds exactly as strtod does; it reports underflow, which nlohmann takes
            // silently, and overflow, which nlohmann refuses: both are left to the tree path.
            token.kind = Kind::real;
            const auto [stop, error] = std::from_chars(digits, end, token.real);
            if (error != std::errc() || stop != end || !std::isfinite(token.real)) return false;
        }
        return push(token);
    }
    bool String(const char* text, rapidjson::SizeType length, bool) { return pushText(Kind::text, text, length); }
    bool Key(const char* text, rapidjson::SizeType length, bool) { return pushText(Kind::key, text, length); }
    bool StartObject() { return open(Kind::beginObject); }
    bool EndObject(rapidjson::SizeType) { return close(Kind::endObject); }
    bool StartArray() { return open(Kind::beginArray); }
    bool EndArray(rapidjson::SizeType) { return close(Kind::endArray); }

private:
    bool push(const Token& token) {
        tokens_.push_back(token);
        return true;
    }
    // Without escapes a string's value is the text just before its closing quote, where the
    // stream now stands; checked, so that a view can never point at other bytes.
    bool pushText(Kind kind, const char* text, rapidjson::SizeType length) {
        const std::size_t after = stream_.Tell();
        if (after < std::size_t{length} + 1) return false;
        const std::size_t begin = after - 1 - length;
        if (text_.compare(begin, length, std::string_view(text, length)) != 0) return false;
        Token token{kind};
        token.text = text_.substr(begin, length);
        return push(token);
    }
    bool open(Kind kind) {
        if (++depth_ > JSONTape::maxDepth) return false;
        return push({kind});
    }
    bool close(Kind kind) {
        --depth_;
        return push({kind});
    }

    std::vector<Token>& tokens_;
    const rapidjson::MemoryStream& stream_;
    std::string_view text_;
    int depth_ = 0;
};

}  // namespace

bool JSONTape::read(std::string_view text) {
    tokens_.clear();
    if (!takesEveryByte(text)) return false;
    rapidjson::MemoryStream stream(text.data(), text.size());
    TapeWriter writer(tokens_, stream, text);
    // Kept per thread: the reader's scratch stack is reused rather than allocated per frame.
    thread_local rapidjson::Reader reader;
    // No comments, trailing commas, NaN or other extensions: the strict grammar nlohmann reads.
    return !reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(stream, writer).IsError();
}

}  // namespace recorder
