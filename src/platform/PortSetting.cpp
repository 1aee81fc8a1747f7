#include "platform/PortSetting.h"

#include <charconv>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

#include "platform/Preferences.h"

namespace bw {
namespace {

// The ports chosen on the command line, by option.
struct CommandLinePorts {
    std::mutex mutex;
    // Guarded by mutex.
    std::map<std::string, std::uint16_t, std::less<>> ports;
    std::string webAddress;

    static CommandLinePorts& shared() {
        static CommandLinePorts* const instance = new CommandLinePorts;
        return *instance;
    }
};

}  // namespace

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || port == 0 ||
        port > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

void setCommandLinePort(const PortSource& source, std::uint16_t port) {
    CommandLinePorts& chosen = CommandLinePorts::shared();
    std::lock_guard lock(chosen.mutex);
    chosen.ports[std::string(source.option)] = port;
}

void setCommandLineWebAddress(std::string address) {
    CommandLinePorts& chosen = CommandLinePorts::shared();
    std::lock_guard lock(chosen.mutex);
    chosen.webAddress = std::move(address);
}

std::string webAddressSetting() {
    CommandLinePorts& chosen = CommandLinePorts::shared();
    std::lock_guard lock(chosen.mutex);
    return chosen.webAddress;
}

std::uint16_t portSetting(const PortSource& source, std::uint16_t defaultPort) {
    return portSetting(source, defaultPort, Preferences::shared(), std::cerr);
}

std::uint16_t portSetting(const PortSource& source, std::uint16_t defaultPort,
                          const Preferences& preferences, std::ostream& log) {
    {
        CommandLinePorts& chosen = CommandLinePorts::shared();
        std::lock_guard lock(chosen.mutex);
        if (const auto it = chosen.ports.find(source.option); it != chosen.ports.end()) {
            return it->second;
        }
    }
    if (const char* value = std::getenv(source.variable); value != nullptr && *value != '\0') {
        if (const std::optional<std::uint16_t> port = parsePort(value)) return *port;
        log << "beamwright: ignoring " << source.variable << "=\"" << value
            << "\": not a port number from 1 to 65535" << std::endl;
    }
    if (const std::optional<std::string> value = preferences.stringValue(source.preferenceKey)) {
        // A hand-edited file may leave spaces around the number.
        std::string_view text(*value);
        const auto first = text.find_first_not_of(" \t");
        text = first == std::string_view::npos ? std::string_view() : text.substr(first);
        text = text.substr(0, text.find_last_not_of(" \t") + 1);
        if (const std::optional<std::uint16_t> port = parsePort(text)) return *port;
        log << "beamwright: ignoring the preference " << source.preferenceKey << "=\"" << *value
            << "\" in " << preferences.path().string() << ": not a port number from 1 to 65535"
            << std::endl;
    }
    return defaultPort;
}

}  // namespace bw
