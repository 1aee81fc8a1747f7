#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bw {

// What an output shows in a cue: a file (movie or still image), or one of the
// three generated pictures. A value type; any thread.
//
// Generators have the absolute strings "black://", "clear://" and "grid://"
// and no path. A file URL holds an absolute file-system path as raw bytes (a
// Linux file name need not be UTF-8); its absolute string is "file://" plus
// the percent-encoded path.
class MediaURL {
public:
    enum class Generator { Black, Clear, Grid };

    // "black://".
    MediaURL() = default;

    static MediaURL generator(Generator kind);
    // `path` is made absolute against the working folder if it is not, and
    // its "." and empty components are dropped. ".." is never folded as
    // text: the folder up to the last ".." is resolved through the file
    // system (links followed, as an open would), and the path is kept as
    // written where that folder does not exist.
    static MediaURL fileURL(std::string_view path);
    // Parses "black://", "clear://", "grid://" (exactly) and "file://" URLs
    // with an absolute, percent-encoded path. Anything else: nothing.
    static std::optional<MediaURL> fromString(std::string_view text);
    // The generator named exactly by `text`, if any.
    static std::optional<Generator> generatorNamed(std::string_view text);

    bool isFileURL() const { return !generator_.has_value(); }
    std::optional<Generator> generatorKind() const { return generator_; }

    std::string absoluteString() const;
    // The file path; "" for a generator.
    const std::string& path() const { return path_; }
    // The file name; "" for a generator.
    std::string lastPathComponent() const;

    friend bool operator==(const MediaURL&, const MediaURL&) = default;

private:
    std::optional<Generator> generator_ = Generator::Black;
    std::string path_;
};

}  // namespace bw
