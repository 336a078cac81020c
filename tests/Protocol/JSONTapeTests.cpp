// The tape takes only text whose every byte means the same to both JSON readers: plain ASCII
// without escapes or control bytes (JSON's whitespace between tokens aside). Every byte value is
// tried at every offset of texts long enough to span several 16-byte blocks and a tail, since the
// screen reads sixteen bytes at a time.

#include <gtest/gtest.h>

#include <string>

#include "RecorderAutomation/Protocol/JSONTape.h"

namespace recorder {
namespace {

bool plainStringByte(unsigned char byte) { return byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\'; }
bool whitespace(unsigned char byte) { return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r'; }

TEST(JSONTape, TakesEveryPlainByteAtEveryOffsetAndNothingElse) {
    JSONTape tape;
    int wrong = 0;
    for (std::size_t length : {15u, 16u, 17u, 40u}) {
        for (std::size_t offset = 0; offset < length; ++offset) {
            for (int value = 0; value < 256; ++value) {
                const auto byte = static_cast<unsigned char>(value);
                // Inside a string value.
                std::string text = '"' + std::string(length, 'a') + '"';
                text[1 + offset] = static_cast<char>(byte);
                if (tape.read(text) != plainStringByte(byte)) {
                    ADD_FAILURE() << "byte " << value << " at " << offset << " of a string of " << length;
                    if (++wrong > 10) return;
                }
                // Valid JSON that the tape must still refuse: an escape, and a character beyond ASCII.
                if (offset + 1 < length && value < 3) {
                    const char* pair[] = {"\\n", "\\\"", "\xC3\xA9"};
                    text = '"' + std::string(length, 'a') + '"';
                    text.replace(1 + offset, 2, pair[value]);
                    if (tape.read(text)) {
                        ADD_FAILURE() << "pair " << value << " at " << offset << " of a string of " << length;
                        if (++wrong > 10) return;
                    }
                }
                // Between two tokens, among spaces.
                text = "[1," + std::string(length, ' ') + " 2]";
                text[3 + offset] = static_cast<char>(byte);
                if (tape.read(text) != whitespace(byte)) {
                    ADD_FAILURE() << "byte " << value << " at " << offset << " between tokens, " << length;
                    if (++wrong > 10) return;
                }
            }
        }
    }
}

}  // namespace
}  // namespace recorder
