#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "remote/osc/OscStreamState.h"

namespace bw {

class OscPacketDestination;
class OscSocket;

// Turns received bytes into OscMessages and hands each one to a destination,
// synchronously, before the call returns. Every malformed packet is dropped
// with one line in the system log and never reaches the destination; a bundle
// error stops only that bundle, keeping what it already delivered. Bundle
// time tags are not read: every element is handled at once.
//
// Stateless functions: any thread, and the destination is called on it. The
// TCP framing state lives in the caller's per-connection buffer and
// OscStreamState, used one call at a time. The functions read only inside the
// spans given, whatever the size fields in them say, and do not recurse:
// nested bundles are walked with a heap-allocated stack whose depth is
// bounded by the packet size.
class OscParser {
public:
    OscParser() = delete;

    // The most bytes one packet may take on a TCP stream (after SLIP
    // unescaping, or as given in a length prefix).
    static constexpr std::size_t kMaxStreamPacketBytes = 64 * 1024;

    // SLIP (RFC 1055) byte values.
    static constexpr std::uint8_t kSlipEnd = 0xC0;
    static constexpr std::uint8_t kSlipEsc = 0xDB;
    static constexpr std::uint8_t kSlipEscEnd = 0xDC;
    static constexpr std::uint8_t kSlipEscEsc = 0xDD;

    // One complete packet. Nothing happens for empty bytes or a null
    // destination; otherwise '#' starts a bundle, '/' a message, and anything
    // else is dropped with "Error: Unrecognized OSC message of length <n>.".
    static void processOscData(std::span<const std::uint8_t> data,
                               OscPacketDestination* destination,
                               const std::shared_ptr<OscSocket>& replySocket);
    // One message; delivered with `replySocket` set. Null destination: nothing.
    static void processMessageData(std::span<const std::uint8_t> data,
                                   OscPacketDestination* destination,
                                   const std::shared_ptr<OscSocket>& replySocket);
    // One bundle; its messages, nested bundles' included, are delivered in
    // order. Null destination: nothing.
    static void processBundleData(std::span<const std::uint8_t> data,
                                  OscPacketDestination* destination,
                                  const std::shared_ptr<OscSocket>& replySocket);

    // One chunk of a SLIP-framed TCP stream. Unescaped bytes collect in
    // `buffer`; each END hands the buffer to processOscData (with
    // state.socket as reply socket) and empties it. Bytes after the last END
    // stay for the next chunk, and an ESC ending the chunk is completed by the
    // next one (state.danglingESC). Without state.socket the chunk is dropped
    // with "Error: OscParser can not translate SLIP data without a socket.".
    // A packet that would outgrow kMaxStreamPacketBytes is dropped with one
    // "Error:" line, and the bytes up to the next END are ignored; the stream
    // goes on after it.
    static void translateSlipData(std::span<const std::uint8_t> chunk,
                                  std::vector<std::uint8_t>& buffer, OscStreamState& state,
                                  OscPacketDestination* destination);

    // One chunk of a TCP stream where each packet follows its length as a
    // 4-byte big-endian number. Partial prefixes and packets collect in
    // `buffer` across chunks; each complete packet goes to processOscData
    // with state.socket as reply socket; a length of 0 is an empty packet
    // (ignored). Without state.socket the chunk is dropped with one "Error:"
    // line. A length above kMaxStreamPacketBytes logs one "Error:" line, sets
    // state.failed and empties the buffer: the stream cannot be
    // resynchronised, so every later chunk is ignored and the caller should
    // close the connection.
    static void translateLengthPrefixedData(std::span<const std::uint8_t> chunk,
                                            std::vector<std::uint8_t>& buffer,
                                            OscStreamState& state,
                                            OscPacketDestination* destination);

    // END, the packet with END and ESC escaped, END. The caller owns the
    // returned bytes.
    static std::vector<std::uint8_t> slipEncode(std::span<const std::uint8_t> packet);

    // Where the "debugIncomingOSC" trace setting comes from; it is asked
    // anew for every message and every argument. An empty function restores
    // the default, the user preference (absent counts as false). Returns the
    // source it replaces. Not synchronised with parsing: set it while no
    // parse runs (at start-up, in tests, in benchmarks).
    static std::function<bool()> setDebugSource(std::function<bool()> source);
};

}  // namespace bw
