#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bw {

class OscSocket;

// Base of the OSC packets, OscMessage and OscBundle.
//
// Packets are plain values: one thread at a time; copies share only the reply
// socket. packetData() and description() return values the caller owns.
class OscPacket {
public:
    OscPacket() = default;
    OscPacket(const OscPacket&) = default;
    OscPacket(OscPacket&&) noexcept = default;
    OscPacket& operator=(const OscPacket&) = default;
    OscPacket& operator=(OscPacket&&) noexcept = default;
    virtual ~OscPacket();

    // The packet's encoding. Here: no bytes.
    virtual std::vector<std::uint8_t> packetData() const;
    // The text form used in log lines. Here: empty.
    virtual std::string description() const;

    // The socket an answer to this packet would go out on; the parser sets it
    // on every message it delivers. Shared with whoever else holds it.
    std::shared_ptr<OscSocket> replySocket;
};

}  // namespace bw
