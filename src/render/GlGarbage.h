#pragma once

#include <epoxy/gl.h>

#include <functional>
#include <mutex>
#include <vector>

namespace bw {

// GL objects (names, fences) whose owners died on a thread without the context (an output
// dropped on the main thread, a scene at process exit): their names wait here
// until the render thread deletes them. Any thread may defer; collect runs on
// the render thread.
class GlGarbage {
public:
    using Deletion = std::function<void()>;

    // Whether the calling thread has a current context and may delete now.
    static bool canDeleteHere();
    // Queues `deletion`, a function of GL calls, for the render thread.
    static void defer(Deletion deletion);
    // Render thread: deletes everything queued so far.
    static void collect();
    // Names waiting, for tests.
    static std::size_t pendingCount();

private:
    static std::mutex& mutex();
    static std::vector<Deletion>& pending();
};

}  // namespace bw
