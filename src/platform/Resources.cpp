#include "platform/Resources.h"

#include <cstdlib>
#include <string>

namespace bw {

std::filesystem::path Resources::directory() {
    const char* override = std::getenv("BEAMWRIGHT_RESOURCE_DIR");
    if (override != nullptr && *override != '\0') {
        return override;
    }
    return BW_RESOURCE_DIR;
}

std::filesystem::path Resources::path(std::string_view subfolder, std::string_view name,
                                      std::string_view extension) {
    std::string fileName(name);
    fileName += '.';
    fileName += extension;
    return directory() / subfolder / fileName;
}

}  // namespace bw
