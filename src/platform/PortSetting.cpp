#include "platform/PortSetting.h"

#include <charconv>
#include <cstdlib>
#include <iostream>
#include <string_view>

namespace bw {

std::uint16_t portSetting(const char* variable, std::uint16_t defaultPort) {
    return portSetting(variable, defaultPort, std::cerr);
}

std::uint16_t portSetting(const char* variable, std::uint16_t defaultPort, std::ostream& log) {
    const char* value = std::getenv(variable);
    if (value == nullptr || *value == '\0') return defaultPort;
    const std::string_view text(value);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port == 0 || port > 65535) {
        log << "beamwright: ignoring " << variable << "=\"" << text
            << "\": not a port number from 1 to 65535; using " << defaultPort << std::endl;
        return defaultPort;
    }
    return static_cast<std::uint16_t>(port);
}

}  // namespace bw
