#include "show/MediaScan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>

#include "platform/FileDescriptor.h"
#include "show/ShowFile.h"

namespace bw {
namespace {

enum class FileState { Present, Missing, Unreadable };

FileState fileState(const std::string& path) {
    if (!ShowFile::mediaFileExists(path)) return FileState::Missing;
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid()) return FileState::Unreadable;
    // An empty file (a copy that never finished) plays nothing either.
    struct stat info {};
    if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) {
        return FileState::Unreadable;
    }
    return FileState::Present;
}

}  // namespace

std::vector<MissingMedia> MediaScan::missingMedia(const std::vector<Cue>& cues) {
    std::vector<MissingMedia> missing;
    std::unordered_map<std::string, FileState> seen;
    for (const Cue& cue : cues) {
        for (std::size_t j = 0; j < cue.outputStates.size(); ++j) {
            const MediaURL& url = cue.outputStates[j].mediaURL;
            if (!url.isFileURL()) continue;
            auto [it, added] = seen.try_emplace(url.path(), FileState::Present);
            if (added) it->second = fileState(url.path());
            if (it->second == FileState::Present) continue;
            missing.push_back({cue.id, j, url.path(), it->second == FileState::Unreadable});
        }
    }
    return missing;
}

}  // namespace bw
