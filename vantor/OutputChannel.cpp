#include "vantor/OutputChannel.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace vantor {

void OutputChannel::write(std::string_view text) const noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(descriptor_, text.data(), text.size());
        if (written > 0) {
            text.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A host may hand over a non-blocking pipe; a blocking one would wait here too.
            pollfd entry{descriptor_, POLLOUT, 0};
            if (::poll(&entry, 1, -1) >= 0 || errno == EINTR) continue;
        }
        return;
    }
}

}  // namespace vantor
