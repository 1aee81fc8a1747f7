#include "show/ShowCheck.h"

#include <fcntl.h>
#include <unistd.h>

#include <ostream>

#include "platform/FileTypes.h"
#include "platform/Utf8.h"
#include "show/NumberText.h"
#include "show/ShowFile.h"

namespace bw {
namespace {

// Whether a present media file can be played: it opens for reading and is
// a movie or a picture.
bool mediaReadable(const MediaURL& url) {
    const int fd = ::open(url.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return FileTypes::kindOf(url) != MediaKind::None;
}

}  // namespace

int ShowCheck::run(const std::string& showPath, std::ostream& out, std::ostream& err) {
    const std::string absolutePath = ShowFile::absoluteShowPath(showPath);
    const ShowFileBytes file = ShowFile::readFile(absolutePath);
    switch (file.status) {
        case ShowFileBytes::Status::Unreadable:
            err << absolutePath << ": cannot be read\n";
            return kNotAShow;
        case ShowFileBytes::Status::TooLarge:
            err << absolutePath << ": not a show: too large\n";
            return kNotAShow;
        case ShowFileBytes::Status::Read:
            break;
    }
    DecodedShow show = ShowFile::decode(file.bytes, absolutePath);
    if (show.status == DecodedShow::Status::NotAShow) {
        err << absolutePath << ": not a show: " << show.failure << "\n";
        return kNotAShow;
    }
    if (show.status == DecodedShow::Status::Failed) {
        err << absolutePath << ": the show does not load: " << show.failure << "\n";
        return kShowFailed;
    }

    for (std::size_t j = 0; j < show.outputs.size(); ++j) {
        const OutputConfig& output = show.outputs[j];
        out << "output " << j << " " << jsonQuoted(output.name) << " " << output.width << "x"
            << output.height << "\n";
    }
    std::size_t missing = 0;
    std::size_t unreadable = 0;
    for (const Cue& cue : show.cues) {
        out << "cue " << formatCueNumber(cue.id) << " fade " << formatCueNumber(cue.fadeLength)
            << " " << jsonQuoted(cue.description) << "\n";
        for (std::size_t j = 0; j < cue.outputStates.size(); ++j) {
            const MediaOutputState& state = cue.outputStates[j];
            out << "  state " << j << " ";
            if (state.mediaURL.isFileURL()) {
                out << state.mediaURL.path();
                if (!ShowFile::mediaFileExists(state.mediaURL.path())) {
                    out << " (missing)";
                    ++missing;
                } else if (!mediaReadable(state.mediaURL)) {
                    out << " (unreadable)";
                    ++unreadable;
                }
            } else {
                out << state.mediaURL.absoluteString();
            }
            out << " muted=" << state.muted << " looped=" << state.looped
                << " kenBurns=" << state.kenBurns << "\n";
        }
    }
    out << show.cues.size() << " cues, " << show.outputs.size() << " outputs, " << missing
        << " missing media";
    if (unreadable > 0) out << ", " << unreadable << " unreadable media";
    out << "\n";
    if (missing + unreadable == 0) return kShowOK;
    err << absolutePath << ": " << missing << " media missing, " << unreadable << " unreadable\n";
    return kMediaMissing;
}

}  // namespace bw
