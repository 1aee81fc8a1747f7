#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
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
// a movie's frame at the key frame nearest one tenth of the way in, or a still
// image, each upright (a movie by its orientation tag, a still by its EXIF
// orientation) and stretched to the square whatever its proportions. Anything
// that is not a readable movie or image (a generator, a missing file, text)
// gets the "missing" picture.
//
// Made thumbnails are kept in memory by file path for the life of the cache,
// so each file is looked up once; a file changed on disk keeps its first
// thumbnail in memory. The "missing" picture is never kept, so a file that
// appears later is picked up on the next lookup.
//
// With a disk folder, each thumbnail made is also written there, one file
// each, named by a digest of the file's absolute path, size and modification
// time and of the thumbnail's size and format; a later cache over the same
// folder (the next run of the application) reads it instead of decoding. A
// file changed on disk has a new name there, so it is decoded anew. A file in
// the folder that is not a whole thumbnail is decoded anew and written over;
// a folder that cannot be written only costs the decodes (one log line). The
// "missing" picture is never written.
//
// Any thread: the main thread (cells) and the show loader (prefill) look up
// at the same time. The lock is not held while decoding or reading and
// writing the disk folder, so one thread's slow decode does not hold up
// another's lookup; two threads asking for the same new file may both decode
// it, and both then get the one that was kept.
class Thumbnail {
public:
    static constexpr int kSize = 80;

    // The process's cache, over the disk folder diskCacheFolder(); created on
    // first use and never destroyed.
    static Thumbnail& shared();

    // The user's thumbnail folder: beamwright/thumbnails in the XDG cache
    // folder.
    static std::filesystem::path diskCacheFolder();

    // A cache in memory only.
    Thumbnail() = default;
    // A cache that also reads and writes thumbnails in `diskCache`, created
    // (mode 0700) when the first thumbnail is written.
    explicit Thumbnail(std::filesystem::path diskCache);
    Thumbnail(const Thumbnail&) = delete;
    Thumbnail& operator=(const Thumbnail&) = delete;

    // The thumbnail of `url`: the kept one, a newly made one, or the missing
    // picture. Never null.
    ThumbnailImageRef thumbnailForURL(const MediaURL& url);

    // Thumbnails kept, thumbnails made (decodes that succeeded), and
    // thumbnails read from the disk folder so far.
    std::size_t cachedCount() const;
    std::size_t madeCount() const;
    std::size_t diskHitCount() const;

    // The application's "missing" picture (resources/images/missing.png), read
    // once. Its absence is a broken installation and ends the process.
    static ThumbnailImageRef missingImage();

    // Makes a thumbnail without the cache; null when the media cannot be read.
    // A movie's frame is decoded from the key frame nearest one tenth of the
    // way in (the first frame when its length is unknown), scaled before it is
    // converted, its sound never decoded; it is given up on after a few
    // seconds without a frame. A still is decoded at (or, for a JPEG, near)
    // the thumbnail's size.
    static ThumbnailImageRef makeMovieThumbnail(const std::string& path);
    static ThumbnailImageRef makeImageThumbnail(const std::string& path);

private:
    // The disk folder's file for `path` (which must exist); empty without a
    // disk folder or when the file cannot be read.
    std::filesystem::path diskFileFor(const std::string& path) const;
    void writeToDisk(const std::filesystem::path& file, const ThumbnailImage& image);

    const std::filesystem::path diskCache_;
    mutable std::mutex mutex_;
    // Guarded by mutex_.
    std::map<std::string, ThumbnailImageRef, std::less<>> cache_;
    std::size_t madeCount_ = 0;
    std::size_t diskHitCount_ = 0;
    bool diskWriteFailureLogged_ = false;
};

}  // namespace bw
