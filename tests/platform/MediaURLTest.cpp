#include <gtest/gtest.h>

#include <filesystem>

#include "platform/MediaURL.h"
#include "support/TempDir.h"

namespace bw {
namespace {

TEST(MediaURLTest, GeneratorsRoundTripExactly) {
    for (const char* text : {"black://", "clear://", "grid://"}) {
        auto url = MediaURL::fromString(text);
        ASSERT_TRUE(url.has_value()) << text;
        EXPECT_FALSE(url->isFileURL());
        EXPECT_EQ(url->absoluteString(), text);
        EXPECT_EQ(url->path(), "");
        EXPECT_EQ(url->lastPathComponent(), "");
    }
    EXPECT_EQ(MediaURL(), MediaURL::generator(MediaURL::Generator::Black));
    EXPECT_NE(MediaURL::generator(MediaURL::Generator::Grid),
              MediaURL::generator(MediaURL::Generator::Clear));
    for (const char* text : {"Black://", "black:/", "black:// ", "grid", "http://x/y.mov", ""}) {
        EXPECT_FALSE(MediaURL::fromString(text).has_value()) << text;
    }
}

TEST(MediaURLTest, FileURLsEncodeAndDecodeTheirPath) {
    const struct {
        const char* path;
        const char* absolute;
    } cases[] = {
        {"/Shows/loop.mov", "file:///Shows/loop.mov"},
        {"/Shows/my show/Vidéo 1.mov", "file:///Shows/my%20show/Vid%C3%A9o%201.mov"},
        {"/a/100%#?.png", "file:///a/100%25%23%3F.png"},
    };
    for (const auto& c : cases) {
        MediaURL url = MediaURL::fileURL(c.path);
        EXPECT_TRUE(url.isFileURL());
        EXPECT_EQ(url.path(), c.path);
        EXPECT_EQ(url.absoluteString(), c.absolute);
        EXPECT_EQ(MediaURL::fromString(c.absolute), url) << c.absolute;
    }
    EXPECT_EQ(MediaURL::fromString("file://localhost/a%20b.mov"), MediaURL::fileURL("/a b.mov"));
    EXPECT_EQ(MediaURL::fileURL("/Shows/my show/Vidéo 1.mov").lastPathComponent(), "Vidéo 1.mov");
}

// Verifies that a file URL's path opens what the path as given opens: "."
// and doubled slashes are dropped, but ".." is resolved through the file
// system, since after a symbolic link it climbs out of the link's target.
TEST(MediaURLTest, FileURLsAreAbsoluteAndClimbAsTheSystemDoes) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    const fs::path base = fs::canonical(dir.path());
    fs::create_directories(base / "real/deep");
    fs::create_directory_symlink(base / "real/deep", base / "link");

    const struct {
        std::string path;
        std::string expected;
    } cases[] = {
        {"/a/./b//c.mov/", "/a/b/c.mov"},
        {(base / "link/../x.mov").string(), (base / "real/x.mov").string()},
        {(base / "link/./x.mov").string(), (base / "link/x.mov").string()},
        {(base / "real/deep/../../real/x.mov").string(), (base / "real/x.mov").string()},
        // A folder that is not there cannot be resolved: ".." stays.
        {"/no such folder/b/../c.mov", "/no such folder/b/../c.mov"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MediaURL::fileURL(c.path).path(), c.expected) << c.path;
    }
    MediaURL relative = MediaURL::fileURL("media/x.mov");
    EXPECT_TRUE(relative.path().starts_with('/'));
    EXPECT_TRUE(relative.path().ends_with("/media/x.mov"));
}

TEST(MediaURLTest, RejectsFileURLsItCannotRepresent) {
    for (const char* text : {"file://", "file://host/a.mov", "file:relative.mov", "file:///a%2",
                             "file:///a%zz.mov", "file:///a%00b.mov"}) {
        EXPECT_FALSE(MediaURL::fromString(text).has_value()) << text;
    }
}

}  // namespace
}  // namespace bw
