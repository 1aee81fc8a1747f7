#include <gst/gst.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/AudioOutput.h"
#include "platform/SystemLog.h"

namespace bw {
namespace {

struct Choice {
    const char* name;
    std::vector<std::string> candidates;
    std::string override;
    std::string element;              // the factory of the sink made
    std::string chosen;               // empty where an override is used as it is
    std::vector<std::string> logged;  // the start of each line, in order
};

// Each case makes two sinks in a row: the second must be the same kind and
// log nothing more.
TEST(AudioOutputTest, ChoosesTheFirstOutputThatOpensAndSaysWhenThereIsNone) {
    gst_init(nullptr, nullptr);
    const Choice cases[] = {
        {"first that exists", {"no-such-sink", "appsink"}, "", "appsink", "appsink", {}},
        {"none opens", {"no-such-sink"}, "", "fakesink", "fakesink", {"Warning: no sound output"}},
        {"override used as it is", {"no-such-sink"}, "appsink", "appsink", "", {}},
        {"override with properties", {"no-such-sink"}, "fakesink sync=false", "bin", "", {}},
        {"override unknown",
         {"appsink"},
         "no-such-sink",
         "appsink",
         "appsink",
         {"Warning: no audio element named no-such-sink"}},
    };
    for (const Choice& c : cases) {
        SCOPED_TRACE(c.name);
        SystemLog::ScopedCapture log;
        AudioOutput output(c.candidates, c.override);
        for (int round = 0; round < 2; ++round) {
            GstElement* sink = output.makeSink();
            ASSERT_NE(sink, nullptr);
            gst_object_ref_sink(sink);
            GstElement* inner = sink;
            if (GST_IS_BIN(sink)) {
                EXPECT_EQ(c.element, "bin");
                inner = GST_ELEMENT(GST_BIN_CHILDREN(GST_BIN(sink))->data);
            } else {
                EXPECT_EQ(GST_OBJECT_NAME(gst_element_get_factory(sink)), c.element);
            }
            gboolean sync = FALSE;
            g_object_get(inner, "sync", &sync, nullptr);
            EXPECT_TRUE(sync) << "a sink that does not wait would race through the movie";
            gst_object_unref(sink);
        }
        EXPECT_EQ(output.chosen(), c.chosen);
        std::vector<std::string> lines = log.lines();
        ASSERT_EQ(lines.size(), c.logged.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].rfind(c.logged[i], 0), 0U) << lines[i];
        }
    }
}

}  // namespace
}  // namespace bw
