#include <gtest/gtest.h>

#include "platform/MediaURL.h"

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

TEST(MediaURLTest, FileURLsAreAbsoluteAndFolded) {
    EXPECT_EQ(MediaURL::fileURL("/a/./b/../c.mov").path(), "/a/c.mov");
    EXPECT_EQ(MediaURL::fileURL("/a//c.mov").path(), "/a/c.mov");
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
