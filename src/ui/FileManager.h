#pragma once

#include <functional>
#include <string>

// Declared only: this header comes before GIO's in FileManager.cpp, and
// GIO's must come before any Qt header (Qt's "signals" keyword).
class QString;

namespace bw {

// Shows a file in the desktop's file manager: the file manager's D-Bus
// service (org.freedesktop.FileManager1.ShowItems on the session bus) opens
// its folder with the file selected; where no file manager answers, the
// file's folder is opened the desktop's usual way (QDesktopServices).
//
// The call never waits for the desktop: the answer comes on the GLib main
// context of the calling thread. Main thread only.
class FileManager {
public:
    // Opens a folder when no file manager takes the call.
    using FolderOpener = std::function<void(const QString& folder)>;

    // `busAddress` empty: the session bus (tests give a private one).
    // `openFolder` empty: QDesktopServices::openUrl.
    explicit FileManager(std::string busAddress = {}, FolderOpener openFolder = {});

    // Shows the file at absolute path `path` (raw bytes, as in a MediaURL).
    void showItem(const std::string& path) const;

private:
    std::string busAddress_;
    FolderOpener openFolder_;
};

}  // namespace bw
