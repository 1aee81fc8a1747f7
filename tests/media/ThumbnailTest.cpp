#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "media/Thumbnail.h"
#include "platform/GLibHandle.h"
#include "platform/SystemLog.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using Rgb = std::array<int, 3>;

MediaURL fileURL(const std::filesystem::path& path) {
    return MediaURL::fileURL(path.string());
}

// Saves a width x height picture whose columns left of `split` are `left` and
// the rest `right`.
void saveSplitImage(const std::filesystem::path& path, int width, int height, int split, Rgb left,
                    Rgb right, const char* format) {
    GObjectPtr<GdkPixbuf> pixbuf(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height));
    ASSERT_TRUE(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf.get());
    guint8* pixels = gdk_pixbuf_get_pixels(pixbuf.get());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb& colour = x < split ? left : right;
            guint8* pixel = pixels + static_cast<std::ptrdiff_t>(y) * stride + x * 3;
            for (std::size_t c = 0; c < 3; ++c)
                pixel[c] = static_cast<guint8>(colour[c]);
        }
    }
    ASSERT_TRUE(gdk_pixbuf_save(pixbuf.get(), path.c_str(), format, nullptr, nullptr));
}

::testing::AssertionResult pixelNear(const ThumbnailImage& image, int x, int y, Rgb expected,
                                     int tolerance) {
    const std::uint8_t* pixel =
        image.rgba.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) +
                             static_cast<std::size_t>(x)) *
                                4;
    for (std::size_t c = 0; c < 3; ++c) {
        if (std::abs(pixel[c] - expected[c]) > tolerance || pixel[3] != 255) {
            return ::testing::AssertionFailure()
                   << "pixel (" << x << "," << y << ") is " << int(pixel[0]) << "," << int(pixel[1])
                   << "," << int(pixel[2]) << "," << int(pixel[3]) << ", expected " << expected[0]
                   << "," << expected[1] << "," << expected[2] << ",255";
        }
    }
    return ::testing::AssertionSuccess();
}

// The files in a thumbnail disk folder.
std::vector<std::filesystem::path> diskFiles(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        files.push_back(entry.path());
    }
    return files;
}

void expectThumbnailSized(const ThumbnailImageRef& image) {
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, Thumbnail::kSize);
    EXPECT_EQ(image->height, Thumbnail::kSize);
    EXPECT_EQ(image->rgba.size(), std::size_t{Thumbnail::kSize * Thumbnail::kSize * 4});
}

TEST(ThumbnailTest, GeneratorsAndUnreadableFilesGiveTheMissingPictureAndAreNotKept) {
    test::TempDir dir;
    Thumbnail thumbnails(dir / "thumbnails");
    const ThumbnailImageRef missing = Thumbnail::missingImage();
    expectThumbnailSized(missing);
    const auto notes = dir.write("notes.txt", "not media\n");
    const auto broken = dir.write("broken.png", std::string(300, 'x'));
    for (const MediaURL& url : {MediaURL::generator(MediaURL::Generator::Black),
                                MediaURL::generator(MediaURL::Generator::Clear),
                                MediaURL::generator(MediaURL::Generator::Grid), fileURL(notes),
                                fileURL(broken), fileURL(dir / "absent.png")}) {
        SCOPED_TRACE(url.absoluteString());
        EXPECT_EQ(thumbnails.thumbnailForURL(url), missing);
    }
    EXPECT_EQ(thumbnails.cachedCount(), 0u);
    EXPECT_EQ(thumbnails.madeCount(), 0u);
    EXPECT_TRUE(diskFiles(dir / "thumbnails").empty());
}

// A still stored on its side with an EXIF orientation (SMPTE bars, turned a
// quarter clockwise): upright, the white bar is at the top, the blue one at the
// bottom.
TEST(ThumbnailTest, StillIsTurnedUprightByItsExifOrientation) {
    const std::string path = BW_TEST_MEDIA_DIR "/image-exif.jpg";
    const ThumbnailImageRef image = Thumbnail::makeImageThumbnail(path);
    ASSERT_NE(image, nullptr);
    expectThumbnailSized(image);
    EXPECT_TRUE(pixelNear(*image, 70, 3, {235, 235, 235}, 30));
    EXPECT_TRUE(pixelNear(*image, 70, 76, {16, 16, 235}, 30));
}

// A second cache over the same disk folder (the next run) reads the thumbnail
// instead of decoding, until the file's size or modification time changes.
TEST(ThumbnailTest, DiskFolderServesTheNextCacheUntilTheFileChanges) {
    test::TempDir dir;
    const auto folder = dir / "thumbnails";
    const auto path = dir / "still.png";
    saveSplitImage(path, 64, 48, 32, {200, 40, 40}, {40, 40, 200}, "png");
    Thumbnail first(folder);
    const ThumbnailImageRef made = first.thumbnailForURL(fileURL(path));
    ASSERT_NE(made, Thumbnail::missingImage());
    EXPECT_EQ(first.madeCount(), 1u);
    ASSERT_EQ(diskFiles(folder).size(), 1u);
    EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms::owner_all);

    Thumbnail second(folder);
    const ThumbnailImageRef read = second.thumbnailForURL(fileURL(path));
    EXPECT_EQ(second.madeCount(), 0u);
    EXPECT_EQ(second.diskHitCount(), 1u);
    EXPECT_EQ(read->rgba, made->rgba);

    struct Change {
        const char* what;
        std::function<void()> apply;
        Rgb left;
    };
    const Change changes[] = {
        {"modification time",
         [&] {
             std::filesystem::last_write_time(
                 path, std::filesystem::last_write_time(path) + std::chrono::seconds(10));
         },
         {200, 40, 40}},
        {"size and pixels",
         [&] {
             saveSplitImage(path, 80, 48, 40, {40, 200, 40}, {40, 40, 200}, "png");
         },
         {40, 200, 40}},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        change.apply();
        Thumbnail next(folder);
        const ThumbnailImageRef image = next.thumbnailForURL(fileURL(path));
        EXPECT_EQ(next.madeCount(), 1u);
        EXPECT_EQ(next.diskHitCount(), 0u);
        EXPECT_TRUE(pixelNear(*image, 10, 40, change.left, 3));
    }
}

// A disk file that is not a whole thumbnail is decoded anew and written over.
TEST(ThumbnailTest, DamagedDiskFileIsDecodedAnewAndWrittenOver) {
    test::TempDir dir;
    const auto folder = dir / "thumbnails";
    const auto path = dir / "still.png";
    saveSplitImage(path, 64, 48, 32, {200, 40, 40}, {40, 40, 200}, "png");
    Thumbnail(folder).thumbnailForURL(fileURL(path));
    ASSERT_EQ(diskFiles(folder).size(), 1u);
    const auto file = diskFiles(folder).front();
    const std::string whole = test::readFile(file);

    auto withWord = [&](std::size_t offset, char value) {
        std::string bytes = whole;
        bytes[offset] = value;
        return bytes;
    };
    const std::pair<const char*, std::string> damages[] = {
        {"empty", ""},
        {"truncated", whole.substr(0, whole.size() / 2)},
        {"one byte more", whole + "x"},
        {"wrong magic", withWord(0, 'X')},
        {"other version", withWord(4, 99)},
        {"other width", withWord(8, 40)},
    };
    for (const auto& [what, bytes] : damages) {
        SCOPED_TRACE(what);
        dir.write(file.lexically_relative(dir.path()).string(), bytes);
        Thumbnail next(folder);
        const ThumbnailImageRef image = next.thumbnailForURL(fileURL(path));
        EXPECT_EQ(next.madeCount(), 1u);
        EXPECT_TRUE(pixelNear(*image, 10, 40, {200, 40, 40}, 3));
        EXPECT_EQ(test::readFile(file), whole);
    }
}

// A disk folder that cannot be made (its parent is a file) costs the decodes
// and one log line, nothing else.
TEST(ThumbnailTest, UnwritableDiskFolderStillGivesThumbnails) {
    test::TempDir dir;
    const auto blocker = dir.write("blocker", "a file");
    SystemLog::ScopedCapture log;
    Thumbnail thumbnails(blocker / "thumbnails");
    for (int i = 0; i < 2; ++i) {
        const auto path = dir / ("still-" + std::to_string(i) + ".png");
        saveSplitImage(path, 32, 32, 16, {0, 180, 0}, {0, 0, 0}, "png");
        EXPECT_TRUE(pixelNear(*thumbnails.thumbnailForURL(fileURL(path)), 5, 5, {0, 180, 0}, 2));
    }
    EXPECT_EQ(thumbnails.madeCount(), 2u);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines().front().find("cannot write the thumbnail cache"), std::string::npos);
}

// A wide picture is stretched over the whole square, not letterboxed: a band
// a quarter of the width wide covers the thumbnail's left quarter, top to bottom.
TEST(ThumbnailTest, ImageIsStretchedToFillTheSquare) {
    test::TempDir dir;
    const auto path = dir / "wide.png";
    saveSplitImage(path, 1920, 1080, 480, {220, 30, 30}, {30, 30, 220}, "png");
    Thumbnail thumbnails;
    const ThumbnailImageRef image = thumbnails.thumbnailForURL(fileURL(path));
    expectThumbnailSized(image);
    ASSERT_NE(image, Thumbnail::missingImage());
    for (int y : {0, 40, 79}) {
        EXPECT_TRUE(pixelNear(*image, 2, y, {220, 30, 30}, 3));
        EXPECT_TRUE(pixelNear(*image, 17, y, {220, 30, 30}, 3));
        EXPECT_TRUE(pixelNear(*image, 23, y, {30, 30, 220}, 3));
        EXPECT_TRUE(pixelNear(*image, 79, y, {30, 30, 220}, 3));
    }
}

TEST(ThumbnailTest, SecondLookupReturnsTheKeptPictureWithoutDecoding) {
    test::TempDir dir;
    const auto path = dir / "still.jpg";
    saveSplitImage(path, 64, 48, 32, {200, 200, 200}, {10, 10, 10}, "jpeg");
    Thumbnail thumbnails;
    const ThumbnailImageRef first = thumbnails.thumbnailForURL(fileURL(path));
    EXPECT_EQ(thumbnails.madeCount(), 1u);
    // Even a changed file keeps its first thumbnail.
    saveSplitImage(path, 64, 48, 32, {10, 10, 10}, {200, 200, 200}, "jpeg");
    EXPECT_EQ(thumbnails.thumbnailForURL(fileURL(path)), first);
    EXPECT_EQ(thumbnails.madeCount(), 1u);
    EXPECT_EQ(thumbnails.cachedCount(), 1u);
}

TEST(ThumbnailTest, FileThatAppearsLaterGetsItsRealThumbnail) {
    test::TempDir dir;
    const auto path = dir / "later.png";
    Thumbnail thumbnails;
    EXPECT_EQ(thumbnails.thumbnailForURL(fileURL(path)), Thumbnail::missingImage());
    EXPECT_EQ(thumbnails.cachedCount(), 0u);

    saveSplitImage(path, 40, 40, 40, {0, 180, 0}, {0, 0, 0}, "png");
    const ThumbnailImageRef image = thumbnails.thumbnailForURL(fileURL(path));
    expectThumbnailSized(image);
    EXPECT_NE(image, Thumbnail::missingImage());
    EXPECT_TRUE(pixelNear(*image, 40, 40, {0, 180, 0}, 2));
    EXPECT_EQ(thumbnails.cachedCount(), 1u);
}

// A 5 s movie: blue for 0.2 s, red until 1.0 s, then green, a key frame every
// 0.2 s, each in the index (a cluster each). The key frame nearest one tenth in
// (0.5 s) is red; the first frame is blue.
TEST(ThumbnailTest, MovieGivesItsKeyFrameNearestOneTenthIn) {
    test::TempDir dir;
    const auto path = dir / "colours.webm";
    const char* caps = " ! video/x-raw,width=64,height=36,framerate=25/1 ! c. ";
    std::string command =
        "timeout 60 gst-launch-1.0 -q webmmux name=mux min-cluster-duration=0 ! filesink "
        "location='";
    command.append(path.string()).append("' concat name=c ! videoconvert");
    command.append(" ! vp8enc deadline=1 keyframe-max-dist=5");
    command.append(" ! mux. videotestsrc pattern=blue num-buffers=5");
    command.append(caps).append("videotestsrc pattern=red num-buffers=20");
    command.append(caps).append("videotestsrc pattern=green num-buffers=100").append(caps);
    // A sound track too, as show movies have: it must not stand in the way.
    command.append("audiotestsrc num-buffers=230 ! audio/x-raw,rate=48000 ! opusenc ! mux.");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    Thumbnail thumbnails;
    const ThumbnailImageRef image = thumbnails.thumbnailForURL(fileURL(path));
    expectThumbnailSized(image);
    ASSERT_NE(image, Thumbnail::missingImage());
    for (auto [x, y] : {std::pair{40, 40}, std::pair{3, 3}, std::pair{76, 76}}) {
        EXPECT_TRUE(pixelNear(*image, x, y, {255, 0, 0}, 40));
    }
    EXPECT_EQ(thumbnails.thumbnailForURL(fileURL(path)), image);
    EXPECT_EQ(thumbnails.madeCount(), 1u);
}

// Verifies that a movie turned by its container (stored red left of blue, a
// quarter turn clockwise) is shown upright, red above blue, as the outputs
// show it.
TEST(ThumbnailTest, MovieIsTurnedUprightByItsOrientationTag) {
    const std::string path = BW_TEST_MEDIA_DIR "/movie-rotate-90.mp4";
    if (!std::filesystem::exists(path)) {
        if (std::getenv("CI") != nullptr) FAIL() << "the rotated test movie was not made";
        GTEST_SKIP() << "the rotated test movie was not made (no H.264 encoder)";
    }
    const ThumbnailImageRef image = Thumbnail::makeMovieThumbnail(path);
    ASSERT_NE(image, nullptr);
    expectThumbnailSized(image);
    EXPECT_TRUE(pixelNear(*image, 20, 15, {220, 30, 30}, 40));
    EXPECT_TRUE(pixelNear(*image, 20, 65, {30, 30, 220}, 40));
}

TEST(ThumbnailTest, LookupsFromTwoThreadsShareOneKeptPicturePerFile) {
    test::TempDir dir;
    std::vector<MediaURL> urls;
    for (int i = 0; i < 4; ++i) {
        const auto path = dir / std::string("image").append(std::to_string(i)).append(".png");
        saveSplitImage(path, 32 + i, 32, 16, {i * 50, 0, 0}, {0, 0, 0}, "png");
        urls.push_back(fileURL(path));
    }
    Thumbnail thumbnails;
    std::array<std::vector<ThumbnailImageRef>, 2> seen;
    std::array<std::thread, 2> threads;
    for (std::size_t t = 0; t < 2; ++t) {
        threads[t] = std::thread([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (const MediaURL& url : urls) {
                    seen[t].push_back(thumbnails.thumbnailForURL(url));
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(thumbnails.cachedCount(), urls.size());
    for (std::size_t i = 0; i < urls.size(); ++i) {
        const ThumbnailImageRef kept = thumbnails.thumbnailForURL(urls[i]);
        EXPECT_NE(kept, Thumbnail::missingImage());
        // Lookups after the first store all return the kept picture; only a
        // race for the very first lookup may see a copy made alongside it.
        EXPECT_EQ(seen[0][i + urls.size() * 2], kept);
        EXPECT_EQ(seen[1][i + urls.size() * 2], kept);
    }
}

}  // namespace
}  // namespace bw
