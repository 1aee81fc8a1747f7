#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/SystemLog.h"
#include "remote/osc/OscParser.h"
#include "remote/osc/OscTestSupport.h"

namespace bw {
namespace {

using namespace std::string_literals;
using test::Bytes;
using test::bytesOf;
using test::operator+;
using Lines = std::vector<std::string>;
using Messages = std::vector<OscMessage>;

constexpr std::uint8_t END = OscParser::kSlipEnd;
constexpr std::uint8_t ESC = OscParser::kSlipEsc;

using Translate = void (*)(std::span<const std::uint8_t>, std::vector<std::uint8_t>&,
                           OscStreamState&, OscPacketDestination*);

// One connection: its buffer, state and the messages it delivered.
struct Connection {
    explicit Connection(Translate translateFunction) : translate(translateFunction) {
        state.socket = test::fakeSocket();
    }
    void feed(std::span<const std::uint8_t> chunk) {
        translate(chunk, buffer, state, &destination);
    }

    Translate translate;
    Bytes buffer;
    OscStreamState state;
    test::RecordingDestination destination;
};

// Feeds `stream` cut at every pair of positions (so every split into one,
// two or three chunks, empty chunks included) and expects `expected` each time.
void expectEveryChunkingDelivers(Translate translate, const Bytes& stream,
                                 const Messages& expected) {
    const std::span<const std::uint8_t> all(stream);
    for (std::size_t i = 0; i <= stream.size(); ++i) {
        for (std::size_t j = i; j <= stream.size(); ++j) {
            Connection connection(translate);
            connection.feed(all.subspan(0, i));
            connection.feed(all.subspan(i, j - i));
            connection.feed(all.subspan(j));
            ASSERT_EQ(connection.destination.messages, expected) << "cut at " << i << ", " << j;
            ASSERT_TRUE(connection.buffer.empty()) << "cut at " << i << ", " << j;
            ASSERT_FALSE(connection.state.danglingESC) << "cut at " << i << ", " << j;
        }
    }
    Connection byteByByte(translate);
    for (const std::uint8_t byte : stream)
        byteByByte.feed(std::span(&byte, 1));
    EXPECT_EQ(byteByByte.destination.messages, expected);
}

Bytes lengthPrefixed(const Bytes& packet) {
    const auto n = static_cast<std::uint32_t>(packet.size());
    return Bytes{static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                 static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)} +
           packet;
}

// Messages whose encodings hold END and ESC bytes, so escapes cross chunks.
const Messages kMessages = {
    OscMessage("/cue", {OscBlob{{END, ESC, 0xdc, 0xdd, ESC, END}}}),
    OscMessage("/go", {static_cast<std::int32_t>(0xc0dbc0db)}),
    OscMessage("/stop"),
};

TEST(OscSlipTest, EncodeEscapesEndAndEsc) {
    struct Case {
        Bytes packet;
        Bytes framed;
    };
    for (const Case& c : std::vector<Case>{
             {{}, {END, END}},
             {{1, 2}, {END, 1, 2, END}},
             {{END}, {END, ESC, 0xdc, END}},
             {{ESC}, {END, ESC, 0xdd, END}},
             {{0xdc, ESC, END, 0xdd}, {END, 0xdc, ESC, 0xdd, ESC, 0xdc, 0xdd, END}}}) {
        EXPECT_EQ(OscParser::slipEncode(c.packet), c.framed);
    }
}

TEST(OscSlipTest, EveryChunkingDeliversTheSameMessages) {
    // END, a message, END, END, the next message, END: the empty frames
    // between ENDs deliver nothing.
    Bytes stream = {END};
    for (const OscMessage& message : kMessages)
        stream = stream + OscParser::slipEncode(message.packetData());
    SystemLog::ScopedCapture capture;
    expectEveryChunkingDelivers(&OscParser::translateSlipData, stream, kMessages);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(OscSlipTest, ChunkEndingInEscIsCompletedByTheNext) {
    Connection connection(&OscParser::translateSlipData);
    connection.feed(Bytes{'/', ESC});
    EXPECT_TRUE(connection.state.danglingESC);
    connection.feed(Bytes{0xdc, ESC});
    connection.feed(Bytes{0xdd});
    connection.feed(Bytes{ESC});
    connection.feed(Bytes{'x'});
    EXPECT_FALSE(connection.state.danglingESC);
    EXPECT_EQ(connection.buffer, (Bytes{'/', END, ESC, 'x'}));
}

TEST(OscSlipTest, EscapedEndDoesNotEndThePacket) {
    Connection connection(&OscParser::translateSlipData);
    connection.feed(Bytes{'/', 'a', ESC, END, 'b'});
    EXPECT_EQ(connection.buffer, (Bytes{'/', 'a', END, 'b'}));
    EXPECT_TRUE(connection.destination.messages.empty());
}

TEST(OscSlipTest, MessagesCarryTheConnectionSocket) {
    Connection connection(&OscParser::translateSlipData);
    connection.feed(OscParser::slipEncode(OscMessage("/go").packetData()));
    ASSERT_EQ(connection.destination.messages.size(), 1u);
    EXPECT_EQ(connection.destination.messages[0].replySocket, connection.state.socket);
}

TEST(OscSlipTest, WithoutSocketTheChunkIsDropped) {
    SystemLog::ScopedCapture capture;
    Connection connection(&OscParser::translateSlipData);
    connection.state.socket = nullptr;
    connection.feed(OscParser::slipEncode(OscMessage("/go").packetData()));
    EXPECT_TRUE(connection.destination.messages.empty());
    EXPECT_TRUE(connection.buffer.empty());
    EXPECT_EQ(capture.lines(),
              (Lines{"Error: OscParser can not translate SLIP data without a socket."}));
}

TEST(OscSlipTest, MalformedPacketIsLoggedAndTheStreamGoesOn) {
    SystemLog::ScopedCapture capture;
    Connection connection(&OscParser::translateSlipData);
    connection.feed(Bytes{'x', 'y', END} + OscParser::slipEncode(OscMessage("/go").packetData()));
    EXPECT_EQ(connection.destination.messages, Messages{OscMessage("/go")});
    EXPECT_EQ(capture.lines(), (Lines{"Error: Unrecognized OSC message of length 2."}));
}

// A message whose encoding is exactly `size` bytes (size a multiple of 4, at
// least 16): "/big", ",b" and a blob that fills the rest.
OscMessage messageOfSize(std::size_t size) {
    return OscMessage("/big", {OscBlob{Bytes(size - 16, 0x11)}});
}

TEST(OscSlipTest, PacketsUpToTheCapAreDeliveredLargerOnesDropped) {
    const OscMessage largest = messageOfSize(OscParser::kMaxStreamPacketBytes);
    ASSERT_EQ(largest.packetData().size(), OscParser::kMaxStreamPacketBytes);
    const OscMessage tooLarge = messageOfSize(OscParser::kMaxStreamPacketBytes + 4);
    const Bytes stream = OscParser::slipEncode(largest.packetData()) +
                         OscParser::slipEncode(tooLarge.packetData()) +
                         OscParser::slipEncode(OscMessage("/after").packetData());

    SystemLog::ScopedCapture capture;
    Connection connection(&OscParser::translateSlipData);
    const std::span<const std::uint8_t> all(stream);
    for (std::size_t at = 0; at < stream.size(); at += 1000) {
        connection.feed(all.subspan(at, std::min<std::size_t>(1000, stream.size() - at)));
        EXPECT_LE(connection.buffer.size(), OscParser::kMaxStreamPacketBytes);
    }
    EXPECT_EQ(connection.destination.messages, (Messages{largest, OscMessage("/after")}));
    EXPECT_EQ(capture.lines(),
              (Lines{"Error: OSC packet on a TCP stream exceeds 65536 bytes; dropping it."}));
}

TEST(OscLengthPrefixedTest, EveryChunkingDeliversTheSameMessages) {
    Bytes stream;
    for (const OscMessage& message : kMessages) {
        stream = stream + lengthPrefixed(message.packetData()) + lengthPrefixed({});
    }
    SystemLog::ScopedCapture capture;
    expectEveryChunkingDelivers(&OscParser::translateLengthPrefixedData, stream, kMessages);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(OscLengthPrefixedTest, MessagesCarryTheConnectionSocket) {
    Connection connection(&OscParser::translateLengthPrefixedData);
    connection.feed(lengthPrefixed(OscMessage("/go").packetData()));
    ASSERT_EQ(connection.destination.messages.size(), 1u);
    EXPECT_EQ(connection.destination.messages[0].replySocket, connection.state.socket);
}

TEST(OscLengthPrefixedTest, WithoutSocketTheChunkIsDropped) {
    SystemLog::ScopedCapture capture;
    Connection connection(&OscParser::translateLengthPrefixedData);
    connection.state.socket = nullptr;
    connection.feed(lengthPrefixed(OscMessage("/go").packetData()));
    EXPECT_TRUE(connection.destination.messages.empty());
    EXPECT_TRUE(connection.buffer.empty());
    EXPECT_EQ(capture.lines(),
              (Lines{"Error: OscParser can not translate length-prefixed data without a socket."}));
}

TEST(OscLengthPrefixedTest, PacketAtTheCapIsDelivered) {
    const OscMessage largest = messageOfSize(OscParser::kMaxStreamPacketBytes);
    const Bytes stream = lengthPrefixed(largest.packetData());
    Connection whole(&OscParser::translateLengthPrefixedData);
    whole.feed(stream);
    Connection split(&OscParser::translateLengthPrefixedData);
    split.feed(std::span(stream).first(3));
    split.feed(std::span(stream).subspan(3, 40000));
    split.feed(std::span(stream).subspan(40003));
    EXPECT_EQ(whole.destination.messages, Messages{largest});
    EXPECT_EQ(split.destination.messages, Messages{largest});
    EXPECT_FALSE(split.state.failed);
}

// Verifies that a length above the cap ends the stream: nothing after it is
// read, even packets that look well formed.
TEST(OscLengthPrefixedTest, LengthAboveTheCapFailsTheStream) {
    const Bytes go = lengthPrefixed(OscMessage("/go").packetData());
    const Bytes stream = go + Bytes{0, 1, 0, 1} + go;
    for (const std::size_t cut : {std::size_t{0}, go.size() + 2, go.size() + 4}) {
        SystemLog::ScopedCapture capture;
        Connection connection(&OscParser::translateLengthPrefixedData);
        connection.feed(std::span(stream).first(cut));
        connection.feed(std::span(stream).subspan(cut));
        connection.feed(go);
        EXPECT_TRUE(connection.state.failed) << cut;
        EXPECT_TRUE(connection.buffer.empty()) << cut;
        EXPECT_EQ(connection.destination.messages, Messages{OscMessage("/go")}) << cut;
        EXPECT_EQ(capture.lines(),
                  (Lines{"Error: OSC packet length 65537 on a TCP stream exceeds 65536 bytes; the "
                         "stream cannot be resynchronised."}))
            << cut;
    }
}

}  // namespace
}  // namespace bw
