#pragma once

#include <string>

namespace bw {

// Receives the command text of every accepted CREP datagram, on the main
// queue.
class CREPDelegate {
public:
    virtual ~CREPDelegate() = default;
    virtual void commandReceived(const std::string& text) = 0;
};

}  // namespace bw
