// Test entry point: every test process gets its own runtime, configuration and
// cache folders, so tests never read or write the user's files, GLib-log
// warnings and criticals fail the test that caused them, and the main queue is
// bound to this (the main) thread before any test runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/MainQueue.h"
#include "support/GLibLogGuard.h"
#include "support/TempDir.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    bw::test::installGLibLogGuard();

    bw::test::TempDir home;
    for (const char* name : {"XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
        std::filesystem::path dir = home / name;
        std::filesystem::create_directories(dir);
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
        setenv(name, dir.c_str(), 1);
    }
    bw::MainQueue::shared();
    return RUN_ALL_TESTS();
}
