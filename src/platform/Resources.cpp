#include "platform/Resources.h"

#include <cstdlib>
#include <string>
#include <system_error>

namespace bw {

std::filesystem::path Resources::directory() {
    std::error_code ignored;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", ignored);
    return directoryFor(executable, std::getenv("BEAMWRIGHT_RESOURCE_DIR"), BW_RESOURCE_DIR);
}

std::filesystem::path Resources::directoryFor(const std::filesystem::path& executable,
                                              const char* override,
                                              const std::filesystem::path& configured) {
    if (override != nullptr && *override != '\0') {
        return override;
    }
    if (!executable.empty()) {
        const std::filesystem::path installed =
            executable.parent_path().parent_path() / "share" / "beamwright";
        std::error_code ignored;
        if (std::filesystem::is_directory(installed / "shaders", ignored)) {
            return installed;
        }
    }
    return configured;
}

std::filesystem::path Resources::path(std::string_view subfolder, std::string_view name,
                                      std::string_view extension) {
    std::string fileName(name);
    fileName += '.';
    fileName += extension;
    return directory() / subfolder / fileName;
}

}  // namespace bw
