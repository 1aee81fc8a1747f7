#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/SoundSinks.h"

namespace bw {
namespace {

// A socket where a sound server's would be that never says a word: the
// connection is queued by the kernel and nothing ever reads it.
class SilentServer {
public:
    explicit SilentServer(const std::filesystem::path& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        listening_ = fd_ >= 0 &&
                     ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                     ::listen(fd_, 4) == 0;
    }
    ~SilentServer() {
        if (fd_ >= 0) ::close(fd_);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    bool listening() const { return listening_; }

private:
    int fd_ = -1;
    bool listening_ = false;
};

// Where no server answers, whether nothing listens or something listens and
// hangs, there is no list, and the call comes back.
TEST(SoundSinksTest, NoListWhereNoServerAnswers) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("bw-sound-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const char* saved = std::getenv("PULSE_SERVER");
    const std::string savedServer = saved != nullptr ? saved : "";
    for (const bool listens : {false, true}) {
        SCOPED_TRACE(listens ? "listens and says nothing" : "nothing listens");
        const std::filesystem::path socket = folder / (listens ? "silent" : "absent");
        std::optional<SilentServer> server;
        if (listens) {
            server.emplace(socket);
            ASSERT_TRUE(server->listening());
        }
        ::setenv("PULSE_SERVER", ("unix:" + socket.string()).c_str(), 1);
        EXPECT_EQ(SoundSinks::list(), std::nullopt);
    }
    if (saved != nullptr) {
        ::setenv("PULSE_SERVER", savedServer.c_str(), 1);
    } else {
        ::unsetenv("PULSE_SERVER");
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace bw
