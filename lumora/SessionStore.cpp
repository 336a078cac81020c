#include "lumora/SessionStore.h"

namespace lumora {

SessionStore::SessionStore(std::size_t capacity) : capacity_(capacity) {}

bool SessionStore::makeRoom() {
    for (auto it = sessions_.begin(); sessions_.size() >= capacity_ && it != sessions_.end();) {
        if (!it->isFinal()) {
            ++it;
            continue;
        }
        byID_.erase(it->id);
        if (it->origin == RecordingOrigin::automation) {
            auto r = byRequest_.find(it->requestID);
            if (r != byRequest_.end() && r->second == it) byRequest_.erase(r);
        }
        it = sessions_.erase(it);
    }
    return sessions_.size() < capacity_;
}

RecordingSession& SessionStore::insert(RecordingSession session) {
    sessions_.push_back(std::move(session));
    auto it = std::prev(sessions_.end());
    byID_[it->id] = it;
    if (it->origin == RecordingOrigin::automation) byRequest_[it->requestID] = it;
    return *it;
}

RecordingSession* SessionStore::find(const std::string& id) {
    auto it = byID_.find(id);
    return it == byID_.end() ? nullptr : &*it->second;
}

const RecordingSession* SessionStore::find(const std::string& id) const {
    auto it = byID_.find(id);
    return it == byID_.end() ? nullptr : &*it->second;
}

RecordingSession* SessionStore::findByRequestID(const std::string& requestID) {
    auto it = byRequest_.find(requestID);
    return it == byRequest_.end() ? nullptr : &*it->second;
}

}  // namespace lumora
