#pragma once

#include <memory>

namespace bw {

class OscSocket;

// The framing state of one TCP connection, kept beside its accumulation
// buffer for as long as the connection lives and handed to OscParser with
// every chunk read from it.
//
// Used only from that connection's callbacks (one thread at a time).
struct OscStreamState {
    // The connection's socket, given as reply socket to every message; the
    // parser drops chunks while it is null.
    std::shared_ptr<OscSocket> socket;

    // SLIP: the previous chunk ended in ESC; the next chunk's first byte
    // completes the escape.
    bool danglingESC = false;
    // SLIP: the current packet outgrew OscParser::kMaxStreamPacketBytes; bytes
    // are ignored up to the next END.
    bool discardingOversizedPacket = false;

    // Length-prefixed: a length above OscParser::kMaxStreamPacketBytes was
    // read. The stream cannot be resynchronised, so every later chunk is
    // ignored; the owner should close the connection when this is set.
    bool failed = false;

    // Back to the state of a fresh connection (the socket stays). Empty the
    // accumulation buffer with it, e.g. after a disconnect.
    void resetFraming() {
        danglingESC = false;
        discardingOversizedPacket = false;
        failed = false;
    }
};

}  // namespace bw
