#pragma once

#include <iosfwd>
#include <string>

namespace bw {

// The operator's pre-show check of a show file: decodes it as a load would and
// prints every output, cue and output state, marking media that is missing.
//
// Exit codes: 0 a show, 1 not a show (or unreadable), 2 a show whose outputs
// or cues do not decode; for 1 and 2 the reason goes to `err`.
// Any thread.
class ShowCheck {
public:
    static constexpr int kShowOK = 0;
    static constexpr int kNotAShow = 1;
    static constexpr int kShowFailed = 2;

    static int run(const std::string& showPath, std::ostream& out, std::ostream& err);
};

}  // namespace bw
