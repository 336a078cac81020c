#pragma once
// Where vantor's documents and usage text go: a descriptor written directly, each text whole.
// No C++ stream is set up at all, because the streams' locale set-up was a large share of a run
// that lasts a few milliseconds.

#include <string_view>

namespace vantor {

class OutputChannel {
public:
    explicit OutputChannel(int descriptor) noexcept : descriptor_(descriptor) {}

    int descriptor() const noexcept { return descriptor_; }

    // Writes all of `text` before returning: interrupted and partial writes are resumed, and a
    // descriptor that is not ready (a non-blocking pipe that is full) is waited for. A write
    // that fails (a closed descriptor, a reader that has gone while SIGPIPE is ignored) drops
    // the rest of the text and changes nothing else, as a failed stream did.
    void write(std::string_view text) const noexcept;

private:
    int descriptor_;
};

}  // namespace vantor
