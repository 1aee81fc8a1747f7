#include <gtest/gtest.h>

#include "remote/osc/OscAddressMatcher.h"

namespace bw {
namespace {

TEST(OscAddressMatcherTest, MatchesWildcardsListsAndAlternatives) {
    const struct {
        const char* pattern;
        const char* address;
        bool matches;
    } cases[] = {
        {"/cue/*", "/cue/12", true},   {"/cue/*", "/cue/", true},    {"/cue/*", "/go", false},
        {"/cue/*", "/cue/1/2", false},  // "/" is no method-name character
        {"/cue/?", "/cue/5", true},    {"/cue/?", "/cue/55", false}, {"/cue/?", "/cue/", false},
        {"/{cue,go}", "/cue", true},   {"/{cue,go}", "/go", true},   {"/{cue,go}", "/stop", false},
        {"/[abc]", "/b", true},        {"/[abc]", "/d", false},      {"/[!abc]", "/d", true},
        {"/[!abc]", "/a", false},      {"/[a-z]", "/-", true},       {"/[a-z]", "/m", false},
        {"/go", "/go", true},          {"/go", "/gone", false},      {"/a.b", "/axb", false},
        {"/a.b", "/a.b", true},        {"/x+", "/x+", true},         {"/x+", "/xx", false},
        {"/c\\d", "/c\\d", true},      {"/(a)", "/(a)", true},
    };
    for (const auto& c : cases) {
        auto matcher = OscAddressMatcher::fromPattern(c.pattern);
        ASSERT_TRUE(matcher.has_value()) << c.pattern;
        EXPECT_EQ(matcher->matches(c.address), c.matches) << c.pattern << " vs " << c.address;
    }
}

TEST(OscAddressMatcherTest, MalformedPatternsGiveNoMatcher) {
    for (const char* pattern : {"/cue[", "/cue]", "/{cue", "/cue}", "/{a,b}}{"}) {
        EXPECT_FALSE(OscAddressMatcher::fromPattern(pattern).has_value()) << pattern;
    }
}

TEST(OscAddressMatcherTest, MethodNameCharactersAreTheFixed85) {
    const std::string& valid = OscAddressMatcher::validCharsForOSCMethod();
    EXPECT_EQ(valid.size(), 85u);
    for (char excluded : std::string(" #*,/?[]{}")) {
        EXPECT_EQ(valid.find(excluded), std::string::npos) << excluded;
    }
    EXPECT_EQ(valid.front(), '"');
    EXPECT_EQ(valid.back(), '!');
}

}  // namespace
}  // namespace bw
