#include "vantor/OutputChannel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

namespace {

struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
    Pipe() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) == 0) {
            readEnd = ends[0];
            writeEnd = ends[1];
        }
    }
    ~Pipe() {
        if (readEnd >= 0) ::close(readEnd);
        if (writeEnd >= 0) ::close(writeEnd);
    }
};

std::string patternOfSize(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
    return text;
}

// A host may hand vantor a non-blocking pipe with a small buffer: the text still arrives whole,
// however slowly the other side reads.
class NonBlockingPipe : public ::testing::TestWithParam<std::size_t> {};

TEST_P(NonBlockingPipe, ReceivesEveryByteInOrder) {
    Pipe pipe;
    ASSERT_GE(pipe.readEnd, 0);
    ASSERT_GE(::fcntl(pipe.writeEnd, F_SETPIPE_SZ, 4096), 0);
    ASSERT_EQ(::fcntl(pipe.writeEnd, F_SETFL, O_NONBLOCK), 0);
    const std::string text = patternOfSize(GetParam());

    auto received = std::async(std::launch::async, [&] {
        std::string bytes;
        char buffer[512];
        while (true) {
            const ssize_t count = ::read(pipe.readEnd, buffer, sizeof buffer);
            if (count <= 0) return bytes;
            bytes.append(buffer, static_cast<std::size_t>(count));
            // A slow reader, so that the writer finds the pipe full again and again.
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    vantor::OutputChannel(pipe.writeEnd).write(text);
    ::close(pipe.writeEnd);
    pipe.writeEnd = -1;
    ASSERT_EQ(received.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const std::string bytes = received.get();
    EXPECT_EQ(bytes.size(), text.size());
    EXPECT_TRUE(bytes == text);
}

INSTANTIATE_TEST_SUITE_P(OutputChannel, NonBlockingPipe, ::testing::Values(0, 1, 4096, 4097, 200'000));

// A write that cannot succeed gives up at once instead of retrying for ever.
struct Unwritable {
    const char* name;
    int (*descriptor)(Pipe&);  // the descriptor to write to, prepared from a fresh pipe
};

void PrintTo(const Unwritable& unwritable, std::ostream* out) { *out << unwritable.name; }

class UnwritableDescriptor : public ::testing::TestWithParam<Unwritable> {};

TEST_P(UnwritableDescriptor, DropsTheTextAndReturns) {
    Pipe pipe;
    ASSERT_GE(pipe.readEnd, 0);
    const int descriptor = GetParam().descriptor(pipe);
    // Ignored as a host may ignore it; otherwise the signal itself would end the process.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([descriptor, done] {
        vantor::OutputChannel(descriptor).write(patternOfSize(100'000));
        done->set_value();
    }).detach();
    const auto status = finished.wait_for(std::chrono::seconds(10));
    ::sigaction(SIGPIPE, &previous, nullptr);
    ASSERT_EQ(status, std::future_status::ready) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(OutputChannel, UnwritableDescriptor,
                         ::testing::Values(Unwritable{"reader gone",
                                                      [](Pipe& pipe) {
                                                          ::close(pipe.readEnd);
                                                          pipe.readEnd = -1;
                                                          return pipe.writeEnd;
                                                      }},
                                           Unwritable{"read end only", [](Pipe& pipe) { return pipe.readEnd; }},
                                           Unwritable{"no descriptor", [](Pipe&) { return -1; }}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (auto& c : name)
                                 if (c == ' ') c = '_';
                             return name;
                         });

}  // namespace
