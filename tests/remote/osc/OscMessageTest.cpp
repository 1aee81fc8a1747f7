#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "platform/SystemLog.h"
#include "remote/osc/OscMessage.h"
#include "remote/osc/OscParser.h"
#include "remote/osc/OscTestSupport.h"

namespace bw {
namespace {

using namespace std::string_literals;
using test::Bytes;
using test::bytesOf;
using test::operator+;
using Lines = std::vector<std::string>;

TEST(OscMessageTest, AddressSetterTakesOnlyPatternsStartingWithSlash) {
    struct Case {
        std::string given;
        std::string expected;
    };
    for (const Case& c : std::vector<Case>{{"/cue/1", "/cue/1"},
                                           {"", "/before"},
                                           {"cue", "/before"},
                                           {" /cue", "/before"},
                                           {"/", "/"}}) {
        OscMessage message;
        message.setAddressPattern("/before");
        message.setAddressPattern(c.given);
        EXPECT_EQ(message.addressPattern(), c.expected) << "given \"" << c.given << "\"";
    }
}

TEST(OscMessageTest, AddressPartsDropOnlyTheTextBeforeTheLeadingSlash) {
    struct Case {
        std::string address;
        std::vector<std::string> parts;
    };
    for (const Case& c : std::vector<Case>{{"/cue", {"cue"}},
                                           {"/a/b", {"a", "b"}},
                                           {"/", {""}},
                                           {"//x", {"", "x"}},
                                           {"/a/", {"a", ""}},
                                           {"/cue/12/go", {"cue", "12", "go"}}}) {
        EXPECT_EQ(OscMessage(c.address).addressParts(), c.parts) << c.address;
    }
}

// Verifies that values the codec does not carry are dropped from both the
// argument list and the type tags, a number with one log line, anything else
// silently.
TEST(OscMessageTest, SettingArgumentsKeepsOnlyCarriedKinds) {
    SystemLog::ScopedCapture capture;
    OscMessage message;
    message.setArguments({5, 2.5, "go", 1.5L});
    EXPECT_EQ(message.typeTagString(), ",ifs");
    ASSERT_EQ(message.arguments().size(), 3u);
    EXPECT_EQ(message.arguments()[0], OscArgument(5));
    EXPECT_EQ(message.arguments()[1], OscArgument(2.5));
    EXPECT_EQ(message.arguments()[2], OscArgument("go"));

    message.setArguments(
        {true, nullptr, OscValue(), OscValue::unsupportedNumber(9, "1+2i"), OscBlob{{1, 2}}});
    EXPECT_EQ(message.typeTagString(), ",b");
    EXPECT_EQ(message.arguments().size(), 1u);
    EXPECT_EQ(capture.lines(), (Lines{"Number with unrecognized type: 2 (value = 1.5).",
                                      "Number with unrecognized type: 1 (value = true).",
                                      "Number with unrecognized type: 9 (value = 1+2i)."}));
}

TEST(OscMessageTest, IntegersOfEveryWidthAndBothFloatPrecisionsAreKept) {
    const OscMessage message(
        "/n", {std::int8_t{-1}, std::uint16_t{2}, 3L, 4ULL, 'A', 1.5f, 2.5, std::int64_t{1} << 40});
    EXPECT_EQ(message.typeTagString(), ",iiiiiffi");
}

TEST(OscMessageTest, DescriptionIsAddressThenEachArgumentsText) {
    struct Case {
        std::vector<OscValue> arguments;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{}, "/cue"},
        {{5, -7}, "/cue 5 -7"},
        {{12.5f, 1.234f, 0.1}, "/cue 12.5 1.234 0.1"},
        {{"go now", OscBlob{{0x0a, 0x1b, 0xff}}, OscBlob{}}, "/cue go now <0a1bff> <>"},
        {{std::numeric_limits<float>::infinity(), std::nan("")}, "/cue inf nan"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OscMessage("/cue", c.arguments).description(), c.expected);
    }
}

TEST(OscMessageTest, EqualityComparesAddressAndArgumentValuesOnly) {
    OscMessage a("/cue", {5, 2.5f, "x"});
    OscMessage b("/cue", {std::int64_t{5}, 2.5, "x"});
    b.userData = 42;
    b.replySocket = test::fakeSocket();
    EXPECT_EQ(a, b);
    EXPECT_NE(a, OscMessage("/cue", {5, 2.5f}));
    EXPECT_NE(a, OscMessage("/go", {5, 2.5f, "x"}));
    EXPECT_NE(OscMessage("/n", {1}), OscMessage("/n", {1.0f}));
    EXPECT_NE(OscMessage("/n", {std::nan("")}), OscMessage("/n", {std::nan("")}));
    EXPECT_NE(OscMessage("/b", {OscBlob{{1}}}), OscMessage("/b", {OscBlob{{1, 0}}}));
}

// Expected bytes written by hand from the OSC 1.0 wire rules.
TEST(OscMessageTest, EncodesToTheWireBytes) {
    struct Case {
        const char* name;
        OscMessage message;
        Bytes expected;
    };
    const std::vector<Case> cases = {
        {"published float example",
         OscMessage("/oscillator/4/frequency", {440.0f}),
         {0x2f, 0x6f, 0x73, 0x63, 0x69, 0x6c, 0x6c, 0x61, 0x74, 0x6f, 0x72,
          0x2f, 0x34, 0x2f, 0x66, 0x72, 0x65, 0x71, 0x75, 0x65, 0x6e, 0x63,
          0x79, 0x00, 0x2c, 0x66, 0x00, 0x00, 0x43, 0xdc, 0x00, 0x00}},
        {"published mixed example",
         OscMessage("/foo", {1000, -1, "hello", 1.234f, 5.678f}),
         {0x2f, 0x66, 0x6f, 0x6f, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x69, 0x69, 0x73, 0x66, 0x66,
          0x00, 0x00, 0x00, 0x00, 0x03, 0xe8, 0xff, 0xff, 0xff, 0xff, 0x68, 0x65, 0x6c, 0x6c,
          0x6f, 0x00, 0x00, 0x00, 0x3f, 0x9d, 0xf3, 0xb6, 0x40, 0xb5, 0xb2, 0x2d}},
        {"new message", OscMessage(), bytesOf("/\0\0\0,\0\0\0"s)},
        {"no arguments", OscMessage("/go"), bytesOf("/go\0,\0\0\0"s)},
        {"string padding always adds a zero", OscMessage("/abc", {"", "abc", "abcd"}),
         bytesOf("/abc\0\0\0\0,sss\0\0\0\0\0\0\0\0abc\0abcd\0\0\0\0"s)},
        {"UTF-8 string", OscMessage("/t", {"\xc3\xa4\xc3\xb6\xc3\xbc"}),
         bytesOf("/t\0\0,s\0\0\xc3\xa4\xc3\xb6\xc3\xbc\0\0"s)},
        {"integers truncated to 32 bits",
         OscMessage("/i", {(std::int64_t{1} << 32) + 5, std::uint32_t{0xFFFFFFFE}}),
         bytesOf("/i\0\0,ii\0\0\0\0\x05\xff\xff\xff\xfe"s)},
        {"double sent as single precision", OscMessage("/f", {0.1}),
         bytesOf("/f\0\0,f\0\0\x3d\xcc\xcc\xcd"s)},
        {"blob size field is the exact byte count",
         OscMessage("/b", {OscBlob{{1, 2, 3}}, OscBlob{}, OscBlob{{4, 5, 6, 7}}}),
         bytesOf("/b\0\0,bbb\0\0\0\0\0\0\0\x03\x01\x02\x03\0\0\0\0\0\0\0\0\x04\x04\x05\x06\x07"s)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.message.packetData(), c.expected) << c.name;
    }
}

// Verifies that every argument kind survives encoding and decoding, including
// edge values of each.
TEST(OscMessageTest, EveryArgumentKindRoundTripsThroughTheParser) {
    const std::vector<OscMessage> messages = {
        OscMessage("/i", {0, 1, -1, std::numeric_limits<std::int32_t>::min(),
                          std::numeric_limits<std::int32_t>::max()}),
        OscMessage("/f", {0.0f, -0.0f, 12.5f, std::numeric_limits<float>::max(),
                          std::numeric_limits<float>::denorm_min(),
                          -std::numeric_limits<float>::infinity()}),
        OscMessage("/s", {"", "a", "abc", "abcd", "Bühne ✓ 🎬", "/x,y"}),
        OscMessage("/b", {OscBlob{}, OscBlob{{0}}, OscBlob{{0xc0, 0xdb, 0xdc}},
                          OscBlob{{1, 2, 3, 4}}, OscBlob{Bytes(1001, 0x5a)}}),
        OscMessage("/mixed/path", {"s", 1, OscBlob{{9}}, 2.5f, "", OscBlob{}}),
    };
    for (const OscMessage& sent : messages) {
        test::RecordingDestination destination;
        OscParser::processOscData(sent.packetData(), &destination, nullptr);
        ASSERT_EQ(destination.messages.size(), 1u) << sent.description();
        EXPECT_EQ(destination.messages[0], sent);
        EXPECT_EQ(destination.messages[0].typeTagString(), sent.typeTagString());
    }
}

}  // namespace
}  // namespace bw
