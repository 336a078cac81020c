#pragma once
// Splits received bytes into newline-terminated frames, with a size limit.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "RecorderAutomation/Support/Failure.h"

namespace recorder {

class LineFrameDecoder {
public:
    struct MessageTooLarge {
        std::int64_t limit = 0;
        static constexpr auto failureCase() {
            return failure::form("messageTooLarge", failure::labelled("limit", &MessageTooLarge::limit));
        }
        bool operator==(const MessageTooLarge&) const = default;
    };
    struct Failure : BasicFailure<struct LineFrameDecoderTag, MessageTooLarge> {
        using BasicFailure::BasicFailure;
        static Failure messageTooLarge(std::int64_t limit) { return MessageTooLarge{limit}; }
    };

    explicit LineFrameDecoder(std::int64_t limit);

    // The frames completed by `bytes`, in arrival order, each without its line feed. Empty
    // lines are skipped. Throws Failure::messageTooLarge for a line over the limit (the bytes
    // after it stay buffered) or for unfinished data over the limit (the buffer is cleared).
    std::vector<std::string> append(std::string_view bytes);

    std::int64_t limit() const noexcept { return limit_; }
    // Bytes of an unfinished frame held so far.
    std::size_t bufferedBytes() const noexcept { return buffer_.size(); }

private:
    std::string buffer_;
    std::int64_t limit_;
};

}  // namespace recorder
