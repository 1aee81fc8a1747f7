#include "render/GlGarbage.h"

#include <epoxy/egl.h>

#include <utility>

namespace bw {

std::mutex& GlGarbage::mutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::vector<GlGarbage::Deletion>& GlGarbage::pending() {
    static auto* entries = new std::vector<Deletion>;
    return *entries;
}

bool GlGarbage::canDeleteHere() {
    return eglGetCurrentContext() != EGL_NO_CONTEXT;
}

void GlGarbage::defer(Deletion deletion) {
    std::lock_guard lock(mutex());
    pending().push_back(std::move(deletion));
}

void GlGarbage::collect() {
    std::vector<Deletion> entries;
    {
        std::lock_guard lock(mutex());
        if (pending().empty()) {
            return;
        }
        entries = std::move(pending());
        pending().clear();
    }
    for (const Deletion& deletion : entries) {
        deletion();
    }
}

std::size_t GlGarbage::pendingCount() {
    std::lock_guard lock(mutex());
    return pending().size();
}

}  // namespace bw
