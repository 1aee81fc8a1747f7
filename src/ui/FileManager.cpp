#include "ui/FileManager.h"

// GIO before any Qt header: Qt's "signals" keyword would break GIO's own.
#include <gio/gio.h>

#include <QDesktopServices>
#include <QFile>
#include <QString>
#include <QUrl>
#include <filesystem>
#include <memory>

#include "platform/SessionBus.h"

namespace bw {

namespace {

// How long the file manager may take to answer before its folder is opened
// the other way.
constexpr int kCallTimeoutMs = 5000;

void openWithDesktop(const QString& folder) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

}  // namespace

FileManager::FileManager(std::string busAddress, FolderOpener openFolder)
    : busAddress_(std::move(busAddress)),
      openFolder_(openFolder ? std::move(openFolder) : FolderOpener(openWithDesktop)) {}

void FileManager::showItem(const std::string& path) const {
    const QString folder = QFile::decodeName(
        QByteArray::fromStdString(std::filesystem::path(path).parent_path().string()));
    GObjectPtr<GDBusConnection> bus = SessionBus::connect(busAddress_);
    if (!bus) {
        openFolder_(folder);
        return;
    }
    GError* error = nullptr;
    char* uri = g_filename_to_uri(path.c_str(), nullptr, &error);
    if (uri == nullptr) {
        g_error_free(error);
        openFolder_(folder);
        return;
    }
    const char* uris[] = {uri, nullptr};
    // Kept by the call until it is answered, whatever becomes of this object.
    auto* fallback = new std::function<void()>([opener = openFolder_, folder] { opener(folder); });
    g_dbus_connection_call(
        bus.get(), "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
        "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
        G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::function<void()>> open(static_cast<std::function<void()>*>(data));
            GError* failure = nullptr;
            GVariant* reply =
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &failure);
            if (reply != nullptr) {
                g_variant_unref(reply);
                return;
            }
            g_error_free(failure);
            (*open)();
        },
        fallback);
    g_free(uri);
}

}  // namespace bw
