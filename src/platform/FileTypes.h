#pragma once

#include <optional>
#include <string>

#include "platform/MediaURL.h"

namespace bw {

enum class MediaKind { None, Movie, Image };

// What kind of media a URL names, from the file's content type as the desktop
// sees it (its name first, its first bytes when the name says nothing).
// Any thread; every call looks at the file anew.
class FileTypes {
public:
    // The file's MIME content type; nothing for a generator URL, a missing or
    // unreadable file.
    static std::optional<std::string> contentType(const MediaURL& url);

    // Movie: a "video/*" type, or MXF. Image: an "image/*" type that the
    // image decoder can read. None: anything else, generators and missing files.
    static MediaKind kindOf(const MediaURL& url);
    static MediaKind kindOfContentType(const std::string& contentType);

    static bool isMovie(const MediaURL& url) { return kindOf(url) == MediaKind::Movie; }
    static bool isImage(const MediaURL& url) { return kindOf(url) == MediaKind::Image; }
};

}  // namespace bw
