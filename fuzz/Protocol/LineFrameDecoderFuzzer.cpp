// Feeds arbitrary bytes to LineFrameDecoder in arbitrary chunkings and compares every call with
// a plain model of the framing rules: the frames returned, the failures thrown and the bytes
// held back must match after each chunk, frames never exceed the limit nor hold a line feed, and
// a failure-free run gives the same frames as feeding everything at once.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/LineFrameDecoder.h"
#include "fuzz/FuzzCheck.h"

namespace {

// The framing rules written as directly as possible: split at each line feed, check each line,
// then check what is left over.
struct Model {
    std::string buffer;
    std::size_t limit;

    // The frames, or nullopt when the chunk must fail.
    std::optional<std::vector<std::string>> append(std::string_view bytes) {
        buffer.append(bytes);
        std::vector<std::string> frames;
        std::size_t end;
        while ((end = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            if (line.size() > limit) return std::nullopt;
            if (!line.empty()) frames.push_back(std::move(line));
        }
        if (buffer.size() > limit) {
            buffer.clear();
            return std::nullopt;
        }
        return frames;
    }
};

using recorder::LineFrameDecoder;

// Frames from `decoder`, or nullopt when it threw; a throw must carry the decoder's limit.
std::optional<std::vector<std::string>> feed(LineFrameDecoder& decoder, std::string_view bytes) {
    try {
        return decoder.append(bytes);
    } catch (const LineFrameDecoder::Failure& failure) {
        FUZZ_CHECK(failure == LineFrameDecoder::Failure::messageTooLarge(decoder.limit()));
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    // Small limits reach the size checks with short inputs; the real one is tried as well.
    const std::int64_t limit = input.ConsumeBool() ? recorder::AutomationProtocol::maximumMessageBytes
                                                   : input.ConsumeIntegralInRange<std::int64_t>(0, 64);
    std::vector<std::string> chunks;
    while (input.remaining_bytes() > 0) {
        const auto length = input.ConsumeIntegralInRange<std::size_t>(0, 96);
        chunks.push_back(input.ConsumeBytesAsString(length));
    }

    LineFrameDecoder decoder(limit);
    Model model{{}, static_cast<std::size_t>(limit)};
    std::vector<std::string> all;
    std::string whole;
    bool failed = false;
    for (const auto& chunk : chunks) {
        whole += chunk;
        const auto frames = feed(decoder, chunk);
        const auto expected = model.append(chunk);
        FUZZ_CHECK(frames.has_value() == expected.has_value());
        if (!frames) {
            failed = true;
        } else {
            FUZZ_CHECK(*frames == *expected);
            for (const auto& frame : *frames) {
                FUZZ_CHECK(!frame.empty());
                FUZZ_CHECK(frame.size() <= static_cast<std::size_t>(limit));
                FUZZ_CHECK(frame.find('\n') == std::string::npos);
                all.push_back(frame);
            }
        }
        FUZZ_CHECK(decoder.bufferedBytes() == model.buffer.size());
    }
    if (!failed) {
        // Between calls only an unfinished frame is held, never more than the limit.
        FUZZ_CHECK(decoder.bufferedBytes() <= static_cast<std::size_t>(limit));
        LineFrameDecoder oneShot(limit);
        const auto frames = feed(oneShot, whole);
        FUZZ_CHECK(frames.has_value() && *frames == all);
        FUZZ_CHECK(oneShot.bufferedBytes() == decoder.bufferedBytes());
    }
    return 0;
}
