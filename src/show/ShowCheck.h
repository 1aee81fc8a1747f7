#pragma once

#include <iosfwd>
#include <string>

namespace bw {

// The operator's pre-show check of a show file: decodes it as a load would and
// prints every output, cue and output state, marking media that is missing
// and media that is there but cannot be played: a file that cannot be opened
// for reading, or one that is neither a movie nor a picture.
//
// Exit codes, for scripts run before a show: 0 a show with all its media, 1
// not a show (or unreadable), 2 a show whose outputs or cues do not decode,
// 3 a show with media missing or unreadable; for 1 and 2 the reason goes to
// `err`, for 3 the count.
// Any thread.
class ShowCheck {
public:
    static constexpr int kShowOK = 0;
    static constexpr int kNotAShow = 1;
    static constexpr int kShowFailed = 2;
    static constexpr int kMediaMissing = 3;

    static int run(const std::string& showPath, std::ostream& out, std::ostream& err);
};

}  // namespace bw
