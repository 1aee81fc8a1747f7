#pragma once

#include <string>
#include <string_view>

namespace bw {

// Replaces a whole file so that, whenever the process or the machine stops,
// the file at the path is either the old one or the new one, never a mixture.
//
// The bytes go to a new file in the same folder, are flushed to the disk, and
// that file is renamed over the target; the folder is flushed after. A file
// that already exists keeps its permission bits (and, where the process may,
// its owner and group); a new one gets the usual mode for new files. A path
// that is a symbolic link replaces the file the link points to, so the link
// stays. Any thread.
class AtomicFile {
public:
    // True on success. On failure nothing at `path` has changed, no temporary
    // file is left behind, and `failure` (when given) says what went wrong.
    static bool write(const std::string& path, std::string_view bytes,
                      std::string* failure = nullptr);
};

}  // namespace bw
