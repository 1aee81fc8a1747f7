#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>

namespace bw {

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
