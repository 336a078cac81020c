#pragma once
// A stand-in for the app on a temporary HOME: an application bundle directory with an
// information list, and (when asked) a listener on the automation socket that answers each
// request line with whatever the test's responder returns. It lets the tests drive vantor's
// own logic, including replies the reference app never gives.

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/Support/AppSocket.h"
#include "tests/Support/Recorded.h"
#include "tests/Support/TemporaryHome.h"

namespace testsupport {

class FakeApp {
public:
    // Answers one decoded request with the whole response line (without its line feed).
    using Responder = std::function<std::string(const nlohmann::json& request)>;

    // Makes a temporary HOME holding "Lumora.app" with the given bundle identifier.
    explicit FakeApp(std::string bundleIdentifier);
    ~FakeApp();
    FakeApp(const FakeApp&) = delete;
    FakeApp& operator=(const FakeApp&) = delete;

    const std::filesystem::path& home() const { return home_.path(); }
    const std::filesystem::path& bundle() const { return bundle_; }
    std::filesystem::path socketPath() const;

    // Starts answering on the socket the app would publish.
    void listen(Responder responder);
    void stopListening();

    // Every request received so far, in order.
    std::vector<nlohmann::json> requests() const { return requests_.all(); }

    // A response line in the protocol's envelope.
    static std::string success(const nlohmann::json& request, const nlohmann::json& result);
    static std::string failure(const nlohmann::json& request, const nlohmann::json& error);

private:
    TemporaryHome home_{TemporaryHome::Scope::childrenOnly, "vantor-home"};
    std::filesystem::path bundle_;
    std::string bundleIdentifier_;
    Recorded<nlohmann::json> requests_;
    std::optional<AppSocket> socket_;  // last: it stops before the rest goes
};

}  // namespace testsupport
