#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/MediaProbe.h"
#include "support/OutsidePeer.h"
#include "support/TempDir.h"

namespace bw {
namespace {

// Verifies each reason a file would not play, and that real media of every
// kind playback takes passes, the HEIF and AVIF stills included.
TEST(MediaProbeTest, SaysWhyEachFileWouldNotPlay) {
    const struct {
        const char* file;
        std::optional<std::string> problem;  // the start of the reason; none: it plays
    } cases[] = {
        {"movie-h264.mp4", std::nullopt},
        {"movie.webm", std::nullopt},
        {"movie-without-extension", std::nullopt},
        {"image.png", std::nullopt},
        {"image.jpg", std::nullopt},
        {"image.webp", std::nullopt},
        {"anim-loop.gif", std::nullopt},
        {"image.heic", std::nullopt},
        {"image.avif", std::nullopt},
        {"sound.wav", "has sound but no picture"},
        {"sound-only.mkv", "has sound but no picture"},
        {"empty.mov", "empty file (zero length)"},
        {"corrupt.png", "the picture does not decode ("},
        // JPEG 2000: a picture type the desktop knows and no loader here reads.
        {"image.jp2", "no loader for this picture format (image/jp2)"},
        {"notes.txt", "neither a movie nor a picture (text/plain)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        if (!std::filesystem::exists(test::testMediaPath(c.file))) {
            // make-test-media skips what this machine's encoders cannot make
            // (HEIC, AVIF, JPEG 2000 come from ImageMagick): a gap here, a
            // failure under CI=true, where every encoder is installed.
            if (test::outsidePeersRequired()) ADD_FAILURE() << "test medium not made: " << c.file;
            continue;
        }
        const std::optional<std::string> problem = MediaProbe::problem(test::testMediaPath(c.file));
        if (!c.problem) {
            EXPECT_EQ(problem, std::nullopt) << *problem;
        } else {
            ASSERT_TRUE(problem.has_value());
            EXPECT_TRUE(problem->starts_with(*c.problem)) << *problem;
        }
    }
}

TEST(MediaProbeTest, FileThatDoesNotOpenCannotBeRead) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    test::TempDir dir;
    const auto path = dir.write("locked.png", "x");
    std::filesystem::permissions(path, std::filesystem::perms::none);
    const std::optional<std::string> problem = MediaProbe::problem(path.string());
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(*problem, "cannot be read (Permission denied)");
}

// Verifies that a movie whose video nobody decodes names its codec: the VP8
// decoders are hidden from the registry for the test's length.
TEST(MediaProbeTest, MovieWithoutADecoderNamesTheCodec) {
    gst_init(nullptr, nullptr);
    GstCaps* vp8 = gst_caps_from_string("video/x-vp8");
    GList* all = gst_element_factory_list_get_elements(
        GST_ELEMENT_FACTORY_TYPE_DECODER | GST_ELEMENT_FACTORY_TYPE_MEDIA_VIDEO, GST_RANK_NONE);
    GList* decoders = gst_element_factory_list_filter(all, vp8, GST_PAD_SINK, FALSE);
    gst_caps_unref(vp8);
    ASSERT_NE(decoders, nullptr) << "no VP8 decoder installed to hide";
    std::vector<std::pair<GstPluginFeature*, guint>> ranks;
    for (GList* d = decoders; d != nullptr; d = d->next) {
        auto* feature = GST_PLUGIN_FEATURE(d->data);
        ranks.emplace_back(feature, gst_plugin_feature_get_rank(feature));
        gst_plugin_feature_set_rank(feature, GST_RANK_NONE);
    }
    const std::optional<std::string> problem =
        MediaProbe::problem(test::testMediaPath("movie-vp8.webm"));
    for (const auto& [feature, rank] : ranks)
        gst_plugin_feature_set_rank(feature, rank);
    gst_plugin_feature_list_free(decoders);
    gst_plugin_feature_list_free(all);

    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(*problem, "no decoder for the video codec VP8 (video/x-vp8)");
    EXPECT_EQ(MediaProbe::problem(test::testMediaPath("movie-vp8.webm")), std::nullopt);
}

}  // namespace
}  // namespace bw
