#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "show/Cue.h"

namespace bw {

// A media file a cue's output state names that cannot be played from: it
// does not exist, or it is there but does not open for reading or is empty.
struct MissingMedia {
    double cueID = 0.0;
    std::size_t output = 0;
    std::string path;
    // The file is there but does not open for reading, or is empty.
    bool unreadable = false;

    friend bool operator==(const MissingMedia&, const MissingMedia&) = default;
};

// Looks for the media files of a show's cues on disk. Generators
// ("black://" and the like) need no file. Each distinct path is looked at
// once per scan (a stat, an open and an fstat), so a scan costs a few microseconds a
// file; it does not sniff the content, which ShowCheck does.
//
// Any thread; it touches nothing but the file system.
class MediaScan {
public:
    // Every output state of `cues` whose file is missing or unreadable, in
    // cue order, then output order.
    static std::vector<MissingMedia> missingMedia(const std::vector<Cue>& cues);
};

}  // namespace bw
