#include "remote/osc/OscMessage.h"

#include <utility>

#include "platform/SystemLog.h"
#include "remote/osc/OscEncoder.h"

namespace bw {

OscMessage::OscMessage() = default;

OscMessage::OscMessage(std::string addressPattern, std::vector<OscValue> arguments) {
    if (addressPattern.starts_with('/')) addressPattern_ = std::move(addressPattern);
    setArguments(std::move(arguments));
}

void OscMessage::setAddressPattern(std::string addressPattern) {
    if (addressPattern.starts_with('/')) addressPattern_ = std::move(addressPattern);
}

void OscMessage::setArguments(std::vector<OscValue> values) {
    std::vector<OscArgument> kept;
    kept.reserve(values.size());
    for (OscValue& value : values) {
        if (OscArgument* argument = value.argument()) {
            kept.push_back(std::move(*argument));
        } else if (value.isUnsupportedNumber()) {
            SystemLog::shared().log(
                "Number with unrecognized type: " + std::to_string(value.unsupportedKindCode()) +
                " (value = " + value.unsupportedText() + ").");
        }
    }
    setSupportedArguments(std::move(kept));
}

void OscMessage::setSupportedArguments(std::vector<OscArgument> arguments) {
    arguments_ = std::move(arguments);
    typeTagString_.assign(1, ',');
    for (const OscArgument& argument : arguments_) {
        typeTagString_.push_back(argument.typeLetter());
    }
}

std::vector<OscArgument> OscMessage::takeArguments() {
    typeTagString_.assign(1, ',');
    return std::exchange(arguments_, {});
}

std::vector<std::string> OscMessage::addressParts() const {
    std::vector<std::string> parts;
    std::size_t start = 1;  // past the leading '/'
    while (true) {
        const std::size_t slash = addressPattern_.find('/', start);
        parts.push_back(addressPattern_.substr(start, slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

std::vector<std::uint8_t> OscMessage::packetData() const {
    std::vector<std::uint8_t> out;
    OscEncoder::appendString(out, addressPattern_);
    OscEncoder::appendString(out, typeTagString_);
    for (const OscArgument& argument : arguments_) {
        if (const std::string* text = argument.stringValue()) {
            OscEncoder::appendString(out, *text);
        } else if (const OscBlob* blob = argument.blobValue()) {
            OscEncoder::appendBlob(out, blob->bytes);
        } else if (argument.integerValue()) {
            OscEncoder::appendInt32(out, argument.int32Value());
        } else {
            OscEncoder::appendFloat32(out, argument.float32Value());
        }
    }
    return out;
}

std::string OscMessage::description() const {
    std::string text = addressPattern_;
    for (const OscArgument& argument : arguments_) {
        text.push_back(' ');
        text += argument.description();
    }
    return text;
}

bool operator==(const OscMessage& a, const OscMessage& b) {
    return a.addressPattern_ == b.addressPattern_ && a.arguments_ == b.arguments_;
}

}  // namespace bw
