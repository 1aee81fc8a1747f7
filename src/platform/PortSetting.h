#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace bw {

class Preferences;

// Names of the environment variables that move the fixed remote-control
// ports, so that test runs on one machine do not collide.
inline constexpr const char* kOscPortVariable = "BEAMWRIGHT_OSC_PORT";
inline constexpr const char* kCrepPortVariable = "BEAMWRIGHT_CREP_PORT";
inline constexpr const char* kWebPortVariable = "BEAMWRIGHT_WEB_PORT";

// Where one of the process's listening ports may be chosen: an option on the
// command line, an environment variable and a key of the preferences file.
struct PortSource {
    std::string_view option;
    const char* variable;
    std::string_view preferenceKey;
};
inline constexpr PortSource kOscPortSource{"--osc-port", kOscPortVariable, "OSCPort"};
inline constexpr PortSource kCrepPortSource{"--crep-port", kCrepPortVariable, "CREPPort"};
// The web remote's port; without one it is off.
inline constexpr PortSource kWebPortSource{"--web-port", kWebPortVariable, "WebRemotePort"};

// A port number written out whole in decimal, 1 to 65535; none for anything else.
std::optional<std::uint16_t> parsePort(std::string_view text);

// The command line chose `port` for `source`. Call before the listener that
// takes the port is made. Any thread.
void setCommandLinePort(const PortSource& source, std::uint16_t port);

// The port `source` says, the first of: the command line's choice, the
// environment variable, the preference, `defaultPort`. An environment or
// preference value that is not a port is passed over with one line on `log`
// (by default standard error; the process's preferences by default). Any
// thread.
std::uint16_t portSetting(const PortSource& source, std::uint16_t defaultPort);

// The address the web remote listens on, chosen on the command line
// (--web-address); empty: every interface. Any thread.
void setCommandLineWebAddress(std::string address);
std::string webAddressSetting();
std::uint16_t portSetting(const PortSource& source, std::uint16_t defaultPort,
                          const Preferences& preferences, std::ostream& log);

}  // namespace bw
