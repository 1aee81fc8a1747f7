#include <gtest/gtest.h>

#include "show/ShowStatus.h"
#include "show/ShowTestSupport.h"

namespace bw {
namespace {

using Entry = test::ShowNotificationLog::Entry;

TEST(ShowStatusTest, PostsDirtyChangesOnlyWhenTheValueChanges) {
    NotificationCenter center(MainQueue::shared());
    ShowStatus status(center);
    test::ShowNotificationLog log(center);

    EXPECT_FALSE(status.isDirty());
    status.setDirty(false);
    EXPECT_TRUE(log.entries.empty()) << "clearing a clean flag posts nothing";

    for (int edit = 0; edit < 10; ++edit)
        status.setDirty(true);
    EXPECT_TRUE(status.isDirty());
    status.setDirty(false);
    status.setDirty(false);
    EXPECT_EQ(log.entries, (std::vector<Entry>{{"ShowDirtyStatusChanged", true},
                                               {"ShowDirtyStatusChanged", false}}));
}

TEST(ShowStatusTest, PostsLoadNotificationsWithoutAnObject) {
    NotificationCenter center(MainQueue::shared());
    ShowStatus status(center);
    test::ShowNotificationLog log(center);

    status.postWillLoad();
    status.postDidLoad();
    EXPECT_EQ(log.entries,
              (std::vector<Entry>{{"ShowWillLoad", std::nullopt}, {"ShowDidLoad", std::nullopt}}));
}

}  // namespace
}  // namespace bw
