#pragma once

// Owning handles for the GLib main-loop objects and key files the platform
// layer uses (plain memory, errors and GObjects are in GLibPtr.h). Each is a
// move-only std::unique_ptr whose deleter releases the object the way GLib
// wants it released. Any thread, as far as the object itself allows.

#include <glib-object.h>
#include <glib.h>

#include <memory>

namespace bw {

struct GSourceDeleter {
    // Detaches the source from its context (no further dispatch) and drops our
    // reference. Safe from inside the source's own dispatch callback.
    void operator()(GSource* source) const noexcept {
        g_source_destroy(source);
        g_source_unref(source);
    }
};
using GSourcePtr = std::unique_ptr<GSource, GSourceDeleter>;

struct GMainContextDeleter {
    void operator()(GMainContext* context) const noexcept { g_main_context_unref(context); }
};
using GMainContextPtr = std::unique_ptr<GMainContext, GMainContextDeleter>;

struct GMainLoopDeleter {
    void operator()(GMainLoop* loop) const noexcept { g_main_loop_unref(loop); }
};
using GMainLoopPtr = std::unique_ptr<GMainLoop, GMainLoopDeleter>;

struct GKeyFileDeleter {
    void operator()(GKeyFile* keyFile) const noexcept { g_key_file_unref(keyFile); }
};
using GKeyFilePtr = std::unique_ptr<GKeyFile, GKeyFileDeleter>;

// Owning pointers for GLib-allocated memory and GObjects.
struct GFreeDeleter {
    void operator()(void* p) const noexcept { g_free(p); }
};
struct GObjectDeleter {
    void operator()(gpointer p) const noexcept { g_object_unref(p); }
};
struct GErrorDeleter {
    void operator()(GError* e) const noexcept { g_error_free(e); }
};
struct GStrvDeleter {
    void operator()(gchar** v) const noexcept { g_strfreev(v); }
};

using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;
using GStrvPtr = std::unique_ptr<gchar*, GStrvDeleter>;
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter>;

}  // namespace bw
