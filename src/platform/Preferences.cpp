#include "platform/Preferences.h"

#include <glib.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <system_error>

#include "platform/GLibHandle.h"
#include "platform/SystemLog.h"

namespace bw {

namespace {

constexpr const char* kGroup = "General";
// How recent a change must be for the file's stamp not to be trusted: well
// above the file system's clock tick.
constexpr std::int64_t kRacyWindowNs = 1'000'000'000;

// The file as it is now; nullptr when it is missing or does not parse.
GKeyFilePtr loadKeyFile(const std::filesystem::path& file) {
    GKeyFilePtr keyFile(g_key_file_new());
    if (!g_key_file_load_from_file(keyFile.get(), file.c_str(), G_KEY_FILE_KEEP_COMMENTS,
                                   nullptr)) {
        return nullptr;
    }
    return keyFile;
}

// Applies `edit` to the current contents (or to an empty file when there is
// none) and writes the result back atomically. A file that exists but does
// not parse is the user's to mend: it is left as it is and nothing is written.
bool rewrite(const std::filesystem::path& file, const std::function<void(GKeyFile*)>& edit) {
    GKeyFilePtr keyFile = loadKeyFile(file);
    if (keyFile == nullptr) {
        std::error_code ignored;
        if (std::filesystem::exists(file, ignored)) {
            SystemLog::shared().log("Preferences: " + file.string() +
                                    " cannot be read or does not parse; leaving it unchanged");
            return false;
        }
        keyFile.reset(g_key_file_new());
    }
    edit(keyFile.get());

    std::error_code folderError;
    std::filesystem::create_directories(file.parent_path(), folderError);
    if (folderError) {
        SystemLog::shared().log("Preferences: cannot create " + file.parent_path().string() + ": " +
                                folderError.message());
        return false;
    }
    gsize length = 0;
    GCharPtr data(g_key_file_to_data(keyFile.get(), &length, nullptr));
    GError* rawError = nullptr;
    if (!g_file_set_contents(file.c_str(), data.get(), static_cast<gssize>(length), &rawError)) {
        GErrorPtr error(rawError);
        SystemLog::shared().log("Preferences: cannot write " + file.string() + ": " +
                                error->message);
        return false;
    }
    return true;
}

}  // namespace

Preferences::Preferences(std::filesystem::path file, std::chrono::nanoseconds recheckInterval)
    : file_(std::move(file)), recheckInterval_(recheckInterval) {}

Preferences& Preferences::shared() {
    static Preferences preferences(defaultPath());
    return preferences;
}

std::filesystem::path Preferences::defaultPath() {
    std::filesystem::path configHome;
    const char* xdgConfigHome = std::getenv("XDG_CONFIG_HOME");
    if (xdgConfigHome != nullptr && *xdgConfigHome != '\0') {
        configHome = xdgConfigHome;
    } else {
        const char* home = std::getenv("HOME");
        configHome =
            std::filesystem::path(home != nullptr && *home != '\0' ? home : g_get_home_dir()) /
            ".config";
    }
    return configHome / "beamwright" / "beamwright.conf";
}

template <typename Result>
Result Preferences::read(std::string_view key, Result Value::*field) const {
    std::lock_guard lock(mutex_);
    refresh();
    const auto found = values_.find(key);
    return found == values_.end() ? Result() : found->second.*field;
}

std::optional<std::string> Preferences::stringValue(std::string_view key) const {
    return read(key, &Value::text);
}

std::optional<bool> Preferences::boolValue(std::string_view key) const {
    return read(key, &Value::flag);
}

void Preferences::refresh() const {
    // The coarse clock (a few milliseconds fine) costs a fraction of the
    // precise one, and is plenty for a check every 100 ms.
    timespec coarse{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &coarse);
    const auto now = std::chrono::steady_clock::time_point(
        std::chrono::seconds(coarse.tv_sec) + std::chrono::nanoseconds(coarse.tv_nsec));
    if (loaded_ && now < nextCheck_) return;
    nextCheck_ = now + recheckInterval_;

    Stamp stamp;
    struct stat status {};
    if (::stat(file_.c_str(), &status) == 0) {
        stamp.exists = true;
        stamp.device = status.st_dev;
        stamp.inode = status.st_ino;
        stamp.size = status.st_size;
        stamp.modifiedNs = status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec;
        stamp.changedNs = status.st_ctim.tv_sec * 1'000'000'000LL + status.st_ctim.tv_nsec;
    }
    if (loaded_ && !racy_ && stamp == stamp_) return;

    // Read under the stamp taken before: a change while reading moves it.
    values_.clear();
    if (GKeyFilePtr keyFile = stamp.exists ? loadKeyFile(file_) : nullptr) {
        gsize count = 0;
        GStrvPtr keys(g_key_file_get_keys(keyFile.get(), kGroup, &count, nullptr));
        for (gsize i = 0; i < count; ++i) {
            const char* key = keys.get()[i];
            Value value;
            if (GCharPtr text{g_key_file_get_string(keyFile.get(), kGroup, key, nullptr)}) {
                value.text = std::string(text.get());
            }
            GError* rawError = nullptr;
            const gboolean flag = g_key_file_get_boolean(keyFile.get(), kGroup, key, &rawError);
            if (rawError == nullptr) {
                value.flag = flag != FALSE;
            } else {
                GErrorPtr error(rawError);
            }
            values_.emplace(key, std::move(value));
        }
    }
    stamp_ = stamp;
    loaded_ = true;
    const std::int64_t wallNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    racy_ = stamp.exists && wallNs - std::max(stamp.modifiedNs, stamp.changedNs) < kRacyWindowNs;
}

bool Preferences::setString(std::string_view key, std::string_view value) {
    std::lock_guard lock(writeMutex_);
    const bool written = rewrite(file_, [&](GKeyFile* keyFile) {
        g_key_file_set_string(keyFile, kGroup, std::string(key).c_str(),
                              std::string(value).c_str());
    });
    std::lock_guard copyLock(mutex_);
    loaded_ = false;
    return written;
}

bool Preferences::setBool(std::string_view key, bool value) {
    std::lock_guard lock(writeMutex_);
    const bool written = rewrite(file_, [&](GKeyFile* keyFile) {
        g_key_file_set_boolean(keyFile, kGroup, std::string(key).c_str(), value ? TRUE : FALSE);
    });
    std::lock_guard copyLock(mutex_);
    loaded_ = false;
    return written;
}

}  // namespace bw
