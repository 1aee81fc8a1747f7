#include "show/ShowCheck.h"

#include <algorithm>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/MediaProbe.h"
#include "platform/SoundSinks.h"
#include "platform/Utf8.h"
#include "show/NumberText.h"
#include "show/ShowFile.h"

namespace bw {
namespace {

// Why each present media file would not play, looked at once per path: a
// movie may take seconds to open.
class MediaProblems {
public:
    const std::optional<std::string>& of(const std::string& path) {
        auto [it, added] = problems_.try_emplace(path);
        if (added) it->second = MediaProbe::problem(path);
        return it->second;
    }

private:
    std::map<std::string, std::optional<std::string>> problems_;
};

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
    MediaProblems problems;
    // Each unplayable file once, in the order first met, for the error report.
    std::vector<std::pair<std::string, std::string>> reasons;
    for (const Cue& cue : show.cues) {
        out << "cue " << formatCueNumber(cue.id) << " fade " << formatCueNumber(cue.fadeLength)
            << " " << jsonQuoted(cue.description) << "\n";
        for (std::size_t j = 0; j < cue.outputStates.size(); ++j) {
            const MediaOutputState& state = cue.outputStates[j];
            out << "  state " << j << " ";
            std::optional<std::string> reason;
            if (state.mediaURL.isFileURL()) {
                out << state.mediaURL.path();
                if (!ShowFile::mediaFileExists(state.mediaURL.path())) {
                    out << " (missing)";
                    ++missing;
                } else if (const auto& problem = problems.of(state.mediaURL.path())) {
                    out << " (unreadable)";
                    ++unreadable;
                    reason = *problem;
                }
            } else {
                out << state.mediaURL.absoluteString();
            }
            out << " muted=" << state.muted << " looped=" << state.looped
                << " kenBurns=" << state.kenBurns << "\n";
            if (reason) {
                out << "    unreadable: " << *reason << "\n";
                const bool reported =
                    std::any_of(reasons.begin(), reasons.end(),
                                [&](const auto& r) { return r.first == state.mediaURL.path(); });
                if (!reported) reasons.emplace_back(state.mediaURL.path(), *reason);
            }
        }
    }
    std::optional<std::string> soundProblem;
    if (const std::string& name = show.settings.soundOutput; !name.empty()) {
        const std::optional<std::vector<SoundSink>> sinks = SoundSinks::list();
        if (!sinks) {
            soundProblem = "no sound server answered";
        } else if (!SoundSinks::contains(*sinks, name)) {
            soundProblem = "the sound server has no output by that name";
        }
        out << "sound output " << jsonQuoted(name)
            << (!soundProblem ? ""
                : sinks       ? " (missing)"
                              : " (no sound server)")
            << "\n";
    }
    out << show.cues.size() << " cues, " << show.outputs.size() << " outputs, " << missing
        << " missing media";
    if (unreadable > 0) out << ", " << unreadable << " unreadable media";
    out << "\n";
    if (soundProblem) {
        err << absolutePath << ": sound output " << jsonQuoted(show.settings.soundOutput) << ": "
            << *soundProblem << "\n";
    }
    if (missing + unreadable == 0) return soundProblem ? kSoundOutputMissing : kShowOK;
    for (const auto& [path, why] : reasons) {
        err << path << ": " << why << "\n";
    }
    err << absolutePath << ": " << missing << " media missing, " << unreadable << " unreadable\n";
    return kMediaMissing;
}

}  // namespace bw
