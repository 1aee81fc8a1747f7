#include <gtest/gtest.h>

#include "platform/FileTypes.h"
#include "support/TempDir.h"

namespace bw {
namespace {

MediaURL media(const char* name) {
    return MediaURL::fileURL((test::testMediaDir() / name).string());
}

TEST(FileTypesTest, TellsMoviesAndImagesApart) {
    EXPECT_EQ(FileTypes::kindOf(media("movie.webm")), MediaKind::Movie);
    EXPECT_EQ(FileTypes::kindOf(media("image.png")), MediaKind::Image);
    EXPECT_EQ(FileTypes::kindOf(media("image.jpg")), MediaKind::Image);
    EXPECT_EQ(FileTypes::kindOf(media("notes.txt")), MediaKind::None);
    EXPECT_EQ(FileTypes::contentType(media("image.png")), "image/png");
}

TEST(FileTypesTest, SniffsContentWhenTheNameSaysNothing) {
    EXPECT_EQ(FileTypes::kindOf(media("movie-without-extension")), MediaKind::Movie);
}

TEST(FileTypesTest, GeneratorsFoldersAndMissingFilesHaveNoType) {
    EXPECT_EQ(FileTypes::contentType(MediaURL::generator(MediaURL::Generator::Grid)), std::nullopt);
    EXPECT_EQ(FileTypes::kindOf(MediaURL()), MediaKind::None);
    EXPECT_EQ(FileTypes::contentType(media("no-such-file.mov")), std::nullopt);
    EXPECT_EQ(FileTypes::kindOf(media("no-such-file.mov")), MediaKind::None);
    EXPECT_EQ(FileTypes::kindOf(MediaURL::fileURL(test::testMediaDir().string())), MediaKind::None);
}

TEST(FileTypesTest, ClassifiesContentTypes) {
    EXPECT_EQ(FileTypes::kindOfContentType("video/quicktime"), MediaKind::Movie);
    EXPECT_EQ(FileTypes::kindOfContentType("video/mp4"), MediaKind::Movie);
    EXPECT_EQ(FileTypes::kindOfContentType("application/mxf"), MediaKind::Movie);
    EXPECT_EQ(FileTypes::kindOfContentType("image/png"), MediaKind::Image);
    EXPECT_EQ(FileTypes::kindOfContentType("audio/x-wav"), MediaKind::None);
    EXPECT_EQ(FileTypes::kindOfContentType("application/pdf"), MediaKind::None);
}

}  // namespace
}  // namespace bw
