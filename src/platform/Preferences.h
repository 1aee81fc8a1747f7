#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace bw {

// The user's preferences: an INI file with every key in the group "General",
// by default $XDG_CONFIG_HOME/beamwright/beamwright.conf.
//
// Any thread. Every read goes to the file again, so edits made while the
// program runs are seen at the next read. A missing file, a missing key or a
// value that does not parse reads as std::nullopt. Setters rewrite the file
// atomically (temporary file, then rename), creating its folder; they return
// false, and log why, when that fails.
class Preferences {
public:
    static constexpr std::string_view kInterfaceStyle = "InterfaceStyle";
    static constexpr std::string_view kDebugIncomingOSC = "debugIncomingOSC";

    explicit Preferences(std::filesystem::path file);
    Preferences(const Preferences&) = delete;
    Preferences& operator=(const Preferences&) = delete;

    // The process's preferences at defaultPath(), created on first use.
    static Preferences& shared();
    // $XDG_CONFIG_HOME/beamwright/beamwright.conf, with $HOME/.config standing
    // in for an unset or empty XDG_CONFIG_HOME. Reads the environment each call.
    static std::filesystem::path defaultPath();

    const std::filesystem::path& path() const { return file_; }

    std::optional<std::string> stringValue(std::string_view key) const;
    // "true", "false", "1" or "0"; anything else reads as absent.
    std::optional<bool> boolValue(std::string_view key) const;

    bool setString(std::string_view key, std::string_view value);
    bool setBool(std::string_view key, bool value);

private:
    const std::filesystem::path file_;

    // Serialises the read-modify-write of the setters within this process.
    std::mutex writeMutex_;
};

}  // namespace bw
