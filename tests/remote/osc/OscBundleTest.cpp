#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "remote/osc/OscBundle.h"
#include "remote/osc/OscMessage.h"
#include "remote/osc/OscTestSupport.h"
#include "remote/osc/OscTimeTag.h"

namespace bw {
namespace {

using namespace std::string_literals;
using test::Bytes;
using test::bytesOf;
using test::operator+;

// The fraction multiplier is 2^32 - 1, so half a second is 0x7fffffff, not
// 0x80000000.
TEST(OscTimeTagTest, FromUnixSecondsCountsFrom1900) {
    struct Case {
        double unixSeconds;
        OscTimeTag expected;
    };
    for (const Case& c : std::vector<Case>{{0.0, {2208988800u, 0}},
                                           {0.5, {2208988800u, 0x7fffffffu}},
                                           {0.25, {2208988800u, 0x3fffffffu}},
                                           {-2208988800.0, {0, 0}},
                                           {1700000000.75, {3908988800u, 0xbfffffffu}},
                                           {2085978496.0, {0, 0}},
                                           {-3e9, {0, 0}}}) {
        EXPECT_EQ(OscTimeTag::fromUnixSeconds(c.unixSeconds), c.expected) << c.unixSeconds;
    }
    using namespace std::chrono;
    EXPECT_EQ(OscTimeTag::fromDate(system_clock::time_point(seconds(1))),
              (OscTimeTag{2208988801u, 0}));
}

TEST(OscTimeTagTest, BytesAreSecondsThenFractionBigEndian) {
    struct Case {
        OscTimeTag tag;
        std::array<std::uint8_t, 8> bytes;
    };
    for (const Case& c : std::vector<Case>{
             {{0, 1}, {0, 0, 0, 0, 0, 0, 0, 1}},
             {{0x01020304, 0xa0b0c0d0}, {1, 2, 3, 4, 0xa0, 0xb0, 0xc0, 0xd0}},
             {{0xffffffff, 0xffffffff}, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}}}) {
        EXPECT_EQ(c.tag.bytes(), c.bytes);
        EXPECT_EQ(OscTimeTag::fromBytes(c.bytes), c.tag);
    }
}

TEST(OscBundleTest, EncodesPrefixTimeTagAndSizedElements) {
    OscBundle bundle;
    EXPECT_EQ(bundle.packetData(), bytesOf("#bundle\0\0\0\0\0\0\0\0\x01"s));

    bundle.timeTag = OscTimeTag{1, 2};
    bundle.addPacket(OscMessage("/go"));
    bundle.elements.push_back({0xc0, 0x01});
    const Bytes expected = bytesOf("#bundle\0\0\0\0\x01\0\0\0\x02"s) +
                           bytesOf("\0\0\0\x08/go\0,\0\0\0"s) + Bytes{0, 0, 0, 2, 0xc0, 0x01, 0, 0};
    EXPECT_EQ(bundle.packetData(), expected);
}

TEST(OscBundleTest, DescriptionListsElementsAsHex) {
    OscBundle bundle;
    EXPECT_EQ(bundle.description(), "()");
    bundle.elements = {{0x2f, 0x00}, {}, {0xff}};
    EXPECT_EQ(bundle.description(), "(<2f00>, <>, <ff>)");
}

}  // namespace
}  // namespace bw
