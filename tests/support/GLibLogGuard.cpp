#include "support/GLibLogGuard.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

namespace bw::test {

// The expectations in scope, shared by the log writer on every thread.
struct GLibLogWatch {
    std::mutex mutex;
    std::vector<ExpectedGLibLog*> expected;  // guarded by mutex

    static GLibLogWatch& shared() {
        static GLibLogWatch* const watch = new GLibLogWatch();
        return *watch;
    }

    // True when an expectation accepts the message (and counts it).
    bool accepts(std::string_view domain, std::string_view message) {
        std::lock_guard lock(mutex);
        for (ExpectedGLibLog* expectation : expected) {
            if (expectation->domain_ == domain &&
                message.find(expectation->fragment_) != std::string_view::npos) {
                ++expectation->count_;
                return true;
            }
        }
        return false;
    }
};

namespace {

std::string_view field(const GLogField* fields, gsize count, std::string_view key) {
    for (gsize i = 0; i < count; ++i) {
        if (key == fields[i].key && fields[i].value != nullptr) {
            return fields[i].length < 0
                       ? std::string_view(static_cast<const char*>(fields[i].value))
                       : std::string_view(static_cast<const char*>(fields[i].value),
                                          static_cast<std::size_t>(fields[i].length));
        }
    }
    return {};
}

GLogWriterOutput writeLog(GLogLevelFlags level, const GLogField* fields, gsize count,
                          gpointer data) {
    const GLogLevelFlags watched =
        static_cast<GLogLevelFlags>(G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING);
    if ((level & watched) != 0) {
        const std::string_view domain = field(fields, count, "GLIB_DOMAIN");
        const std::string_view message = field(fields, count, "MESSAGE");
        if (!GLibLogWatch::shared().accepts(domain, message)) {
            ADD_FAILURE() << "unexpected GLib log message: " << (domain.empty() ? "?" : domain)
                          << ": " << message;
        }
    }
    return g_log_writer_default(level, fields, count, data);
}

}  // namespace

void installGLibLogGuard() {
    g_log_set_writer_func(writeLog, nullptr, nullptr);
}

ExpectedGLibLog::ExpectedGLibLog(std::string domain, std::string fragment)
    : domain_(std::move(domain)), fragment_(std::move(fragment)) {
    GLibLogWatch& watch = GLibLogWatch::shared();
    std::lock_guard lock(watch.mutex);
    watch.expected.push_back(this);
}

ExpectedGLibLog::~ExpectedGLibLog() {
    GLibLogWatch& watch = GLibLogWatch::shared();
    std::lock_guard lock(watch.mutex);
    watch.expected.erase(std::find(watch.expected.begin(), watch.expected.end(), this));
}

int ExpectedGLibLog::count() const {
    std::lock_guard lock(GLibLogWatch::shared().mutex);
    return count_;
}

}  // namespace bw::test
