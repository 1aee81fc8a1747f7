#include "platform/DescriptorBudget.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/FileDescriptor.h"

namespace bw {
namespace {

TEST(DescriptorBudgetTest, CountsOpenDescriptorsAgainstTheSoftLimit) {
    const std::optional<DescriptorBudget::Count> before = DescriptorBudget::count();
    ASSERT_TRUE(before);
    EXPECT_GT(before->open, 2u) << "standard input, output and error";
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const FileDescriptor read(ends[0]);
    const FileDescriptor write(ends[1]);
    const std::optional<DescriptorBudget::Count> after = DescriptorBudget::count();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->open, before->open + 2);
    EXPECT_EQ(after->limit, before->limit);
    EXPECT_EQ(after->left(), after->limit - after->open);

    EXPECT_EQ(DescriptorBudget::shortage(after->left() / 2, after->left() / 4), std::nullopt);
    const std::optional<std::string> shortage = DescriptorBudget::shortage(after->left(), 1);
    ASSERT_TRUE(shortage);
    EXPECT_EQ(*shortage, "too few file descriptors left: " + std::to_string(after->open) + " of " +
                             std::to_string(after->limit) + " in use");
}

}  // namespace
}  // namespace bw
