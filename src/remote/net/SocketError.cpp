#include "remote/net/SocketError.h"

#include <string.h>

#include <utility>

namespace bw {

SocketError SocketError::posix(int errorNumber, std::string reason) {
    // The GNU strerror_r: returns the text, which may or may not live in `buffer`.
    char buffer[256];
    const char* text = ::strerror_r(errorNumber, buffer, sizeof buffer);
    return SocketError{std::string(kPosixErrorDomain), errorNumber, text, std::move(reason)};
}

SocketError SocketError::make(std::string_view domain, SocketErrorCode code,
                              std::string description, std::string reason) {
    return SocketError{std::string(domain), static_cast<int>(code), std::move(description),
                       std::move(reason)};
}

std::string SocketError::fullDescription() const {
    std::string line =
        "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + description + "\"";
    if (!reason.empty()) {
        line += " (" + reason + ")";
    }
    return line;
}

}  // namespace bw
