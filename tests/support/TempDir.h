#pragma once

#include <filesystem>
#include <string>

namespace bw::test {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    // Writes `contents` to `relativePath` inside the folder, creating folders
    // on the way; returns the absolute path.
    std::filesystem::path write(const std::string& relativePath, const std::string& contents) const;

private:
    std::filesystem::path path_;
};

// The whole contents of a file; "" when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// The folder of small media files made once per build by make-test-media.sh.
std::filesystem::path testMediaDir();
// The path of test medium `name` in that folder.
std::string testMediaPath(const std::string& name);

}  // namespace bw::test
