#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "show/Cue.h"
#include "show/ScreenChoice.h"
#include "show/StreamChoice.h"

namespace bw {

// One output as a show file stores it.
struct OutputConfig {
    std::string name;
    int width = 0;
    int height = 0;
    // The screen its window goes to; none when the operator chose none.
    std::optional<ScreenChoice> screen{};
    // The network stream it sends; none when the operator chose none.
    std::optional<StreamChoice> stream{};

    friend bool operator==(const OutputConfig&, const OutputConfig&) = default;
};

// Settings of the show as a whole. Each is stored only when it is not its
// default, and reads as its default when absent or not understood.
struct ShowSettings {
    // What GO does after the last cue: back to the first ("wrap"), or
    // nothing ("stop": the end of the show).
    enum class AtEnd { Wrap, Stop };
    AtEnd atEnd = AtEnd::Wrap;
    // How long a Panic's fade to black lasts, in seconds (0 to 60).
    double panicSeconds = 1.0;
    // The placement media get when the operator puts them on an output.
    PictureFit defaultFit = PictureFit::Fit;
    // What fitted pictures leave around them on every output.
    PictureBars bars = PictureBars::Transparent;
    // The sound server's output (sink) movies play their sound through, by
    // the server's name for it; empty: the system default. Unlike the other
    // settings, one that does not read fails the show.
    std::string soundOutput{};
    friend bool operator==(const ShowSettings&, const ShowSettings&) = default;
};

// The outcome of decoding a show file.
struct DecodedShow {
    enum class Status {
        NotAShow,  // unreadable, not JSON, or no "config"/"cues" arrays of objects
        Failed,    // a show whose outputs or cues do not decode; nothing to install
        Decoded,
    };
    Status status = Status::NotAShow;
    std::vector<OutputConfig> outputs;  // file order
    std::vector<Cue> cues;              // file order, unsorted; one state per output
    ShowSettings settings;
    // Where the file was saved from (its "show" member), if it says.
    std::optional<std::string> savedLocation;
    // For NotAShow and Failed: what is wrong and where, for an operator.
    std::string failure;
};

// The bytes of a show file, or why there are none.
struct ShowFileBytes {
    enum class Status {
        Read,
        Unreadable,  // missing, not a regular file, or a read that failed
        TooLarge,    // over ShowFile::kMaxFileSize; nothing was read
    };
    Status status = Status::Unreadable;
    std::string bytes;  // the whole file, when Read
};

struct EncodedShow {
    bool ok = false;
    std::string json;     // compact JSON, when ok
    std::string failure;  // what could not be written, when not ok
};

// The show file format: one compact JSON document with the outputs ("config"),
// the cues ("cues") and the file's own location when saved ("show"). Media are
// stored as paths relative to the show file, so a show folder can move with
// its media. Pure functions; any thread.
class ShowFile {
public:
    // The largest show file read: a show of 20,000 cues is about 15 MB, so
    // anything near this is no show, and reading it could exhaust memory.
    static constexpr std::uintmax_t kMaxFileSize = std::uintmax_t{256} << 20;
    // The longest Panic fade a show may set.
    static constexpr double kMaxPanicSeconds = 60.0;

    // `showPath`: the absolute path the file is being written to.
    // Fails for numbers JSON cannot hold (a non-finite cue ID or fade length)
    // and for text that is not valid UTF-8, rather than write a file that
    // would not read back as it was.
    static EncodedShow encode(const std::vector<OutputConfig>& outputs,
                              const std::vector<Cue>& cues, const std::string& showPath,
                              const ShowSettings& settings = {});

    // `showPath`: the absolute path the bytes were read from. Media are found
    // relative to it first, then relative to the location the file was saved
    // at; a file found at neither is kept as it resolves against `showPath`.
    // Cue states are padded with default states, or trimmed, to the number of
    // outputs. An output's screen choice that does not read is dropped, not
    // failed: the output has no choice.
    static DecodedShow decode(std::string_view bytes, const std::string& showPath);

    // Reads a whole regular file of at most kMaxFileSize bytes. A larger file
    // is refused before any of it is read.
    static ShowFileBytes readFile(const std::string& path);

    // The absolute path of show file `path` as the system finds it: its folder
    // resolved through the file system (symbolic links and ".." followed, so
    // "linkdir/../show.bwshow" names the file `cat` would open) and the file
    // name kept as given, so a link to a show file stays the link, and its
    // media are found beside it. Where the folder does not exist, `path` made
    // absolute against the working folder, with nothing folded.
    static std::string absoluteShowPath(const std::string& path);

    // The path of media file `mediaPath` relative to the folder of show file
    // `showPath` (both absolute), e.g. "media/loop.mov" or "../Movies/a.mov".
    static std::string relativePath(const std::string& showPath, const std::string& mediaPath);

    // `path` resolved against the folder of show file `showPath`; an absolute
    // `path` stands for itself.
    static std::string resolvePath(const std::string& path, const std::string& showPath);

    // Whether a media file (anything but a folder) is at `path`.
    static bool mediaFileExists(const std::string& path);
};

}  // namespace bw
