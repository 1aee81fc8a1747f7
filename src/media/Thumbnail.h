#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MediaURL.h"

namespace bw {

// A small picture: RGBA, 8 bits a channel, straight (not premultiplied)
// alpha, top row first, rows packed (stride = width * 4). A Qt interface takes
// it as QImage(rgba.data(), width, height, width * 4, QImage::Format_RGBA8888).
struct ThumbnailImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

using ThumbnailImageRef = std::shared_ptr<const ThumbnailImage>;

// The cue list's small pictures of media files, always kSize by kSize pixels:
// a movie's frame one tenth of the way in, or a still image, each upright (a
// movie by its orientation tag, a still by its EXIF orientation) and stretched
// to the square whatever its proportions. Anything that is not a readable movie
// or image (a generator, a missing file, text) gets the "missing" picture.
//
// Made thumbnails are kept by file path for the life of the cache, so each
// file is decoded once; the "missing" picture is never kept, so a file that
// appears later is picked up on the next lookup. A file changed on disk keeps
// its first thumbnail.
//
// Any thread: the main thread (cells) and the show loader (prefill) look up
// at the same time. The lock is not held while decoding, so one thread's slow
// decode does not hold up another's lookup; two threads asking for the same
// new file may both decode it, and both then get the one that was kept.
class Thumbnail {
public:
    static constexpr int kSize = 80;

    // The process's cache, created on first use and never destroyed.
    static Thumbnail& shared();

    Thumbnail() = default;
    Thumbnail(const Thumbnail&) = delete;
    Thumbnail& operator=(const Thumbnail&) = delete;

    // The thumbnail of `url`: the kept one, a newly made one, or the missing
    // picture. Never null.
    ThumbnailImageRef thumbnailForURL(const MediaURL& url);

    // Thumbnails kept, and thumbnails made (decodes that succeeded) so far.
    std::size_t cachedCount() const;
    std::size_t madeCount() const;

    // The application's "missing" picture (resources/images/missing.png), read
    // once. Its absence is a broken installation and ends the process.
    static ThumbnailImageRef missingImage();

    // Makes a thumbnail without the cache; null when the media cannot be read.
    // A movie is given up on after a few seconds without a frame.
    static ThumbnailImageRef makeMovieThumbnail(const std::string& path);
    static ThumbnailImageRef makeImageThumbnail(const std::string& path);

private:
    mutable std::mutex mutex_;
    // Guarded by mutex_.
    std::map<std::string, ThumbnailImageRef, std::less<>> cache_;
    std::size_t madeCount_ = 0;
};

}  // namespace bw
