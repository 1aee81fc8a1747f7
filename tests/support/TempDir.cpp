#include "support/TempDir.h"

#include <glib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace bw::test {

TempDir::TempDir() {
    GError* error = nullptr;
    gchar* made = g_dir_make_tmp("beamwright-test-XXXXXX", &error);
    if (made == nullptr) {
        std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot make a temporary folder: " + message);
    }
    path_ = made;
    g_free(made);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(const std::string& relativePath,
                                     const std::string& contents) const {
    std::filesystem::path target = path_ / relativePath;
    std::filesystem::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out) {
        throw std::runtime_error("cannot write " + target.string());
    }
    return target;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string testMediaPath(const std::string& name) {
    return (testMediaDir() / name).string();
}

std::filesystem::path testMediaDir() {
    return BW_TEST_MEDIA_DIR;
}

}  // namespace bw::test
