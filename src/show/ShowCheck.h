#pragma once

#include <iosfwd>
#include <string>

namespace bw {

// The operator's pre-show check of a show file: decodes it as a load would and
// prints every output, cue and output state, marking media that is missing
// and media that is there but would not play, opened the way playback opens
// it (MediaProbe): a file that cannot be opened for reading, an empty one, a
// still without an image loader for its format or that does not decode, a
// movie without a video stream (sound only) or without a decoder for its
// video, or a file that is neither a movie nor a picture. Such a state's line
// ends "(unreadable)" and is followed by "    unreadable: REASON"; the error
// report names each such file once with its reason.
//
// Exit codes, for scripts run before a show: 0 a show with all its media, 1
// not a show (or unreadable), 2 a show whose outputs or cues do not decode,
// 3 a show with media missing or unreadable (any of the reasons above), 4 a
// show with all its media whose chosen sound output the sound server does
// not have (or no sound server answers); for 1 and 2 the reason goes to
// `err`, for 3 each file's reason and the count, for 4 the output's. A show
// that plays to the system default is not asked about the sound server: a
// machine without sound still checks its shows.
// Movies are opened one after another, each given up on after
// MediaProbe::kMovieTimeout, so a show of many movies takes a while.
// Any thread.
class ShowCheck {
public:
    static constexpr int kShowOK = 0;
    static constexpr int kNotAShow = 1;
    static constexpr int kShowFailed = 2;
    static constexpr int kMediaMissing = 3;
    static constexpr int kSoundOutputMissing = 4;

    static int run(const std::string& showPath, std::ostream& out, std::ostream& err);
};

}  // namespace bw
