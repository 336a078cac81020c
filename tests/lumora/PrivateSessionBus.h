#pragma once
// A D-Bus session bus of the test's own: a dbus-daemon in a temporary folder, with no service
// activation, so that nothing on the machine answers on it but what the test puts there.

#include <optional>
#include <string>

#include "lumora/ChildProcess.h"
#include "tests/Support/TemporaryDirectory.h"

namespace testsupport {

class PrivateSessionBus {
public:
    // Returns once the daemon accepts connections; throws std::runtime_error when it does not
    // come up within ten seconds.
    PrivateSessionBus();
    ~PrivateSessionBus();  // ends the daemon; the folder goes after it
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    const std::string& address() const { return address_; }

private:
    TemporaryDirectory folder_{"lumora-bus"};
    std::optional<lumora::ChildProcess> daemon_;
    std::string address_;
};

}  // namespace testsupport
