#include "remote/osc/OscBundle.h"

#include "remote/osc/OscArgument.h"
#include "remote/osc/OscEncoder.h"

namespace bw {

void OscBundle::addPacket(const OscPacket& packet) {
    elements.push_back(packet.packetData());
}

std::vector<std::uint8_t> OscBundle::packetData() const {
    std::vector<std::uint8_t> out;
    OscEncoder::appendString(out, "#bundle");
    const auto tag = timeTag.bytes();
    out.insert(out.end(), tag.begin(), tag.end());
    for (const auto& element : elements) {
        OscEncoder::appendBlob(out, element);
    }
    return out;
}

std::string OscBundle::description() const {
    std::string text = "(";
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i > 0) text += ", ";
        text += OscArgument::hexText(elements[i]);
    }
    text += ")";
    return text;
}

}  // namespace bw
