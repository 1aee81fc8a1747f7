#pragma once

#include <string>

#include "remote/net/SocketAddress.h"

namespace bw {

// Receives the command text of every accepted CREP datagram, on the main
// queue.
class CREPDelegate {
public:
    virtual ~CREPDelegate() = default;
    virtual void commandReceived(const std::string& text) = 0;
    // The same with the sender's address, so that a command can be
    // answered (CREP::reply); by default the text alone goes on.
    virtual void commandReceivedFrom(const std::string& text, const SocketAddress& from) {
        (void)from;
        commandReceived(text);
    }
};

}  // namespace bw
