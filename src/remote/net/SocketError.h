#pragma once

#include <string>
#include <string_view>

namespace bw {

// Domains of socket errors: a failed system call, or misuse of a socket.
inline constexpr std::string_view kPosixErrorDomain = "POSIX";
inline constexpr std::string_view kAsyncUdpSocketErrorDomain = "AsyncUdpSocketErrorDomain";
inline constexpr std::string_view kAsyncSocketErrorDomain = "AsyncSocketErrorDomain";

// Codes of the two socket domains (the POSIX domain carries errno).
enum class SocketErrorCode : int {
    badConfig = 1,      // the operation does not fit the socket's state
    badParam = 2,       // an argument is unusable (an empty host)
    resolveFailed = 3,  // the host did not resolve; the text is the resolver's
    timeout = 4,        // a send, read or write ran past its timeout
    closed = 5,         // the socket closed before the operation could finish
};

// What went wrong in a socket operation. A value; any thread.
struct SocketError {
    std::string domain;       // one of the domains above
    int code = 0;             // errno for kPosixErrorDomain
    std::string description;  // the system's text for errno, or what was misused
    std::string reason;       // e.g. "Error in bind() function"; may be empty

    // Builds a POSIX error from `errorNumber` (errno) and the failing call's
    // reason, e.g. posix(EADDRINUSE, "Error in bind() function").
    static SocketError posix(int errorNumber, std::string reason);

    // Builds an error of one of the socket domains.
    static SocketError make(std::string_view domain, SocketErrorCode code, std::string description,
                            std::string reason = {});

    // One line with domain, code, text and reason, e.g.
    // `Error Domain=POSIX Code=98 "Address already in use" (Error in bind() function)`.
    std::string fullDescription() const;
};

}  // namespace bw
