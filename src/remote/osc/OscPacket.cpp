#include "remote/osc/OscPacket.h"

namespace bw {

OscPacket::~OscPacket() = default;

std::vector<std::uint8_t> OscPacket::packetData() const {
    return {};
}

std::string OscPacket::description() const {
    return {};
}

}  // namespace bw
