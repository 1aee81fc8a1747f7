#pragma once

#include <optional>
#include <regex>
#include <string>
#include <string_view>

namespace bw {

// Matches OSC addresses against an OSC address pattern: "*" is any run of
// method-name characters, "?" exactly one, "[abc]" one listed character and
// "[!abc]" one unlisted one, "{foo,bar}" either alternative. "-" inside a
// list is a character, not a range. A value; any thread.
class OscAddressMatcher {
public:
    // The 85 characters that may appear in an OSC method name.
    static const std::string& validCharsForOSCMethod();

    // Nothing when the pattern is malformed (unbalanced "[" "]" or "{" "}",
    // or otherwise not a valid expression).
    static std::optional<OscAddressMatcher> fromPattern(std::string_view pattern);

    // Whether the whole of `address` matches.
    bool matches(std::string_view address) const;
    // The regular expression the pattern became.
    const std::string& expression() const { return expression_; }

private:
    OscAddressMatcher(std::string expression, std::regex regex)
        : expression_(std::move(expression)), regex_(std::move(regex)) {}

    std::string expression_;
    std::regex regex_;
};

}  // namespace bw
