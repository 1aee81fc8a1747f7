#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace bw {

// Appends OSC wire values to a byte buffer. Every value is big-endian and
// takes a multiple of 4 bytes.
//
// Stateless: any thread. The caller owns the buffer.
class OscEncoder {
public:
    // Rounds a byte count up to the next multiple of 4.
    static constexpr std::size_t padded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

    // The bytes, then 1 to 4 zero bytes: ceil((n + 1) / 4) * 4 bytes in all.
    static void appendString(std::vector<std::uint8_t>& out, std::string_view text);
    // A size field holding n itself (not n rounded up), the n bytes, then zero
    // bytes up to a multiple of 4. Readers that follow OSC 1.0 take the size
    // field as the exact count.
    static void appendBlob(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes);
    static void appendUInt32(std::vector<std::uint8_t>& out, std::uint32_t value);
    static void appendInt32(std::vector<std::uint8_t>& out, std::int32_t value);
    static void appendFloat32(std::vector<std::uint8_t>& out, float value);
};

}  // namespace bw
