#include "remote/osc/OscEncoder.h"

#include <bit>

namespace bw {

void OscEncoder::appendString(std::vector<std::uint8_t>& out, std::string_view text) {
    const std::size_t start = out.size();
    out.resize(start + padded(text.size() + 1), 0);
    for (std::size_t i = 0; i < text.size(); ++i) {
        out[start + i] = static_cast<std::uint8_t>(text[i]);
    }
}

void OscEncoder::appendBlob(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
    appendUInt32(out, static_cast<std::uint32_t>(bytes.size()));
    const std::size_t start = out.size();
    out.resize(start + padded(bytes.size()), 0);
    std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(start));
}

void OscEncoder::appendUInt32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void OscEncoder::appendInt32(std::vector<std::uint8_t>& out, std::int32_t value) {
    appendUInt32(out, static_cast<std::uint32_t>(value));
}

void OscEncoder::appendFloat32(std::vector<std::uint8_t>& out, float value) {
    appendUInt32(out, std::bit_cast<std::uint32_t>(value));
}

}  // namespace bw
