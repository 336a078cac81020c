#pragma once
// The tokens of one frame's JSON text, in document order: the input of the direct decoder
// (DirectDecoder.h), which reads protocol types from them without building a tree.
//
// rapidjson's SAX reader checks the grammar. Only text whose every token means exactly what it
// means to nlohmann's parser is taken: plain ASCII without backslash escapes or control bytes
// (so strings are views of the text itself and no UTF-8 or escape rule can differ), integers that
// fit in 64 signed bits, finite reals that a double holds without underflow, and nesting at most
// maxDepth deep. Anything else is refused, and the caller falls back to the tree path, which
// decides (and words) acceptance and every error.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace recorder {

class JSONTape {
public:
    enum class Kind : std::uint8_t {
        null,
        boolean,
        integer,
        real,
        text,
        key,
        beginObject,
        endObject,
        beginArray,
        endArray
    };
    struct Token {
        Kind kind = Kind::null;
        bool boolean = false;
        std::int64_t integer = 0;
        double real = 0;
        // A text or key, a view into the text read.
        std::string_view text{};
    };

    static constexpr int maxDepth = 32;

    // Tokenises `text` (a frame, with or without its line feed). False, leaving the tape
    // unusable, when the text is not one the direct path takes (see above), valid JSON or not.
    bool read(std::string_view text);

    const Token* begin() const noexcept { return tokens_.data(); }
    const Token* end() const noexcept { return tokens_.data() + tokens_.size(); }

private:
    std::vector<Token> tokens_;
    std::string copy_;
};

}  // namespace recorder
