#pragma once
// How Lumora's clients of the desktop's session bus (the recording indicator, the screen-cast
// portal) open their connection and read GLib's errors, so that both do it the same way.

#include <gio/gio.h>
#include <string>

namespace lumora::session_bus {

// A message-bus connection to `address` that leaves Lumora running should the bus go away;
// nothing when it cannot be made, with GLib's reason in `why`.
GDBusConnection* connect(const std::string& address, std::string& why);

// The error's message ("unknown error" without one); frees the error.
std::string takeMessage(GError* error);

}  // namespace lumora::session_bus
