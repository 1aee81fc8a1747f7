#include "show/ShowCheck.h"

#include <ostream>

#include "platform/Utf8.h"
#include "show/NumberText.h"
#include "show/ShowFile.h"

namespace bw {

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
                }
            } else {
                out << state.mediaURL.absoluteString();
            }
            out << " muted=" << state.muted << " looped=" << state.looped
                << " kenBurns=" << state.kenBurns << "\n";
        }
    }
    out << show.cues.size() << " cues, " << show.outputs.size() << " outputs, " << missing
        << " missing media\n";
    return kShowOK;
}

}  // namespace bw
