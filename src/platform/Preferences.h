#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace bw {

// The user's preferences: an INI file with every key in the group "General",
// by default $XDG_CONFIG_HOME/beamwright/beamwright.conf.
//
// Any thread. Reads come from a copy in memory (a lock and a lookup, well
// under a microsecond; the OSC parser asks for every message). At most once
// per recheck interval a read looks at the file's identity, size and times
// and reads it again when they changed, so an edit made while the program
// runs takes effect within the interval. A file changed in the last second
// is read again at every check, since a same-size edit within one tick of
// the file system's clock leaves its stamp alone. (A file monitor would need
// a main loop to deliver its events, which not every caller runs.)
//
// A missing file, a missing key or a value that does not parse reads as
// std::nullopt. Setters rewrite the file atomically (temporary file, then
// rename), creating its folder, and are seen by the next read; they return
// false, and log why, when that fails.
class Preferences {
public:
    static constexpr std::string_view kInterfaceStyle = "InterfaceStyle";
    static constexpr std::string_view kDebugIncomingOSC = "debugIncomingOSC";

    static constexpr std::chrono::milliseconds kDefaultRecheckInterval{100};

    // `recheckInterval` 0 looks at the file at every read.
    explicit Preferences(std::filesystem::path file,
                         std::chrono::nanoseconds recheckInterval = kDefaultRecheckInterval);
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
    // One key's value as both readers see it.
    struct Value {
        std::optional<std::string> text;
        std::optional<bool> flag;
    };
    // What says that the file changed: identity, size and times.
    struct Stamp {
        bool exists = false;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t size = 0;
        std::int64_t modifiedNs = 0;
        std::int64_t changedNs = 0;
        bool operator==(const Stamp&) const = default;
    };

    // The value of `key` after bringing the copy up to date; null when absent.
    template <typename Result>
    Result read(std::string_view key, Result Value::*field) const;
    // Under mutex_.
    void refresh() const;

    const std::filesystem::path file_;
    const std::chrono::nanoseconds recheckInterval_;

    // Serialises the read-modify-write of the setters within this process;
    // taken before mutex_, never after it.
    std::mutex writeMutex_;

    mutable std::mutex mutex_;
    // Guarded by mutex_: the copy, the stamp it was read under, whether it
    // must be read again at the next check regardless of the stamp, and
    // when the next check is due (a copy never read is due at once).
    mutable std::map<std::string, Value, std::less<>> values_;
    mutable Stamp stamp_;
    mutable bool loaded_ = false;
    mutable bool racy_ = false;
    mutable std::chrono::steady_clock::time_point nextCheck_;
};

}  // namespace bw
