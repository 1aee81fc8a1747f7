#include "platform/Preferences.h"

#include <glib.h>

#include <cstdlib>
#include <functional>
#include <system_error>

#include "platform/GLibHandle.h"
#include "platform/SystemLog.h"

namespace bw {

namespace {

constexpr const char* kGroup = "General";

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

Preferences::Preferences(std::filesystem::path file) : file_(std::move(file)) {}

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

std::optional<std::string> Preferences::stringValue(std::string_view key) const {
    GKeyFilePtr keyFile = loadKeyFile(file_);
    if (keyFile == nullptr) {
        return std::nullopt;
    }
    GCharPtr value(g_key_file_get_string(keyFile.get(), kGroup, std::string(key).c_str(), nullptr));
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value.get());
}

std::optional<bool> Preferences::boolValue(std::string_view key) const {
    GKeyFilePtr keyFile = loadKeyFile(file_);
    if (keyFile == nullptr) {
        return std::nullopt;
    }
    GError* rawError = nullptr;
    const gboolean value =
        g_key_file_get_boolean(keyFile.get(), kGroup, std::string(key).c_str(), &rawError);
    if (rawError != nullptr) {
        GErrorPtr error(rawError);
        return std::nullopt;
    }
    return value != FALSE;
}

bool Preferences::setString(std::string_view key, std::string_view value) {
    std::lock_guard lock(writeMutex_);
    return rewrite(file_, [&](GKeyFile* keyFile) {
        g_key_file_set_string(keyFile, kGroup, std::string(key).c_str(),
                              std::string(value).c_str());
    });
}

bool Preferences::setBool(std::string_view key, bool value) {
    std::lock_guard lock(writeMutex_);
    return rewrite(file_, [&](GKeyFile* keyFile) {
        g_key_file_set_boolean(keyFile, kGroup, std::string(key).c_str(), value ? TRUE : FALSE);
    });
}

}  // namespace bw
