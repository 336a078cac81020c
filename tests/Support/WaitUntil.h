#pragma once
// Waiting for a condition that another thread or process makes true, with a bounded deadline.

#include <chrono>
#include <functional>

namespace testsupport {

// Polls `condition` every `interval` until it holds (true) or `limit` passes (false).
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(5),
               std::chrono::milliseconds interval = std::chrono::milliseconds(1));

}  // namespace testsupport
