#include "RecorderAutomation/Client/RecorderAutomationSession.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>

#include "RecorderAutomation/Client/CancellableSleep.h"
#include "RecorderAutomation/Protocol/AutomationErrorCode.h"
#include "RecorderAutomation/Protocol/AutomationSessionState.h"

namespace recorder {

std::string RecorderAutomationSession::makeUUID() {
    // Request ids only need to be unique, not secret: one generator per thread, seeded once from
    // the system's entropy, costs no system call per request (the system's UUID generator makes
    // six of them). The seed is one getrandom call of 64 bits, taken as it is: two threads'
    // identifiers meet only if their seeds do. std::random_device probes the CPU's features first,
    // which traps to the hypervisor on a virtual machine, and spreading a longer seed over the
    // generator's state took several microseconds; both were noticeable in a short run of vantor.
    thread_local std::mt19937_64 generator = [] {
        std::uint64_t seed = 0;
        ::arc4random_buf(&seed, sizeof seed);
        return std::mt19937_64(seed);
    }();
    std::uint64_t high = generator();
    std::uint64_t low = generator();
    high = (high & ~std::uint64_t{0xF000}) | 0x4000;                         // version 4
    low = (low & ~(std::uint64_t{0xC} << 60)) | (std::uint64_t{0x8} << 60);  // variant 10xx
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text(36, '-');
    std::size_t at = 0;
    auto put = [&](std::uint64_t bits, int count) {
        for (int shift = 4 * (count - 1); shift >= 0; shift -= 4) {
            if (at == 8 || at == 13 || at == 18 || at == 23) ++at;
            text[at++] = digits[(bits >> shift) & 0xF];
        }
    };
    put(high, 16);
    put(low, 16);
    return text;
}

RecorderAutomationSession::RecorderAutomationSession(AutomationClient client,
                                                     std::function<std::string()> makeRequestID)
    : client_(std::move(client)), makeRequestID_(makeRequestID ? std::move(makeRequestID) : &makeUUID) {}

std::optional<std::string> RecorderAutomationSession::appInstanceID() const {
    std::lock_guard lock(mutex_);
    return appInstanceID_;
}

template <class Payload>
Payload RecorderAutomationSession::perform(AutomationCommand command, std::optional<std::string> requestID) {
    const bool isCapabilities = command.name() == AutomationCommand::Name::capabilities;
    // Learn the app instance first; its failure is this operation's failure.
    if (!isCapabilities && !appInstanceID()) capabilities();

    AutomationRequest request;
    request.protocolVersion = AutomationProtocol::version;
    request.requestID = requestID ? std::move(*requestID) : makeRequestID_();
    request.appInstanceID = appInstanceID();
    request.command = std::move(command);

    AutomationResponse<Payload> response;
    try {
        response = client_.send<Payload>(request);
    } catch (const AutomationClient::Failure& failure) {
        throw Failure::client(failure);
    }
    if (isCapabilities) {
        std::lock_guard lock(mutex_);
        appInstanceID_ = response.appInstanceID;
    }
    if (response.error) throw Failure::rejected(std::move(*response.error));
    if (!response.result) throw Failure::client(AutomationClient::Failure::malformedReply());
    return std::move(*response.result);
}

CapabilitiesPayload RecorderAutomationSession::capabilities() {
    return perform<CapabilitiesPayload>(AutomationCommand::capabilities());
}

std::vector<DisplayDescriptor> RecorderAutomationSession::displays() {
    return perform<DisplaysPayload>(AutomationCommand::displays()).displays;
}

SessionReceipt RecorderAutomationSession::start(StartParameters parameters, std::optional<std::string> requestID) {
    return perform<SessionReceipt>(AutomationCommand::start(std::move(parameters)), std::move(requestID));
}

StatusPayload RecorderAutomationSession::status(std::optional<std::string> sessionID) {
    return perform<StatusPayload>(AutomationCommand::status(StatusParameters{std::move(sessionID)}));
}

StopPayload RecorderAutomationSession::stop(std::string sessionID) {
    return perform<StopPayload>(AutomationCommand::stop(SessionParameters{std::move(sessionID)}));
}

ResultPayload RecorderAutomationSession::result(std::string sessionID) {
    return perform<ResultPayload>(AutomationCommand::result(SessionParameters{std::move(sessionID)}));
}

ResultPayload RecorderAutomationSession::waitForResult(std::string sessionID, double timeout, std::stop_token stop,
                                                       const std::function<void(const ResultPayload&)>& pending) {
    using Clock = std::chrono::steady_clock;
    // Not-a-number and negative time-outs mean one poll; huge ones are capped far beyond use.
    const double bounded = std::isnan(timeout) ? 0.0 : std::clamp(timeout, 0.0, 1.0e9);
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
    while (true) {
        auto payload = result(sessionID);
        if (automation_session_state::isFinal(payload.state)) return payload;
        if (pending) pending(payload);
        if (!(Clock::now() < deadline)) throw Failure::waitTimedOut();
        cancellableSleep(std::chrono::seconds(1), stop);
    }
}

}  // namespace recorder
