#include "platform/SystemLog.h"

#include <syslog.h>

#include <algorithm>
#include <utility>

namespace bw {

namespace {

// A message becomes exactly one log line.
std::string foldLineBreaks(std::string_view message) {
    std::string line(message);
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r' || c == '\0'; }, ' ');
    return line;
}

}  // namespace

SystemLog::SystemLog() {
    openlog("beamwright", LOG_PID, LOG_USER);
}

SystemLog::~SystemLog() {
    closelog();
}

SystemLog& SystemLog::shared() {
    // Never destroyed: destructors of other statics may still log at exit.
    static SystemLog* const log = new SystemLog;
    return *log;
}

void SystemLog::log(std::string_view message) {
    const std::string line = foldLineBreaks(message);
    std::lock_guard lock(mutex_);
    // The text goes in as an argument, never as the format.
    syslog(LOG_NOTICE, "%s", line.c_str());
    if (sink_) {
        sink_(line);
    }
}

SystemLog::Sink SystemLog::setSink(Sink sink) {
    std::lock_guard lock(mutex_);
    std::swap(sink_, sink);
    return sink;
}

SystemLog::ScopedCapture::ScopedCapture() {
    previous_ = SystemLog::shared().setSink([this](std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    });
}

SystemLog::ScopedCapture::~ScopedCapture() {
    SystemLog::shared().setSink(std::move(previous_));
}

std::vector<std::string> SystemLog::ScopedCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

}  // namespace bw
