#pragma once

#include <QString>
#include <optional>

#include "platform/MediaURL.h"

class QMimeData;

namespace bw {

// What a drag onto an output cell carries. Files come from file managers as
// "text/uri-list"; the generator tiles offer only a private type, so that no
// other application can take them.
class MediaDrag {
public:
    static constexpr const char* kGeneratorMimeType = "application/x-beamwright-generator";
    static constexpr const char* kUriListMimeType = "text/uri-list";

    // The drag data of a generator tile.
    static QMimeData* generatorMimeData(const MediaURL& url);
    // The one media URL a drag carries: a generator tile's URL, or the first
    // entry of a URI list (comment lines skipped; a local file by its path,
    // anything else by its text as it stands). None when there is none.
    static std::optional<MediaURL> mediaURL(const QMimeData& data);
};

}  // namespace bw
