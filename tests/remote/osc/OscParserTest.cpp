#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Preferences.h"
#include "platform/SystemLog.h"
#include "remote/osc/OscBundle.h"
#include "remote/osc/OscParser.h"
#include "remote/osc/OscTestSupport.h"

namespace bw {
namespace {

using namespace std::string_literals;
using test::Bytes;
using test::bytesOf;
using test::operator+;
using Lines = std::vector<std::string>;

// One packet, the messages it must deliver and the exact lines it must log.
struct DecodeCase {
    const char* name;
    Bytes packet;
    std::vector<OscMessage> delivered;
    Lines logged;
};

void expectDecodes(const DecodeCase& c) {
    SystemLog::ScopedCapture capture;
    test::RecordingDestination destination;
    const auto socket = test::fakeSocket();
    OscParser::processOscData(c.packet, &destination, socket);
    EXPECT_EQ(destination.messages, c.delivered) << c.name;
    for (std::size_t i = 0; i < destination.messages.size(); ++i) {
        EXPECT_EQ(destination.messages[i].typeTagString(), c.delivered[i].typeTagString())
            << c.name;
        EXPECT_EQ(destination.messages[i].replySocket, socket) << c.name;
    }
    EXPECT_EQ(capture.lines(), c.logged) << c.name;
}

class OscParserTest : public testing::Test {
protected:
    void SetUp() override {
        previous_ = OscParser::setDebugSource([] { return false; });
    }
    void TearDown() override { OscParser::setDebugSource(previous_); }

private:
    std::function<bool()> previous_;
};

const Bytes kCueAddress = bytesOf("/cue\0\0\0\0"s);

TEST_F(OscParserTest, DecodesWellFormedMessages) {
    const std::vector<DecodeCase> cases = {
        {"published float example",
         {0x2f, 0x6f, 0x73, 0x63, 0x69, 0x6c, 0x6c, 0x61, 0x74, 0x6f, 0x72,
          0x2f, 0x34, 0x2f, 0x66, 0x72, 0x65, 0x71, 0x75, 0x65, 0x6e, 0x63,
          0x79, 0x00, 0x2c, 0x66, 0x00, 0x00, 0x43, 0xdc, 0x00, 0x00},
         {OscMessage("/oscillator/4/frequency", {440.0f})},
         {}},
        {"published mixed example",
         {0x2f, 0x66, 0x6f, 0x6f, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x69, 0x69, 0x73, 0x66, 0x66,
          0x00, 0x00, 0x00, 0x00, 0x03, 0xe8, 0xff, 0xff, 0xff, 0xff, 0x68, 0x65, 0x6c, 0x6c,
          0x6f, 0x00, 0x00, 0x00, 0x3f, 0x9d, 0xf3, 0xb6, 0x40, 0xb5, 0xb2, 0x2d},
         {OscMessage("/foo", {1000, -1, "hello", 1.234f, 5.678f})},
         {}},
        {"address and padding with no type tags",
         bytesOf("/go\0\0\0\0\0"s),
         {OscMessage("/go")},
         {}},
        {"address filling the packet exactly", bytesOf("/go\0"s), {OscMessage("/go")}, {}},
        {"bytes after the address that are not type tags",
         kCueAddress + Bytes{0, 0, 0, 5},
         {OscMessage("/cue")},
         {}},
        {"one integer", kCueAddress + bytesOf(",i\0\0\0\0\0\x05"s), {OscMessage("/cue", {5})}, {}},
        {"blob of 3 bytes then an integer",
         kCueAddress + bytesOf(",bi\0\0\0\0\x03\x0a\x0b\x0c\0\0\0\0\x07"s),
         {OscMessage("/cue", {OscBlob{{0x0a, 0x0b, 0x0c}}, 7})},
         {}},
        {"empty blob",
         kCueAddress + bytesOf(",b\0\0\0\0\0\0"s),
         {OscMessage("/cue", {OscBlob{}})},
         {}},
        {"two-byte UTF-8 characters then an integer",
         kCueAddress + bytesOf(",si\0\xc3\xa4\xc3\xb6\xc3\xbc\0\0\0\0\0\x09"s),
         {OscMessage("/cue", {"äöü", 9})},
         {}},
        {"empty type tags", kCueAddress + bytesOf(",\0\0\0"s), {OscMessage("/cue")}, {}},
        {"type tag padding past the end, no letters",
         kCueAddress + bytesOf(",\0"s),
         {OscMessage("/cue")},
         {}},
        {"last string without its padding",
         kCueAddress + bytesOf(",s\0\0ab\0"s),
         {OscMessage("/cue", {"ab"})},
         {}},
        {"bytes after the last argument",
         kCueAddress + bytesOf(",i\0\0\0\0\0\x01\xff\xff"s),
         {OscMessage("/cue", {1})},
         {}},
        {"empty packet", {}, {}, {}},
    };
    for (const DecodeCase& c : cases)
        expectDecodes(c);
}

TEST_F(OscParserTest, DropsMalformedMessagesWithOneLine) {
    const std::string address = "Error: Unable to parse OSC method address.";
    const std::vector<DecodeCase> cases = {
        {"address padding missing", bytesOf("/cue\0"s), {}, {address}},
        {"address without a zero byte", bytesOf("/cue"s), {}, {address}},
        {"address not UTF-8", bytesOf("/\xff\0\0"s), {}, {address}},
        {"address with an overlong encoding", bytesOf("/\xc0\xaf\0"s), {}, {address}},
        {"first byte neither / nor #",
         bytesOf("cue\0"s),
         {},
         {"Error: Unrecognized OSC message of length 4."}},
        {"type tags without a zero byte",
         kCueAddress + bytesOf(",ii"s),
         {},
         {"Error: Unable to parse type tag for OSC method /cue"}},
        {"double type letter",
         kCueAddress + bytesOf(",d\0\0"s) + Bytes(8, 0),
         {},
         {"Error: Unrecognized type 'd' found in type tag for OSC method /cue"}},
        {"unknown letter after good arguments",
         kCueAddress + bytesOf(",iT\0\0\0\0\x01"s),
         {},
         {"Error: Unrecognized type 'T' found in type tag for OSC method /cue"}},
        {"non-ASCII type letter",
         kCueAddress + bytesOf(",\xc3\xa9\0\0"s),
         {},
         {"Error: Unrecognized type '\xc3\xa9' found in type tag for OSC method /cue"}},
        {"short integer",
         kCueAddress + bytesOf(",i\0\0\0\0\0"s),
         {},
         {"Error: Unable to parse int argument for OSC method /cue"}},
        {"integer after type tag padding past the end",
         kCueAddress + bytesOf(",iii\0"s),
         {},
         {"Error: Unable to parse int argument for OSC method /cue"}},
        {"short float",
         kCueAddress + bytesOf(",f\0\0\x41"s),
         {},
         {"Error: Unable to parse float argument for OSC method /cue"}},
        {"string without a zero byte",
         kCueAddress + bytesOf(",s\0\0abcd"s),
         {},
         {"Error: Unable to parse string argument for OSC method /cue"}},
        {"string not UTF-8",
         kCueAddress + bytesOf(",s\0\0\xed\xa0\x80\0"s),
         {},
         {"Error: Unable to parse string argument for OSC method /cue"}},
        {"blob larger than the packet",
         kCueAddress + bytesOf(",b\0\0\0\0\0\x05\x01\x02\x03\x04"s),
         {},
         {"Error: Unable to parse blob argument for OSC method /cue"}},
        {"blob with a huge size",
         kCueAddress + bytesOf(",b\0\0\xff\xff\xff\xff"s),
         {},
         {"Error: Unable to parse blob argument for OSC method /cue"}},
        {"blob without a size field",
         kCueAddress + bytesOf(",b\0\0\0\0"s),
         {},
         {"Error: Unable to parse blob argument for OSC method /cue"}},
    };
    for (const DecodeCase& c : cases)
        expectDecodes(c);
}

const Bytes kBundlePrefix = bytesOf("#bundle\0"s);
const Bytes kImmediate = {0, 0, 0, 0, 0, 0, 0, 1};

Bytes element(const Bytes& packet) {
    const auto n = static_cast<std::uint32_t>(packet.size());
    return Bytes{static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                 static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)} +
           packet;
}

Bytes bundleOf(const std::vector<Bytes>& packets) {
    Bytes out = kBundlePrefix + kImmediate;
    for (const Bytes& packet : packets)
        out = out + element(packet);
    return out;
}

TEST_F(OscParserTest, DecodesBundles) {
    const Bytes go = OscMessage("/go", {1}).packetData();
    const Bytes stop = OscMessage("/stop").packetData();
    const Bytes bad = kCueAddress + bytesOf(",i\0\0"s);
    const std::vector<DecodeCase> cases = {
        {"far-future time tag is handled at once",
         kBundlePrefix + Bytes{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff} + element(go),
         {OscMessage("/go", {1})},
         {}},
        {"elements in order",
         bundleOf({go, stop, go}),
         {OscMessage("/go", {1}), OscMessage("/stop"), OscMessage("/go", {1})},
         {}},
        {"bundles within bundles keep depth-first order",
         bundleOf({bundleOf({go, bundleOf({stop})}), stop}),
         {OscMessage("/go", {1}), OscMessage("/stop"), OscMessage("/stop")},
         {}},
        {"a bad message does not stop the bundle",
         bundleOf({bad, stop}),
         {OscMessage("/stop")},
         {"Error: Unable to parse int argument for OSC method /cue"}},
        {"up to four trailing bytes are ignored",
         bundleOf({go}) + Bytes{0, 0, 0, 9},
         {OscMessage("/go", {1})},
         {}},
        {"only the time tag",
         kBundlePrefix + kImmediate,
         {},
         {"Warning: Received an empty OSC bundle message."}},
        {"only the prefix", kBundlePrefix, {}, {"Warning: Received an empty OSC bundle message."}},
        {"fewer than 5 bytes after the time tag",
         kBundlePrefix + kImmediate + Bytes{0, 0, 0, 8},
         {},
         {}},
        {"prefix without a zero byte",
         bytesOf("#bundle"s),
         {},
         {"Error: Unable to parse OSC bundle prefix."}},
        {"prefix padding missing",
         bytesOf("#bun\0"s),
         {},
         {"Error: Unable to parse OSC bundle prefix."}},
        {"another prefix",
         bytesOf("#bundl\0\0"s) + kImmediate + element(go),
         {},
         {"Error: Received an invalid OSC bundle message."}},
        {"element larger than the bundle keeps what came before",
         bundleOf({go}) + Bytes{0, 0, 0, 12, '/', 'x', 0, 0},
         {OscMessage("/go", {1})},
         {"Error: A message in the OSC bundle claimed to be larger than the bundle itself."}},
        {"unrecognized element stops the bundle",
         bundleOf({bytesOf("abc\0xyz\0"s), go}),
         {},
         {"Error: Bundle contained unrecognized OSC message of length 8."}},
        {"empty element",
         bundleOf({Bytes{}, go}),
         {},
         {"Error: Bundle contained unrecognized OSC message of length 0."}},
        {"an error ends only the inner bundle",
         bundleOf({bundleOf({go, bytesOf("zzzz"s), go}), stop}),
         {OscMessage("/go", {1}), OscMessage("/stop")},
         {"Error: Bundle contained unrecognized OSC message of length 4."}},
        {"empty inner bundle",
         bundleOf({kBundlePrefix + kImmediate, stop}),
         {OscMessage("/stop")},
         {"Warning: Received an empty OSC bundle message."}},
    };
    for (const DecodeCase& c : cases)
        expectDecodes(c);
}

// Verifies that nesting as deep as a TCP packet allows neither overflows the
// stack nor loses the innermost message.
TEST_F(OscParserTest, DeeplyNestedBundlesDeliverTheInnermostMessage) {
    Bytes packet = OscMessage("/deep").packetData();
    while (packet.size() + 20 <= OscParser::kMaxStreamPacketBytes)
        packet = bundleOf({packet});
    test::RecordingDestination destination;
    OscParser::processOscData(packet, &destination, nullptr);
    EXPECT_EQ(destination.messages, std::vector<OscMessage>{OscMessage("/deep")});
}

TEST_F(OscParserTest, BundleEncodingDecodesToItsMessages) {
    OscBundle inner;
    inner.addPacket(OscMessage("/b", {OscBlob{{1, 2, 3}}}));
    OscBundle outer;
    outer.timeTag = OscTimeTag{0x83aa7e80, 0x80000000};
    outer.addPacket(OscMessage("/a", {"x"}));
    outer.addPacket(inner);
    outer.addPacket(OscMessage("/c", {3.5f}));

    const Bytes data = outer.packetData();
    ASSERT_GE(data.size(), 16u);
    const Bytes head = kBundlePrefix + Bytes{0x83, 0xaa, 0x7e, 0x80, 0x80, 0, 0, 0};
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 16), head);

    test::RecordingDestination destination;
    OscParser::processOscData(data, &destination, nullptr);
    EXPECT_EQ(destination.messages, (std::vector<OscMessage>{OscMessage("/a", {"x"}),
                                                             OscMessage("/b", {OscBlob{{1, 2, 3}}}),
                                                             OscMessage("/c", {3.5f})}));
}

TEST_F(OscParserTest, NullDestinationReceivesNothingAndLogsNothing) {
    SystemLog::ScopedCapture capture;
    const Bytes go = OscMessage("/go").packetData();
    OscParser::processOscData(go, nullptr, nullptr);
    OscParser::processMessageData(go, nullptr, nullptr);
    OscParser::processBundleData(bundleOf({go}), nullptr, nullptr);
    OscParser::processOscData(bytesOf("junk"s), nullptr, nullptr);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(OscParserTest, DebugTraceListsTheMessageAndEachArgument) {
    OscParser::setDebugSource([] { return true; });
    const std::vector<DecodeCase> cases = {
        {"all kinds",
         OscMessage("/cue", {7, 12.5f, "go now", OscBlob{{0x0a, 0xff}}}).packetData(),
         {OscMessage("/cue", {7, 12.5f, "go now", OscBlob{{0x0a, 0xff}}})},
         {"Incoming OSC message:", "  /cue", "  arguments:", "    int: 7", "    float: 12.5",
          "    string: \"go now\"", "    blob: <0aff>"}},
        {"no arguments",
         OscMessage("/go").packetData(),
         {OscMessage("/go")},
         {"Incoming OSC message:", "  /go"}},
        {"no type tags at all", bytesOf("/go\0"s), {OscMessage("/go")}, {}},
        {"arguments before an error are traced",
         kCueAddress + bytesOf(",if\0\0\0\0\x02"s),
         {},
         {"Incoming OSC message:", "  /cue", "  arguments:", "    int: 2",
          "Error: Unable to parse float argument for OSC method /cue"}},
    };
    for (const DecodeCase& c : cases)
        expectDecodes(c);
}

// Verifies that the setting is asked for every message and every argument,
// so a change takes effect in the middle of a message.
TEST_F(OscParserTest, DebugSettingIsReadForEveryMessageAndArgument) {
    int reads = 0;
    OscParser::setDebugSource([&reads] { return ++reads % 2 == 1; });
    SystemLog::ScopedCapture capture;
    test::RecordingDestination destination;
    OscParser::processOscData(OscMessage("/m", {1, 2, 3}).packetData(), &destination, nullptr);
    EXPECT_EQ(reads, 4);
    EXPECT_EQ(capture.lines(),
              (Lines{"Incoming OSC message:", "  /m", "  arguments:", "    int: 2"}));
}

TEST_F(OscParserTest, DebugSettingDefaultsToTheUserPreference) {
    OscParser::setDebugSource(nullptr);
    const Bytes packet = OscMessage("/p", {1}).packetData();
    test::RecordingDestination destination;
    {
        SystemLog::ScopedCapture capture;
        OscParser::processOscData(packet, &destination, nullptr);
        EXPECT_TRUE(capture.lines().empty()) << "an absent preference counts as false";
    }
    ASSERT_TRUE(Preferences::shared().setBool(Preferences::kDebugIncomingOSC, true));
    {
        SystemLog::ScopedCapture capture;
        OscParser::processOscData(packet, &destination, nullptr);
        EXPECT_EQ(capture.lines(),
                  (Lines{"Incoming OSC message:", "  /p", "  arguments:", "    int: 1"}));
    }
    ASSERT_TRUE(Preferences::shared().setBool(Preferences::kDebugIncomingOSC, false));
    {
        SystemLog::ScopedCapture capture;
        OscParser::processOscData(packet, &destination, nullptr);
        EXPECT_TRUE(capture.lines().empty());
    }
}

}  // namespace
}  // namespace bw
