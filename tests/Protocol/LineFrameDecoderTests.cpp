#include "RecorderAutomation/Protocol/LineFrameDecoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace recorder {
namespace {

using Frames = std::vector<std::string>;
constexpr std::int64_t kLimit = 65536;

TEST(LineFrameDecoder, ReturnsTwoFramesOfOneAppendInOrder) {
    LineFrameDecoder decoder(kLimit);
    EXPECT_EQ(decoder.append("{\"a\":1}\n{\"b\":2}\n"), (Frames{"{\"a\":1}", "{\"b\":2}"}));
    EXPECT_EQ(decoder.bufferedBytes(), 0u);
}

TEST(LineFrameDecoder, AssemblesAFrameSplitOverSeveralAppends) {
    LineFrameDecoder decoder(kLimit);
    EXPECT_TRUE(decoder.append("{\"comm").empty());
    EXPECT_TRUE(decoder.append("and\":").empty());
    EXPECT_TRUE(decoder.append("").empty());
    EXPECT_EQ(decoder.append("1}\n{\"x"), Frames{"{\"command\":1}"});
    EXPECT_EQ(decoder.bufferedBytes(), 3u);
}

TEST(LineFrameDecoder, SkipsEmptyLinesAndKeepsCarriageReturns) {
    LineFrameDecoder decoder(kLimit);
    EXPECT_TRUE(decoder.append("\n").empty());
    EXPECT_TRUE(decoder.append("\n\n").empty());
    EXPECT_EQ(decoder.bufferedBytes(), 0u);
    EXPECT_EQ(decoder.append("{}\r\n\r\n"), (Frames{"{}\r", "\r"}));
}

TEST(LineFrameDecoder, AcceptsALineOfExactlyTheLimit) {
    LineFrameDecoder decoder(kLimit);
    const std::string line(kLimit, 'x');
    EXPECT_EQ(decoder.append(line + "\n"), Frames{line});
}

TEST(LineFrameDecoder, RefusesALineOverTheLimitEvenAfterAValidFrameAndKeepsWhatFollows) {
    LineFrameDecoder decoder(kLimit);
    const std::string input = "{}\n" + std::string(kLimit + 1, 'x') + "\nrest";
    try {
        decoder.append(input);
        FAIL() << "expected messageTooLarge";
    } catch (const LineFrameDecoder::Failure& failure) {
        EXPECT_EQ(failure, LineFrameDecoder::Failure::messageTooLarge(kLimit));
        EXPECT_EQ(failure.description(), "messageTooLarge(limit: 65536)");
    }
    EXPECT_EQ(decoder.bufferedBytes(), 4u);
    EXPECT_EQ(decoder.append("\n"), Frames{"rest"});
}

TEST(LineFrameDecoder, RefusesALineCompletedOverTheLimitAcrossAppends) {
    LineFrameDecoder decoder(10);
    EXPECT_TRUE(decoder.append("0123456789").empty());
    EXPECT_THROW(decoder.append("a\nok\n"), LineFrameDecoder::Failure);
    EXPECT_EQ(decoder.bufferedBytes(), 3u);
}

TEST(LineFrameDecoder, HoldsTheLimitUnfinishedButClearsOneByteMore) {
    LineFrameDecoder decoder(kLimit);
    EXPECT_TRUE(decoder.append(std::string(kLimit, 'x')).empty());
    EXPECT_EQ(decoder.bufferedBytes(), static_cast<std::size_t>(kLimit));
    EXPECT_THROW(decoder.append("y"), LineFrameDecoder::Failure);
    EXPECT_EQ(decoder.bufferedBytes(), 0u);
    EXPECT_EQ(decoder.append("{}\n"), Frames{"{}"});
}

TEST(LineFrameDecoder, SplitsTheLinesKeptAfterAnOversizedLineOnTheNextAppend) {
    LineFrameDecoder decoder(4);
    EXPECT_THROW(decoder.append("toolong\n{}\n{"), LineFrameDecoder::Failure);
    // The kept bytes "{}\n{" hold a complete frame; it must come out alone, without its line feed.
    EXPECT_EQ(decoder.append("}\n"), (Frames{"{}", "{}"}));
    EXPECT_EQ(decoder.bufferedBytes(), 0u);

    LineFrameDecoder again(1);
    EXPECT_THROW(again.append("abc\n\r\n"), LineFrameDecoder::Failure);
    EXPECT_EQ(again.append("\n"), Frames{"\r"});
}

}  // namespace
}  // namespace recorder
