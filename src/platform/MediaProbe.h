#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace bw {

// Opens a media file the way playback will and says what would stop it from
// showing: a still must have an image loader for its format and decode; a
// movie must have a video stream and a decoder for it (found with GStreamer's
// discoverer, given up on after kMovieTimeout, so a hostile file cannot hang
// the caller). Each reason is one short phrase for the operator:
//   "cannot be read (REASON)"            the file does not open for reading
//   "empty file (zero length)"
//   "no loader for this picture format (TYPE)"
//   "the picture does not decode (REASON)"
//   "has sound but no picture"           audio only (.wav, .m4a, an audio .mp4)
//   "no video stream"
//   "no decoder for the video codec CODEC (CAPS NAME)"
//   "the movie does not open (REASON)"
//   "the movie did not open within N s"
//   "neither a movie nor a picture (TYPE)"
//
// Any thread; every call looks at the file anew and may take up to
// kMovieTimeout for a movie. It touches no global state but GStreamer's
// initialisation, done once per process.
class MediaProbe {
public:
    static constexpr std::chrono::seconds kMovieTimeout{10};

    // Why the existing file at `path` would not play; nothing when it would.
    static std::optional<std::string> problem(const std::string& path);
};

}  // namespace bw
