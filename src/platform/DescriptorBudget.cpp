#include "platform/DescriptorBudget.h"

#include <dirent.h>
#include <sys/resource.h>

#include <cerrno>

namespace bw {

std::optional<DescriptorBudget::Count> DescriptorBudget::count() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::nullopt;
    }
    Count result;
    result.limit = static_cast<std::size_t>(limit.rlim_cur);
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        if (errno == EMFILE || errno == ENFILE) {
            result.open = result.limit;
            return result;
        }
        return std::nullopt;
    }
    std::size_t entries = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.') ++entries;
    }
    ::closedir(folder);
    // The listing's own descriptor was among those listed.
    result.open = entries > 0 ? entries - 1 : 0;
    return result;
}

std::optional<std::string> DescriptorBudget::shortage(std::size_t needed, std::size_t reserve) {
    const std::optional<Count> now = count();
    if (!now || now->left() >= needed + reserve) return std::nullopt;
    return "too few file descriptors left: " + std::to_string(now->open) + " of " +
           std::to_string(now->limit) + " in use";
}

}  // namespace bw
