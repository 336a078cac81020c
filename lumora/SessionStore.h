#pragma once
// The sessions Lumora retains, at most a fixed number. When it is full, the oldest finished
// sessions make room; only when every retained session is still live is a new one refused.

#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>

#include "lumora/RecordingSession.h"

namespace lumora {

class SessionStore {
public:
    explicit SessionStore(std::size_t capacity);

    // Makes room for one more session by forgetting the oldest finished ones; false when the
    // store is full of live sessions.
    bool makeRoom();
    // Keeps a new session; the caller made room first.
    RecordingSession& insert(RecordingSession session);

    RecordingSession* find(const std::string& id);
    const RecordingSession* find(const std::string& id) const;
    // The automated session that the start request `requestID` made, if it is still retained.
    RecordingSession* findByRequestID(const std::string& requestID);

    std::size_t size() const { return sessions_.size(); }
    std::size_t capacity() const { return capacity_; }

private:
    std::size_t capacity_;
    std::list<RecordingSession> sessions_;  // oldest first
    std::unordered_map<std::string, std::list<RecordingSession>::iterator> byID_;
    std::unordered_map<std::string, std::list<RecordingSession>::iterator> byRequest_;
};

}  // namespace lumora
