#include "remote/osc/OscParser.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Preferences.h"
#include "platform/SystemLog.h"
#include "remote/osc/OscArgument.h"
#include "remote/osc/OscDecoder.h"
#include "remote/osc/OscMessage.h"
#include "remote/osc/OscPacketDestination.h"

namespace bw {

namespace {

void log(std::string_view line) {
    SystemLog::shared().log(line);
}

// The most argument slots kept per thread between messages.
constexpr std::size_t kKeptArgumentCapacity = 64;

bool preferenceDebugSource() {
    return Preferences::shared().boolValue(Preferences::kDebugIncomingOSC).value_or(false);
}

std::function<bool()>& debugSource() {
    static std::function<bool()> source = preferenceDebugSource;
    return source;
}

bool debugIncomingOsc() {
    return debugSource()();
}

std::uint32_t readBigEndian32(std::span<const std::uint8_t> bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

// The bytes of the UTF-8 character that starts at `text[index]` (the text is
// known to be valid UTF-8).
std::string_view utf8Character(std::string_view text, std::size_t index) {
    const auto lead = static_cast<std::uint8_t>(text[index]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    return text.substr(index, length);
}

// Checks a bundle's prefix and skips its time tag, logging why when there is
// nothing to walk. Returns the bytes that hold its elements.
std::optional<std::span<const std::uint8_t>> openBundle(std::span<const std::uint8_t> data) {
    OscDecoder decoder(data);
    const auto prefix = decoder.readString();
    if (!prefix || decoder.position() > data.size()) {
        log("Error: Unable to parse OSC bundle prefix.");
        return std::nullopt;
    }
    if (*prefix != "#bundle") {
        log("Error: Received an invalid OSC bundle message.");
        return std::nullopt;
    }
    const std::size_t left = data.size() - decoder.position();
    if (left <= 8) {
        log("Warning: Received an empty OSC bundle message.");
        return std::nullopt;
    }
    if (left - 8 < 5) return std::nullopt;
    return data.subspan(decoder.position() + 8);
}

// Hands the buffer's packet to the parser and empties the buffer. The packet
// moves out first, so a destination that feeds the same stream again sees an
// empty buffer; the storage comes back afterwards when it can.
void deliverBuffered(std::vector<std::uint8_t>& buffer, std::size_t offset,
                     OscPacketDestination* destination,
                     const std::shared_ptr<OscSocket>& replySocket) {
    std::vector<std::uint8_t> packet;
    packet.swap(buffer);
    OscParser::processOscData(std::span<const std::uint8_t>(packet).subspan(offset), destination,
                              replySocket);
    packet.clear();
    if (buffer.empty()) buffer.swap(packet);
}

}  // namespace

void OscParser::processOscData(std::span<const std::uint8_t> data,
                               OscPacketDestination* destination,
                               const std::shared_ptr<OscSocket>& replySocket) {
    if (data.empty() || destination == nullptr) return;
    if (data[0] == '#') {
        processBundleData(data, destination, replySocket);
    } else if (data[0] == '/') {
        processMessageData(data, destination, replySocket);
    } else {
        log("Error: Unrecognized OSC message of length " + std::to_string(data.size()) + ".");
    }
}

void OscParser::processMessageData(std::span<const std::uint8_t> data,
                                   OscPacketDestination* destination,
                                   const std::shared_ptr<OscSocket>& replySocket) {
    if (destination == nullptr) return;
    OscDecoder decoder(data);
    const auto address = decoder.readString();
    if (!address || decoder.position() > data.size()) {
        log("Error: Unable to parse OSC method address.");
        return;
    }

    // Argument storage is kept per thread between messages, so decoding
    // allocates nothing once it has grown. A destination that feeds the parser
    // again from takeMessage finds it moved out and simply allocates.
    thread_local std::vector<OscArgument> storage;
    std::vector<OscArgument> arguments = std::move(storage);
    arguments.clear();
    // Without a type tag string the message simply has no arguments.
    if (decoder.peek() == std::uint8_t{','}) {
        const auto typeTags = decoder.readString();
        if (!typeTags) {
            log("Error: Unable to parse type tag for OSC method " + std::string(*address));
            return;
        }
        const std::string_view letters = typeTags->substr(1);
        if (debugIncomingOsc()) {
            log("Incoming OSC message:");
            log("  " + std::string(*address));
            if (!letters.empty()) log("  arguments:");
        }
        // Every argument takes at least 4 bytes (the last may run past the
        // end), so a long type tag string cannot make this reserve much.
        arguments.reserve(std::min(letters.size(), decoder.bytesLeft() / 4 + 1));
        for (std::size_t i = 0; i < letters.size(); ++i) {
            const char letter = letters[i];
            const char* kind = nullptr;
            switch (letter) {
                case 'i':
                    if (const auto value = decoder.readInt32()) {
                        arguments.emplace_back(*value);
                        if (debugIncomingOsc()) log("    int: " + arguments.back().description());
                    } else {
                        kind = "int";
                    }
                    break;
                case 'f':
                    if (const auto value = decoder.readFloat32()) {
                        arguments.emplace_back(*value);
                        if (debugIncomingOsc()) log("    float: " + arguments.back().description());
                    } else {
                        kind = "float";
                    }
                    break;
                case 's':
                    if (const auto value = decoder.readString()) {
                        arguments.emplace_back(*value);
                        if (debugIncomingOsc()) log("    string: \"" + std::string(*value) + "\"");
                    } else {
                        kind = "string";
                    }
                    break;
                case 'b':
                    if (const auto value = decoder.readBlob()) {
                        arguments.emplace_back(OscBlob{{value->begin(), value->end()}});
                        if (debugIncomingOsc()) log("    blob: " + OscArgument::hexText(*value));
                    } else {
                        kind = "blob";
                    }
                    break;
                default: {
                    const std::string_view character = utf8Character(letters, i);
                    log("Error: Unrecognized type '" + std::string(character) +
                        "' found in type tag for OSC method " + std::string(*address));
                    return;
                }
            }
            if (kind != nullptr) {
                log("Error: Unable to parse " + std::string(kind) + " argument for OSC method " +
                    std::string(*address));
                return;
            }
        }
    }

    OscMessage message;
    message.setAddressPattern(std::string(*address));
    message.setSupportedArguments(std::move(arguments));
    message.replySocket = replySocket;
    destination->takeMessage(message);
    if (std::vector<OscArgument> used = message.takeArguments();
        used.capacity() <= kKeptArgumentCapacity) {
        storage = std::move(used);
    }
}

void OscParser::processBundleData(std::span<const std::uint8_t> data,
                                  OscPacketDestination* destination,
                                  const std::shared_ptr<OscSocket>& replySocket) {
    if (destination == nullptr) return;
    const auto outermost = openBundle(data);
    if (!outermost) return;

    // The element bytes still to walk of each open bundle, innermost last. An
    // error ends only the bundle it is found in; the enclosing one goes on.
    std::vector<std::span<const std::uint8_t>> open{*outermost};
    while (!open.empty()) {
        std::span<const std::uint8_t>& rest = open.back();
        if (rest.size() <= 4) {  // 1 to 4 trailing bytes are ignored
            open.pop_back();
            continue;
        }
        const std::uint32_t size = readBigEndian32(rest);
        if (size > rest.size() - 4) {
            log("Error: A message in the OSC bundle claimed to be larger than the bundle itself.");
            open.pop_back();
            continue;
        }
        const std::span<const std::uint8_t> element = rest.subspan(4, size);
        rest = rest.subspan(4 + size);
        if (!element.empty() && element[0] == '#') {
            if (const auto inner = openBundle(element)) open.push_back(*inner);
        } else if (!element.empty() && element[0] == '/') {
            processMessageData(element, destination, replySocket);
        } else {
            log("Error: Bundle contained unrecognized OSC message of length " +
                std::to_string(size) + ".");
            open.pop_back();
        }
    }
}

void OscParser::translateSlipData(std::span<const std::uint8_t> chunk,
                                  std::vector<std::uint8_t>& buffer, OscStreamState& state,
                                  OscPacketDestination* destination) {
    if (!state.socket) {
        log("Error: OscParser can not translate SLIP data without a socket.");
        return;
    }
    const auto append = [&](std::uint8_t byte) {
        if (state.discardingOversizedPacket) return;
        if (buffer.size() >= kMaxStreamPacketBytes) {
            log("Error: OSC packet on a TCP stream exceeds " +
                std::to_string(kMaxStreamPacketBytes) + " bytes; dropping it.");
            buffer.clear();
            state.discardingOversizedPacket = true;
            return;
        }
        buffer.push_back(byte);
    };
    const auto unescape = [](std::uint8_t byte) -> std::uint8_t {
        if (byte == kSlipEscEnd) return kSlipEnd;
        if (byte == kSlipEscEsc) return kSlipEsc;
        return byte;
    };

    std::size_t i = 0;
    if (state.danglingESC && !chunk.empty()) {
        state.danglingESC = false;
        append(unescape(chunk[0]));
        i = 1;
    }
    for (; i < chunk.size(); ++i) {
        const std::uint8_t byte = chunk[i];
        if (byte == kSlipEnd) {
            if (state.discardingOversizedPacket) {
                state.discardingOversizedPacket = false;
            } else {
                deliverBuffered(buffer, 0, destination, state.socket);
            }
        } else if (byte == kSlipEsc) {
            if (i + 1 < chunk.size()) {
                append(unescape(chunk[++i]));
            } else {
                state.danglingESC = true;
            }
        } else {
            append(byte);
        }
    }
}

void OscParser::translateLengthPrefixedData(std::span<const std::uint8_t> chunk,
                                            std::vector<std::uint8_t>& buffer,
                                            OscStreamState& state,
                                            OscPacketDestination* destination) {
    if (state.failed) return;
    if (!state.socket) {
        log("Error: OscParser can not translate length-prefixed data without a socket.");
        return;
    }
    const auto refuse = [&](std::uint32_t length) {
        log("Error: OSC packet length " + std::to_string(length) + " on a TCP stream exceeds " +
            std::to_string(kMaxStreamPacketBytes) + " bytes; the stream cannot be resynchronised.");
        buffer.clear();
        state.failed = true;
    };

    std::size_t position = 0;
    while (position < chunk.size()) {
        const std::span<const std::uint8_t> rest = chunk.subspan(position);
        // Whole packets straight from the chunk, without copying.
        if (buffer.empty() && rest.size() >= 4) {
            const std::uint32_t length = readBigEndian32(rest);
            if (length > kMaxStreamPacketBytes) return refuse(length);
            if (rest.size() - 4 >= length) {
                processOscData(rest.subspan(4, length), destination, state.socket);
                position += 4 + std::size_t{length};
                continue;
            }
        }
        if (buffer.size() < 4) {
            const std::size_t take = std::min(4 - buffer.size(), rest.size());
            buffer.insert(buffer.end(), rest.begin(),
                          rest.begin() + static_cast<std::ptrdiff_t>(take));
            position += take;
            if (buffer.size() < 4) return;
        }
        const std::uint32_t length = readBigEndian32(buffer);
        if (length > kMaxStreamPacketBytes) return refuse(length);
        const std::size_t missing = 4 + std::size_t{length} - buffer.size();
        const std::size_t take = std::min(missing, chunk.size() - position);
        const auto from = chunk.begin() + static_cast<std::ptrdiff_t>(position);
        buffer.insert(buffer.end(), from, from + static_cast<std::ptrdiff_t>(take));
        position += take;
        if (take == missing) deliverBuffered(buffer, 4, destination, state.socket);
    }
}

std::vector<std::uint8_t> OscParser::slipEncode(std::span<const std::uint8_t> packet) {
    std::vector<std::uint8_t> out;
    out.reserve(packet.size() + packet.size() / 8 + 2);
    out.push_back(kSlipEnd);
    for (const std::uint8_t byte : packet) {
        if (byte == kSlipEnd) {
            out.push_back(kSlipEsc);
            out.push_back(kSlipEscEnd);
        } else if (byte == kSlipEsc) {
            out.push_back(kSlipEsc);
            out.push_back(kSlipEscEsc);
        } else {
            out.push_back(byte);
        }
    }
    out.push_back(kSlipEnd);
    return out;
}

std::function<bool()> OscParser::setDebugSource(std::function<bool()> source) {
    if (!source) source = preferenceDebugSource;
    std::swap(debugSource(), source);
    return source;
}

}  // namespace bw
