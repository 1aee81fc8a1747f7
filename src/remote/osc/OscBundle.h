#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "remote/osc/OscPacket.h"
#include "remote/osc/OscTimeTag.h"

namespace bw {

// An OSC bundle: a time tag and a list of already-encoded packets.
//
// Elements are byte buffers by type, so a bundle can never hold anything the
// encoder would have to skip. Elements should be whole packets (their lengths
// multiples of 4, as packetData() of a message or bundle always is): a reader
// steps from one element to the next by the size field alone.
//
// A plain value: one thread at a time.
class OscBundle : public OscPacket {
public:
    // Appends packet.packetData() to the elements.
    void addPacket(const OscPacket& packet);

    // "#bundle", the 8 time tag bytes, then each element as a blob (size
    // field, bytes, padding).
    std::vector<std::uint8_t> packetData() const override;
    // The element list: "(" then each element as hex between angle brackets,
    // separated by ", ", then ")".
    std::string description() const override;

    OscTimeTag timeTag = OscTimeTag::immediate();
    std::vector<std::vector<std::uint8_t>> elements;
};

}  // namespace bw
