#include "RecorderAutomation/Protocol/LineFrameDecoder.h"

#include <cstring>

namespace recorder {

LineFrameDecoder::LineFrameDecoder(std::int64_t limit) : limit_(limit) {}

std::vector<std::string> LineFrameDecoder::append(std::string_view bytes) {
    std::vector<std::string> frames;
    const auto limit = static_cast<std::size_t>(limit_ < 0 ? 0 : limit_);

    // After an oversized line the buffer keeps everything that followed it, line feeds
    // included; those bytes are split like fresh input.
    if (!buffer_.empty() && buffer_.find('\n') != std::string::npos) {
        std::string pending = std::move(buffer_);
        buffer_.clear();
        pending.append(bytes);
        return append(pending);
    }

    // Scan only the new bytes for line feeds: the buffered part is known to hold none.
    if (buffer_.empty()) {
        std::size_t start = 0;
        while (true) {
            const void* hit = std::memchr(bytes.data() + start, '\n', bytes.size() - start);
            if (hit == nullptr) break;
            const auto end = static_cast<std::size_t>(static_cast<const char*>(hit) - bytes.data());
            const std::size_t length = end - start;
            if (length > limit) {
                buffer_.assign(bytes.substr(end + 1));
                throw Failure::messageTooLarge(limit_);
            }
            if (length > 0) frames.emplace_back(bytes.substr(start, length));
            start = end + 1;
        }
        bytes.remove_prefix(start);
    } else {
        const void* hit = std::memchr(bytes.data(), '\n', bytes.size());
        if (hit != nullptr) {
            // Complete the buffered frame, then treat the rest as fresh input.
            const auto end = static_cast<std::size_t>(static_cast<const char*>(hit) - bytes.data());
            std::string candidate = std::move(buffer_);
            buffer_.clear();
            candidate.append(bytes.substr(0, end));
            if (candidate.size() > limit) {
                buffer_.assign(bytes.substr(end + 1));
                throw Failure::messageTooLarge(limit_);
            }
            frames.push_back(std::move(candidate));
            auto rest = append(bytes.substr(end + 1));
            frames.insert(frames.end(), std::make_move_iterator(rest.begin()), std::make_move_iterator(rest.end()));
            return frames;
        }
    }

    buffer_.append(bytes);
    if (buffer_.size() > limit) {
        buffer_.clear();
        buffer_.shrink_to_fit();
        throw Failure::messageTooLarge(limit_);
    }
    return frames;
}

}  // namespace recorder
