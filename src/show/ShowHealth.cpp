#include "show/ShowHealth.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "show/NumberText.h"

namespace bw {
namespace {

std::string milliseconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds * 1000.0);
    return text;
}

std::string plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

ShowHealth::Changes ShowHealth::update(const Sample& sample) {
    std::vector<Warning> now;
    for (std::optional<Warning> warning :
         {frameRateWarning(sample), droppedFramesWarning(sample), goLatencyWarning(sample),
          missingMediaWarning(sample), sharingWarning(sample), clockWarning(sample),
          soundWarning(sample)}) {
        if (warning) now.push_back(std::move(*warning));
    }
    Changes changes;
    const auto standsIn = [](const std::vector<Warning>& list, Kind kind) {
        return std::any_of(list.begin(), list.end(),
                           [kind](const Warning& w) { return w.kind == kind; });
    };
    for (const Warning& warning : now) {
        if (!standsIn(warnings_, warning.kind)) changes.appeared.push_back(warning);
    }
    for (const Warning& warning : warnings_) {
        if (!standsIn(now, warning.kind)) changes.cleared.push_back(warning.kind);
    }
    warnings_ = std::move(now);
    return changes;
}

const ShowHealth::Warning* ShowHealth::warning(Kind kind) const {
    for (const Warning& warning : warnings_) {
        if (warning.kind == kind) return &warning;
    }
    return nullptr;
}

const char* ShowHealth::kindName(Kind kind) {
    switch (kind) {
        case Kind::FrameRate:
            return "frame rate";
        case Kind::DroppedFrames:
            return "dropped frames";
        case Kind::GoLatency:
            return "GO latency";
        case Kind::MissingMedia:
            return "missing media";
        case Kind::Sharing:
            return "sharing";
        case Kind::Clock:
            return "clock";
        case Kind::Sound:
            return "sound";
    }
    return "";
}

std::optional<ShowHealth::Warning> ShowHealth::frameRateWarning(const Sample& sample) {
    if (sample.displayRate > 0.0 && sample.lastFrameTime &&
        sample.hostTime - *sample.lastFrameTime >= kStalledNanoseconds) {
        slowSince_.reset();
        char seconds[16];
        std::snprintf(seconds, sizeof seconds, "%.1f",
                      static_cast<double>(sample.hostTime - *sample.lastFrameTime) / 1e9);
        return Warning{Kind::FrameRate, std::string("no frames for ") + seconds + " s",
                       std::string("No frame has been rendered for ") + seconds +
                           " s: the outputs stand still on their last picture and GO does not "
                           "show. Something holds up the renderer (a stuck graphics driver or "
                           "a machine out of memory). Save the show; if it does not come back "
                           "within a few seconds, restart Beamwright."};
    }
    const bool slow = sample.displayRate > 0.0 && static_cast<double>(sample.framesPerSecond) <
                                                      kSlowRateShare * sample.displayRate;
    if (!slow) {
        slowSince_.reset();
        return std::nullopt;
    }
    if (!slowSince_) slowSince_ = sample.hostTime;
    if (sample.hostTime - *slowSince_ < kSlowRateNanoseconds) return std::nullopt;
    const std::string rate = std::to_string(sample.framesPerSecond);
    const std::string display = std::to_string(std::llround(sample.displayRate));
    return Warning{Kind::FrameRate, rate + " of " + display + " FPS",
                   "The outputs render " + rate + " frames a second, fewer than the display's " +
                       display +
                       ": movies and crossfades stutter on stage. Close other programs, or use "
                       "fewer or smaller outputs and movies. A computer that runs hot also "
                       "slows down."};
}

std::optional<ShowHealth::Warning> ShowHealth::droppedFramesWarning(const Sample& sample) {
    if (lastDropped_ && sample.framesDropped > *lastDropped_) {
        recentDrops_.emplace_back(sample.hostTime, sample.framesDropped - *lastDropped_);
    } else if (lastDropped_ && sample.framesDropped < *lastDropped_) {
        recentDrops_.clear();  // the count started afresh: a show was opened
    }
    lastDropped_ = sample.framesDropped;
    while (!recentDrops_.empty() &&
           sample.hostTime - recentDrops_.front().first >= kDropShownNanoseconds) {
        recentDrops_.pop_front();
    }
    if (recentDrops_.empty()) return std::nullopt;
    std::uint64_t recent = 0;
    for (const auto& [time, count] : recentDrops_)
        recent += count;
    const std::string total = std::to_string(sample.framesDropped);
    return Warning{Kind::DroppedFrames, total + " dropped, " + std::to_string(recent) + " in 10 s",
                   "In the last 10 seconds the outputs missed " +
                       plural(recent, "display refresh", "display refreshes") +
                       ": the audience may have seen the picture jump. " + total +
                       " is the count since the show was opened. A drop now and then does no "
                       "harm; if the count keeps rising, the computer is too busy: close other "
                       "programs, or use fewer or smaller movies."};
}

std::optional<ShowHealth::Warning> ShowHealth::goLatencyWarning(const Sample& sample) {
    if (!sample.lastGoLatency) return std::nullopt;
    const double rate = sample.displayRate > 0.0 ? sample.displayRate : kAssumedRefreshRate;
    const double limit = kSlowGoRefreshes / rate;
    if (*sample.lastGoLatency <= limit) return std::nullopt;
    const std::string latency = milliseconds(*sample.lastGoLatency);
    return Warning{Kind::GoLatency, "GO " + latency + " ms: late",
                   "The last GO took " + latency +
                       " ms to reach the outputs, more than two display refreshes (" +
                       milliseconds(limit) +
                       " ms): the cue started late. If it happens again, the computer is too "
                       "busy at GO: close other programs, or use lighter media (smaller movies, "
                       "fewer outputs). This clears at the next GO that is on time."};
}

std::optional<ShowHealth::Warning> ShowHealth::missingMediaWarning(const Sample& sample) {
    if (sample.missingMedia.empty()) return std::nullopt;
    std::set<std::string> paths;
    std::vector<double> cues;
    for (const MissingMedia& media : sample.missingMedia) {
        paths.insert(media.path);
        if (std::find(cues.begin(), cues.end(), media.cueID) == cues.end())
            cues.push_back(media.cueID);
    }
    std::string text = plural(paths.size(), "media file", "media files") + " missing";
    if (cues.size() <= 3) {
        text += cues.size() == 1 ? " (cue " : " (cues ";
        for (std::size_t k = 0; k < cues.size(); ++k)
            text += (k > 0 ? ", " : "") + formatCueNumber(cues[k]);
        text += ")";
    }
    std::string explanation =
        "These cues name media files that are not there or cannot be read; their outputs "
        "show black when the cue runs:";
    const std::size_t listed = std::min(sample.missingMedia.size(), kMediaListed);
    for (std::size_t k = 0; k < listed; ++k) {
        const MissingMedia& media = sample.missingMedia[k];
        explanation += "\ncue " + formatCueNumber(media.cueID) + ", output " +
                       std::to_string(media.output + 1) + ": " + media.path +
                       (media.unreadable ? " (cannot be read)" : " (missing)");
    }
    if (sample.missingMedia.size() > listed) {
        explanation += "\nand " + std::to_string(sample.missingMedia.size() - listed) + " more.";
    }
    explanation +=
        "\nPut the files back where the show expects them (or make them readable), or drop "
        "the media onto those cells again. This clears as soon as the files are there.";
    return Warning{Kind::MissingMedia, std::move(text), std::move(explanation)};
}

std::optional<ShowHealth::Warning> ShowHealth::sharingWarning(const Sample& sample) {
    if (!sample.sharingProblem) return std::nullopt;
    return Warning{Kind::Sharing,
                   "Outputs not shared: no PipeWire daemon (" + *sample.sharingProblem + ")",
                   "No PipeWire daemon answers, so other programs (streaming, recording, "
                   "other screens) cannot take the outputs' pictures. The outputs themselves "
                   "play on. Start PipeWire for this user (for example: systemctl --user start "
                   "pipewire); Beamwright connects again by itself."};
}

std::optional<ShowHealth::Warning> ShowHealth::soundWarning(const Sample& sample) {
    if (!sample.soundProblem && sample.missingSoundOutput) {
        const std::string& name = *sample.missingSoundOutput;
        return Warning{Kind::Sound, "No sound on \"" + name + "\": that sound output is not there",
                       "The show plays its sound through the sound output \"" + name +
                           "\", which the sound server does not have now (unplugged, "
                           "switched off, or named differently on this machine). Movies play "
                           "their sound through the system default meanwhile. Connect the "
                           "device, or choose another Sound Output in the Outputs window; the "
                           "next movie that starts takes it."};
    }
    if (!sample.soundProblem) return std::nullopt;
    return Warning{Kind::Sound, "No sound: " + *sample.soundProblem,
                   "Movies play their pictures but no sound: no sound server (PipeWire or "
                   "PulseAudio) or sound card answered. Start the sound server for this user "
                   "(for example: systemctl --user start pipewire-pulse) or connect the sound "
                   "card; the next movie that starts finds it by itself."};
}

std::optional<ShowHealth::Warning> ShowHealth::clockWarning(const Sample& sample) {
    if (!sample.clock || !sample.clock->lost) return std::nullopt;
    return Warning{Kind::Clock, sample.clock->text,
                   "This machine follows the show clock of a leading Beamwright and has had no "
                   "answer from it for a few seconds. It plays on by its own clock, so its "
                   "pictures may drift from the other machines', and GOs from the leader may "
                   "not arrive. Check the network and that the leading machine runs; the clock "
                   "locks again by itself when the leader answers."};
}

}  // namespace bw
