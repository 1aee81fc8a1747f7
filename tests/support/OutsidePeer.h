#pragma once

// Tests that talk to an outside program (oscsend, node with osc.js, the
// pipewire daemon, gst-launch-1.0 with pipewiresrc) end this way when it is
// missing: a skip on a developer's machine, a failure under CI=true, where
// every peer is installed and a skip would let the test pass without running.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace bw::test {

inline bool outsidePeersRequired() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string_view(ci) == "true";
}

inline ::testing::TestPartResult::Type missingPeerOutcome() {
    return outsidePeersRequired() ? ::testing::TestPartResult::kFatalFailure
                                  : ::testing::TestPartResult::kSkip;
}

}  // namespace bw::test

// Ends the current test, or its SetUp, with the reason streamed after it:
//   if (!haveProgram("oscsend")) BW_OUTSIDE_PEER_MISSING() << "oscsend is not installed";
// It expands to the same return statement as GTEST_SKIP(), with the outcome
// chosen at run time.
#define BW_OUTSIDE_PEER_MISSING()                                                        \
    return GTEST_MESSAGE_("outside peer missing (a failure under CI=true, a skip here)", \
                          ::bw::test::missingPeerOutcome())
