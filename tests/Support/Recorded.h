#pragma once
// A list that a listener's thread appends to while the test reads it.

#include <mutex>
#include <vector>

namespace testsupport {

template <class T>
class Recorded {
public:
    void add(T item) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
    }
    std::vector<T> all() const {
        std::lock_guard lock(mutex_);
        return items_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        items_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<T> items_;
};

}  // namespace testsupport
