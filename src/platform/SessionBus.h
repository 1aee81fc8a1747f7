#pragma once

#include <gio/gio.h>

#include <string>

#include "platform/GLibHandle.h"

namespace bw {

// A connection to the user's D-Bus session bus, for asking the desktop.
class SessionBus {
public:
    // The session bus, or the bus at `address` when one is given (tests run
    // a private one); null when it cannot be reached, with `failure` (when
    // given) saying why. Blocks while connecting. Any thread.
    static GObjectPtr<GDBusConnection> connect(const std::string& address = {},
                                               std::string* failure = nullptr);
};

}  // namespace bw
