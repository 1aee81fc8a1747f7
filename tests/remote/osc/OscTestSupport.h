#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string_view>
#include <vector>

#include "remote/osc/OscMessage.h"
#include "remote/osc/OscPacketDestination.h"

namespace bw {

// Readable failures for messages in EXPECT_EQ.
inline void PrintTo(const OscMessage& message, std::ostream* out) {
    *out << "[" << message.typeTagString() << "] " << message.description();
}

namespace test {

using Bytes = std::vector<std::uint8_t>;

// The bytes of a literal; write "..."s (std::string_literals) so NULs count.
inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Keeps every message it is given, in order, with its reply socket.
class RecordingDestination : public OscPacketDestination {
public:
    void takeMessage(const OscMessage& message) override { messages.push_back(message); }

    std::vector<OscMessage> messages;
};

// A reply socket the parser can pass along; never dereferenced (OscSocket
// stays an incomplete type here), so only its identity matters.
inline std::shared_ptr<OscSocket> fakeSocket() {
    auto storage = std::make_shared<int>(0);
    return std::shared_ptr<OscSocket>(storage, reinterpret_cast<OscSocket*>(storage.get()));
}

}  // namespace test
}  // namespace bw
