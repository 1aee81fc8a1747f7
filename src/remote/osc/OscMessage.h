#pragma once

#include <any>
#include <string>
#include <vector>

#include "remote/osc/OscArgument.h"
#include "remote/osc/OscPacket.h"
#include "remote/osc/OscValue.h"

namespace bw {

// An OSC message: an address pattern and a list of arguments, with the type
// tag string kept in step with the arguments.
//
// A plain value: one thread at a time. Accessors return references into the
// message, valid until it changes or dies.
class OscMessage : public OscPacket {
public:
    // Address "/", type tags ",", no arguments.
    OscMessage();
    // As setAddressPattern(addressPattern) and setArguments(arguments).
    explicit OscMessage(std::string addressPattern, std::vector<OscValue> arguments = {});

    const std::string& addressPattern() const { return addressPattern_; }
    // Takes only a non-empty pattern whose first character is '/'; any other
    // value is ignored and the previous pattern stays.
    void setAddressPattern(std::string addressPattern);

    // "," and one type letter per argument; rebuilt by every setArguments.
    const std::string& typeTagString() const { return typeTagString_; }
    const std::vector<OscArgument>& arguments() const { return arguments_; }

    // Keeps, in order, every value of a kind an OscArgument carries. A number
    // of another kind is dropped with the line
    // "Number with unrecognized type: <code> (value = <text>)."; a value that
    // holds nothing is dropped silently.
    void setArguments(std::vector<OscValue> values);
    // The same for values that are all of carried kinds (nothing is dropped).
    void setSupportedArguments(std::vector<OscArgument> arguments);
    // Moves the arguments out, leaving none (type tags ","), so their storage
    // can be reused.
    std::vector<OscArgument> takeArguments();

    // The address split at every '/', without the empty text before the
    // leading one: "/a/b" gives {"a", "b"}, "/" gives {""}.
    std::vector<std::string> addressParts() const;

    // Address, type tags, then each argument: string, blob (exact size field),
    // int32 or float32. Every kept argument is of a kind the encoder knows, so
    // nothing is ever skipped here.
    std::vector<std::uint8_t> packetData() const override;
    // The address, then " " and the text form of each argument.
    std::string description() const override;

    // Same address pattern and element-wise equal arguments (OscArgument's
    // equality); the reply socket and user data do not count.
    friend bool operator==(const OscMessage& a, const OscMessage& b);

    // Anything the user of the message attaches; never encoded.
    std::any userData;

private:
    std::string addressPattern_ = "/";
    std::string typeTagString_ = ",";
    std::vector<OscArgument> arguments_;
};

}  // namespace bw
