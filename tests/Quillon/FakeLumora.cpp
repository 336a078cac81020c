#include "FakeLumora.h"

#include "RecorderAutomation/Protocol/AutomationResponseEncoder.h"

namespace testsupport {

FakeLumora::FakeLumora(std::filesystem::path directory, Script script)
    : directory_(std::move(directory)), script_(std::move(script)) {}

recorder::AutomationEndpoint FakeLumora::endpoint() const {
    return recorder::AutomationEndpoint("app.lumora.Lumora", directory_);
}

void FakeLumora::start() {
    std::filesystem::create_directories(directory_);
    socket_.emplace(endpoint().path(),
                    AppSocket::Script([this](const std::string& line) -> std::optional<std::string> {
                        try {
                            auto request = recorder::AutomationRequest::decode(line);
                            requests_.add(request);
                            return script_(request);
                        } catch (const std::exception&) {
                            return std::nullopt;
                        }
                    }));
}

void FakeLumora::stop() { socket_.reset(); }

std::string FakeLumora::reply(const recorder::AutomationReply& reply, const recorder::AutomationRequest& request,
                              const std::string& appInstanceID) {
    return recorder::AutomationResponseEncoder::encode(reply, request.requestID, appInstanceID);
}

}  // namespace testsupport
