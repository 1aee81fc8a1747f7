#include "remote/osc/OscDecoder.h"

#include <algorithm>
#include <bit>

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
    if (!isValidUtf8(rest.first(length))) return std::nullopt;
    position_ += OscEncoder::padded(length + 1);
    return std::string_view(reinterpret_cast<const char*>(rest.data()), length);
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

bool OscDecoder::isValidUtf8(std::span<const std::uint8_t> text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const std::uint8_t lead = text[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t count = 0;
        // The bounds of the first continuation byte rule out overlong forms,
        // surrogates and code points above U+10FFFF.
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            count = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            count = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            count = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (n - i - 1 < count) return false;
        if (text[i + 1] < low || text[i + 1] > high) return false;
        for (std::size_t k = 2; k <= count; ++k) {
            if (text[i + k] < 0x80 || text[i + k] > 0xBF) return false;
        }
        i += count + 1;
    }
    return true;
}

}  // namespace bw
