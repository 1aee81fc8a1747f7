#include "remote/osc/OscDecoder.h"

#include <algorithm>
#include <bit>

#include "platform/Utf8.h"
#include "remote/osc/OscEncoder.h"

namespace bw {

std::optional<std::uint8_t> OscDecoder::peek() const {
    if (bytesLeft() == 0) return std::nullopt;
    return bytes_[position_];
}

std::optional<std::string_view> OscDecoder::readString() {
    if (bytesLeft() == 0) return std::nullopt;
    const std::span<const std::uint8_t> rest = left();
    const auto zero = std::find(rest.begin(), rest.end(), std::uint8_t{0});
    if (zero == rest.end()) return std::nullopt;
    const auto length = static_cast<std::size_t>(zero - rest.begin());
    const std::string_view text(reinterpret_cast<const char*>(rest.data()), length);
    if (!isUtf8(text)) return std::nullopt;
    position_ += OscEncoder::padded(length + 1);
    return text;
}

std::optional<std::uint32_t> OscDecoder::readUInt32() {
    if (bytesLeft() < 4) return std::nullopt;
    const std::uint8_t* p = bytes_.data() + position_;
    position_ += 4;
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::optional<std::int32_t> OscDecoder::readInt32() {
    const auto raw = readUInt32();
    if (!raw) return std::nullopt;
    return static_cast<std::int32_t>(*raw);
}

std::optional<float> OscDecoder::readFloat32() {
    const auto raw = readUInt32();
    if (!raw) return std::nullopt;
    return std::bit_cast<float>(*raw);
}

std::optional<std::span<const std::uint8_t>> OscDecoder::readBlob() {
    const std::size_t start = position_;
    const auto size = readUInt32();
    if (!size) return std::nullopt;
    if (*size > bytesLeft()) {
        position_ = start;
        return std::nullopt;
    }
    const std::span<const std::uint8_t> blob = left().first(*size);
    position_ += OscEncoder::padded(*size);
    return blob;
}

}  // namespace bw
