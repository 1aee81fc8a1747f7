#pragma once

#include <string>

namespace bw::test {

// Makes every GLib-log message of level WARNING or worse (GLib's own,
// GStreamer's g_return_if_fail CRITICALs, anything logged through g_log or
// g_log_structured) fail the running test, unless an ExpectedGLibLog in
// scope accepts it. GStreamer's own debug log (GST_WARNING) is not GLib's
// log and is not watched. The messages are printed as usual.
//
// Installed once, by the test entry point, before anything logs.
void installGLibLogGuard();

// While alive, accepts the messages of `domain` whose text contains
// `fragment` instead of failing the test, and counts them. Any thread.
class ExpectedGLibLog {
public:
    ExpectedGLibLog(std::string domain, std::string fragment);
    ~ExpectedGLibLog();
    ExpectedGLibLog(const ExpectedGLibLog&) = delete;
    ExpectedGLibLog& operator=(const ExpectedGLibLog&) = delete;

    // Messages accepted so far.
    int count() const;

private:
    friend struct GLibLogWatch;

    std::string domain_;
    std::string fragment_;
    int count_ = 0;  // guarded by the watch's mutex
};

}  // namespace bw::test
