#include "platform/AtomicFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "support/TempDir.h"

extern char** environ;

namespace bw {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kWriterVariable = "BW_ATOMIC_FILE_WRITER_PATH";

// Whole-file versions a writer alternates between: large enough that a write
// takes a while, and each recognisable as a whole.
std::string version(char fill) {
    return std::string(4 << 20, fill);
}

ino_t inode(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

std::size_t folderEntries(const fs::path& folder) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(AtomicFileTest, ReplacesTheWholeFileAndKeepsItsPermissions) {
    test::TempDir dir;
    const fs::path path = dir / "show.bwshow";
    std::string failure;
    ASSERT_TRUE(AtomicFile::write(path, "first", &failure)) << failure;
    EXPECT_EQ(test::readFile(path), "first");

    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(AtomicFile::write(path, "second, longer than the first", &failure)) << failure;
    EXPECT_EQ(test::readFile(path), "second, longer than the first");
    EXPECT_EQ(fs::status(path).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(AtomicFile::write(path, "", &failure)) << failure;
    EXPECT_EQ(test::readFile(path), "");
    // No temporary file stays behind.
    EXPECT_EQ(folderEntries(dir.path()), 1u);
}

TEST(AtomicFileTest, ALinkKeepsPointingAtTheFileItNames) {
    test::TempDir dir;
    const fs::path real = dir.write("real/show.bwshow", "old");
    const fs::path link = dir / "link.bwshow";
    fs::create_symlink(real, link);

    ASSERT_TRUE(AtomicFile::write(link, "new"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(test::readFile(real), "new");
}

TEST(AtomicFileTest, FailuresChangeNothingAndSayWhy) {
    test::TempDir dir;
    const fs::path file = dir.write("show.bwshow", "kept");
    std::string failure;

    EXPECT_FALSE(AtomicFile::write(file / "inside.bwshow", "x", &failure));
    EXPECT_NE(failure.find("cannot create"), std::string::npos) << failure;
    EXPECT_FALSE(AtomicFile::write(dir / "missing" / "show.bwshow", "x", &failure));
    EXPECT_FALSE(AtomicFile::write(dir.path(), "x", &failure));
    EXPECT_NE(failure.find("not a regular file"), std::string::npos) << failure;
    EXPECT_FALSE(AtomicFile::write("", "x", &failure));

    EXPECT_EQ(test::readFile(file), "kept");
    EXPECT_EQ(folderEntries(dir.path()), 1u);
}

// The writer process of the next test: rewrites the file for ever, each time
// with the other version, starting with "b".
TEST(AtomicFileWriter, DISABLED_RewriteUntilKilled) {
    const char* path = std::getenv(kWriterVariable);
    if (path == nullptr) GTEST_SKIP();
    const std::string versions[] = {version('a'), version('b')};
    for (std::size_t k = 1;; ++k) {
        if (!AtomicFile::write(path, versions[k % 2])) std::_Exit(3);
    }
}

TEST(AtomicFileTest, AWriterKilledAtAnyMomentLeavesOneWholeVersion) {
    test::TempDir dir;
    const fs::path path = dir / "show.bwshow";
    ASSERT_TRUE(AtomicFile::write(path, version('a')));
    const std::string variable = std::string(kWriterVariable) + "=" + path.string();

    std::mt19937 random(12345);
    for (int round = 0; round < 12; ++round) {
        std::vector<std::string> arguments = {"/proc/self/exe",
                                              "--gtest_filter=AtomicFileWriter.*",
                                              "--gtest_also_run_disabled_tests"};
        std::vector<std::string> environment = {variable};
        for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
        std::vector<char*> argv, envp;
        for (auto& argument : arguments) argv.push_back(argument.data());
        for (auto& entry : environment) envp.push_back(entry.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);

        // Kill the writer a random moment after it has replaced the file at
        // least once, so that the kill lands inside its loop.
        const ino_t before = inode(path);
        pid_t writer = 0;
        ASSERT_EQ(::posix_spawn(&writer, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (inode(path) == before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        ::kill(writer, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(writer, &status, 0), writer);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;

        const std::string contents = test::readFile(path);
        const bool whole = contents == version('a') || contents == version('b');
        ASSERT_TRUE(whole) << "round " << round << ": " << contents.size() << " bytes";
    }
}

}  // namespace
}  // namespace bw
