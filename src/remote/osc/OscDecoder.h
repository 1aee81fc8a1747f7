#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace bw {

// Reads OSC wire values from a view of received bytes, front to back.
//
// Each read looks only at the bytes left, whatever a size field claims, and
// returns nothing when the value is unparseable; a failed read does not move
// the position. A successful read advances by the bytes the value consumes,
// padding included, which may run past the end: the bytes left are then 0,
// never negative, and every later read fails.
//
// One decoder per thread; it borrows the bytes, which must outlive it, and so
// do the views it returns.
class OscDecoder {
public:
    explicit OscDecoder(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t position() const { return position_; }
    std::size_t bytesLeft() const {
        return position_ >= bytes_.size() ? 0 : bytes_.size() - position_;
    }
    // The next byte, when one is left.
    std::optional<std::uint8_t> peek() const;

    // The text before the first zero byte, which must be valid UTF-8; consumes
    // ceil((n + 1) / 4) * 4 bytes. Without a zero byte, unparseable.
    std::optional<std::string_view> readString();
    std::optional<std::uint32_t> readUInt32();
    std::optional<std::int32_t> readInt32();
    std::optional<float> readFloat32();
    // A size field s, then s bytes (s must not exceed what is left after the
    // field); consumes 4 + s rounded up to a multiple of 4.
    std::optional<std::span<const std::uint8_t>> readBlob();

private:
    std::span<const std::uint8_t> left() const { return bytes_.subspan(position_); }

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

}  // namespace bw
