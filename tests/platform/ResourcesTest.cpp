#include "platform/Resources.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace bw {
namespace {

// Verifies the order in which the resource folder is chosen: the variable,
// then share/beamwright beside an installed executable (only when it holds
// the shaders), then the folder the build was configured with.
TEST(ResourcesTest, TheVariableThenTheInstalledFolderThenTheConfiguredOne) {
    test::TempDir prefix;
    std::filesystem::create_directories(prefix / "installed/share/beamwright/shaders");
    std::filesystem::create_directories(prefix / "bare/share/beamwright");
    const std::filesystem::path configured = "/configured/resources";
    struct Case {
        const char* name;
        std::filesystem::path executable;
        const char* override;
        std::filesystem::path expected;
    };
    const std::vector<Case> cases = {
        {"the variable wins", prefix / "installed/bin/beamwright", "/elsewhere", "/elsewhere"},
        {"an empty variable is unset", prefix / "installed/bin/beamwright", "",
         prefix / "installed/share/beamwright"},
        {"installed beside the executable", prefix / "installed/bin/beamwright", nullptr,
         prefix / "installed/share/beamwright"},
        {"a folder without shaders is not an installation", prefix / "bare/bin/beamwright",
         nullptr, configured},
        {"a build folder's executable", prefix / "build/bin/beamwright", nullptr, configured},
        {"no executable known", "", nullptr, configured},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Resources::directoryFor(c.executable, c.override, configured), c.expected)
            << c.name;
    }
}

}  // namespace
}  // namespace bw
