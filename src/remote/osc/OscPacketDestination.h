#pragma once

namespace bw {

class OscMessage;

// Receives every message the parser decodes.
//
// Called on the thread that called the parser, synchronously, one message at
// a time and in packet order. The message is lent for the call only; copy
// what must outlive it.
class OscPacketDestination {
public:
    virtual ~OscPacketDestination() = default;
    virtual void takeMessage(const OscMessage& message) = 0;
};

}  // namespace bw
