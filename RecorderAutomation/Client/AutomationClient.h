#pragma once
// One automation exchange with the app: a fresh connection, one request frame, one reply
// frame, closed again, and a check that the reply belongs to the request. What a reply means
// is the session's business.

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/LineFrameEncoder.h"
#include "RecorderAutomation/Support/Failure.h"

namespace recorder {

class AutomationClient {
public:
    struct Transport {
        std::string text;
        static constexpr auto failureCase() { return failure::form("transport", failure::value(&Transport::text)); }
        bool operator==(const Transport&) const = default;
    };
    struct ProtocolMismatch {
        std::int64_t version = 0;
        static constexpr auto failureCase() {
            return failure::form("protocolMismatch", failure::value(&ProtocolMismatch::version));
        }
        bool operator==(const ProtocolMismatch&) const = default;
    };
    struct UnexpectedReply {
        std::string requestID;
        static constexpr auto failureCase() {
            return failure::form("unexpectedReply", failure::labelled("requestID", &UnexpectedReply::requestID));
        }
        bool operator==(const UnexpectedReply&) const = default;
    };
    struct NotRunning : NamedCase<"notRunning"> {};
    struct TimedOut : NamedCase<"timedOut"> {};
    struct MalformedReply : NamedCase<"malformedReply"> {};

    struct Failure : BasicFailure<struct AutomationClientTag, Transport, ProtocolMismatch, UnexpectedReply, NotRunning,
                                  TimedOut, MalformedReply> {
        using BasicFailure::BasicFailure;
        static Failure transport(std::string text) { return Transport{std::move(text)}; }
        static Failure protocolMismatch(std::int64_t version) { return ProtocolMismatch{version}; }
        static Failure unexpectedReply(std::string requestID) { return UnexpectedReply{std::move(requestID)}; }
        static Failure notRunning() { return NotRunning{}; }
        static Failure timedOut() { return TimedOut{}; }
        static Failure malformedReply() { return MalformedReply{}; }
    };

    // `timeout` bounds each phase of an exchange (connect, write, read) on its own.
    AutomationClient(AutomationEndpoint endpoint, double timeout) : endpoint_(std::move(endpoint)), timeout_(timeout) {}

    const AutomationEndpoint& endpoint() const noexcept { return endpoint_; }
    double timeout() const noexcept { return timeout_; }

    // The decoded reply for `request`, whether it reports success or an error of the app.
    // Throws Failure; a request too large to encode throws the encoder's failure and connects
    // to nothing. Blocks the calling thread until the exchange ends, by its reply or by its own
    // time-outs; nothing interrupts it halfway, so a caller that gives up waiting (a cancelled
    // wait) never cuts an exchange short. A caller that must stay responsive calls it from a
    // thread of its own (Quillon's request tasks do).
    template <class Payload>
    AutomationResponse<Payload> send(const AutomationRequest& request) const {
        const std::string line = exchange(LineFrameEncoder::encode(request));
        AutomationResponse<Payload> response;
        try {
            response = AutomationResponse<Payload>::decode(line);
        } catch (const std::exception&) {
            throw Failure::malformedReply();
        }
        checkReply(response.protocolVersion, response.requestID, request.requestID);
        return response;
    }

    // Whether a connection can be opened within 1 second, on the calling thread. Sends
    // nothing; never fails.
    bool isReachable() const;

    // The blocking exchange itself, on the calling thread: connect, write `frame`, read one
    // line, close. Throws Failure.
    std::string exchange(const std::string& frame) const;

    bool operator==(const AutomationClient&) const = default;

private:
    static void checkReply(std::int64_t version, const std::string& replyID, const std::string& requestID);

    AutomationEndpoint endpoint_;
    double timeout_;
};

}  // namespace recorder
