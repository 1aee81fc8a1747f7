#include "platform/FileTypes.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>

#include <vector>

#include "platform/GLibHandle.h"

namespace bw {
namespace {

// The MIME types the installed image loaders can decode. Loaders are found
// once per process, so the list is made once.
const std::vector<std::string>& decodableImageTypes() {
    static const std::vector<std::string> types = [] {
        std::vector<std::string> result;
        GSList* formats = gdk_pixbuf_get_formats();
        for (GSList* f = formats; f != nullptr; f = f->next) {
            auto* format = static_cast<GdkPixbufFormat*>(f->data);
            if (gdk_pixbuf_format_is_disabled(format)) continue;
            GStrvPtr mimeTypes(gdk_pixbuf_format_get_mime_types(format));
            for (gchar** m = mimeTypes.get(); m != nullptr && *m != nullptr; ++m) {
                result.emplace_back(*m);
            }
        }
        g_slist_free(formats);
        return result;
    }();
    return types;
}

}  // namespace

std::optional<std::string> FileTypes::contentType(const MediaURL& url) {
    if (!url.isFileURL()) return std::nullopt;
    GObjectPtr<GFile> file(g_file_new_for_path(url.path().c_str()));
    GError* rawError = nullptr;
    GObjectPtr<GFileInfo> info(g_file_query_info(file.get(), G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE,
                                                 G_FILE_QUERY_INFO_NONE, nullptr, &rawError));
    GErrorPtr error(rawError);
    if (!info) return std::nullopt;
    const char* type = g_file_info_get_content_type(info.get());
    if (type == nullptr) return std::nullopt;
    // Content types are MIME types on this platform; convert anyway so a
    // platform-specific identifier never leaks out.
    GCharPtr mime(g_content_type_get_mime_type(type));
    return std::string(mime ? mime.get() : type);
}

MediaKind FileTypes::kindOfContentType(const std::string& type) {
    const char* t = type.c_str();
    if (g_content_type_is_a(t, "video/*") || g_content_type_is_a(t, "application/mxf")) {
        return MediaKind::Movie;
    }
    if (g_content_type_is_a(t, "image/*")) {
        for (const std::string& decodable : decodableImageTypes()) {
            if (g_content_type_is_a(t, decodable.c_str())) return MediaKind::Image;
        }
    }
    return MediaKind::None;
}

MediaKind FileTypes::kindOf(const MediaURL& url) {
    auto type = contentType(url);
    return type ? kindOfContentType(*type) : MediaKind::None;
}

}  // namespace bw
