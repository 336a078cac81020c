#include "RecorderAutomation/Protocol/JSONTape.h"

#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>

#include <rapidjson/reader.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace recorder {

namespace {

constexpr std::size_t simdPadding = 16;

// Bytes after which the direct path cannot promise nlohmann's reading: anything beyond ASCII
// (UTF-8 checks, a byte-order mark), escapes, and control bytes other than JSON's whitespace.
bool takesEveryByte(std::string_view text) {
    static constexpr auto refused = [] {
        std::array<unsigned char, 256> table{};
        for (int code = 0; code < 256; ++code)
            table[code] = code >= 0x80 || code == '\\' || (code < 0x20 && code != '\t' && code != '\n' && code != '\r');
        return table;
    }();
    std::size_t at = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time, as rapidjson's own scanners go; the table finishes the tail.
    const __m128i backslash = _mm_set1_epi8('\\'), space = _mm_set1_epi8(0x20);
    const __m128i tab = _mm_set1_epi8('\t'), lineFeed = _mm_set1_epi8('\n'), carriageReturn = _mm_set1_epi8('\r');
    __m128i any = _mm_setzero_si128();
    for (; at + 16 <= text.size(); at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + at));
        // Signed: bytes from 0x80 on are negative, so "below a space" takes them in as well.
        const __m128i whitespace =
            _mm_or_si128(_mm_cmpeq_epi8(bytes, tab),
                         _mm_or_si128(_mm_cmpeq_epi8(bytes, lineFeed), _mm_cmpeq_epi8(bytes, carriageReturn)));
        any = _mm_or_si128(any, _mm_andnot_si128(whitespace, _mm_cmplt_epi8(bytes, space)));
        any = _mm_or_si128(any, _mm_cmpeq_epi8(bytes, backslash));
    }
    if (_mm_movemask_epi8(any) != 0) return false;
#endif
    // Without a branch per byte: frames are short, and nearly all are taken.
    unsigned char tail = 0;
    for (; at < text.size(); ++at) tail |= refused[static_cast<unsigned char>(text[at])];
    return tail == 0;
}

// Receives the reader's events. Returning false stops the reader, which then reports an error.
class TapeWriter {
public:
    using Ch = char;
    using Token = JSONTape::Token;
    using Kind = JSONTape::Kind;

    // `copy` is the text being parsed in place, `text` the original it was copied from.
    TapeWriter(std::vector<Token>& tokens, const char* copy, std::string_view text)
        : tokens_(tokens), copy_(copy), text_(text) {}

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
        assert(within(digits, length));
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
    // Parsed in place (rapidjson hands over pointers into the copy) and without escapes, a string
    // or number is its own bytes of the copy: the same bytes of the original text, at the same
    // offset, which the token views.
    bool within(const char* text, rapidjson::SizeType length) const {
        return text >= copy_ && static_cast<std::size_t>(text - copy_) + length <= text_.size();
    }
    bool pushText(Kind kind, const char* text, rapidjson::SizeType length) {
        assert(within(text, length));
        Token token{kind};
        token.text = text_.substr(static_cast<std::size_t>(text - copy_), length);
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
    const char* copy_;
    std::string_view text_;
    int depth_ = 0;
};

}  // namespace

bool JSONTape::read(std::string_view text) {
    tokens_.clear();
    if (!takesEveryByte(text)) return false;
    // A NUL-terminated copy for rapidjson's fastest stream; the checks above rule out a NUL inside.
    // Its SSE2 scanners load aligned 16-byte blocks up to the one holding the NUL: the padding
    // keeps that block inside the allocation.
    copy_.reserve(text.size() + simdPadding);
    copy_.assign(text);
    TapeWriter writer(tokens_, copy_.data(), text);
    rapidjson::InsituStringStream stream(copy_.data());
    // Kept per thread: the reader's scratch stack is reused rather than allocated per frame.
    thread_local rapidjson::Reader reader;
    // No comments, trailing commas, NaN or other extensions: the strict grammar nlohmann reads.
    constexpr unsigned flags = rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag;
    return !reader.Parse<flags>(stream, writer).IsError();
}

}  // namespace recorder
