#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "ui/InstanceServer.h"
#include "ui/WindowTestSupport.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using Answer = InstanceServer::Answer;
using ListenResult = InstanceServer::ListenResult;

// A second start's request, sent from another thread while this one runs
// the event loop the server answers on.
class Forwarder {
public:
    Forwarder(const QString& name, QByteArray request)
        : client_([this, name, request = std::move(request)] {
              answer_ = InstanceServer::forward(name, request, 10s, &reason_);
              done_ = true;
          }) {}
    ~Forwarder() { client_.join(); }

    // Runs the event loop until the answer came, or for `most` at most.
    bool pumpUntilDone(std::chrono::milliseconds most) {
        const QDeadlineTimer deadline(most);
        while (!done_ && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(1ms);
        }
        return done_;
    }
    Answer answer() {
        EXPECT_TRUE(pumpUntilDone(15s));
        return answer_;
    }
    // Why the show did not load, for Failed.
    const QString& reason() const { return reason_; }

private:
    Answer answer_ = Answer::NoAnswer;
    QString reason_;
    std::atomic<bool> done_ = false;
    std::thread client_;
};

class InstanceServerTest : public test::WindowTest {
protected:
    void SetUp() override {
        test::WindowTest::SetUp();
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) oldRuntimeDir_ = old;
        std::filesystem::create_directory(dir_ / "run");
        setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
        name_ = InstanceServer::socketName();
    }
    void TearDown() override {
        server_.reset();
        if (oldRuntimeDir_) {
            setenv("XDG_RUNTIME_DIR", oldRuntimeDir_->c_str(), 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
        test::WindowTest::TearDown();
    }

    // A listening server whose requests go to a new window, as main() wires it.
    void startServer() {
        ShowWindow& window = makeWindow();
        server_ = std::make_unique<InstanceServer>();
        ASSERT_EQ(server_->listen(name_), ListenResult::Listening)
            << server_->errorString().toStdString();
        using Opening = ShowWindow::Opening;
        server_->setHandlers(
            {[&window](const QString& path, InstanceServer::OpenDone done) {
                 window.openShowFromDesktop(path, [done](Opening opening, const QString& why) {
                     done(opening == Opening::Opened   ? InstanceServer::Opening::Opened
                          : opening == Opening::Failed ? InstanceServer::Opening::Failed
                                                       : InstanceServer::Opening::Refused,
                          why);
                 });
             },
             [&window] { window.bringToFront(); }});
    }
    Answer send(const QByteArray& request) { return Forwarder(name_, request).answer(); }

    std::optional<std::string> oldRuntimeDir_;
    QString name_;
    std::unique_ptr<InstanceServer> server_;
};

// Verifies that an open asks about a modified show and about a cue on the
// outputs, opens the file only when every answer is yes, is refused while
// the show is locked, and is answered once the load has ended: a show that
// fails to load is answered so, with the reason, and the current one stays.
TEST_F(InstanceServerTest, OpenAsksWhatWouldBeLostAndAnswersOnceTheLoadEnds) {
    struct Case {
        const char* name;
        bool modified;
        bool onStage;
        bool locked;
        bool answer;
        bool broken;
        Answer expected;
        std::vector<QString> asked;
    };
    const std::vector<Case> cases = {
        {"clean show", false, false, false, false, false, Answer::Opened, {}},
        {"modified, OK", true, false, false, true, false, Answer::Opened, {"discardChangesBox"}},
        {"modified, Cancel",
         true,
         false,
         false,
         false,
         false,
         Answer::Refused,
         {"discardChangesBox"}},
        {"on stage, Continue", false, true, false, true, false, Answer::Opened, {"runningShowBox"}},
        {"on stage, Cancel", false, true, false, false, false, Answer::Refused, {"runningShowBox"}},
        {"on stage and modified",
         true,
         true,
         false,
         true,
         false,
         Answer::Opened,
         {"runningShowBox", "discardChangesBox"}},
        {"locked", true, true, true, true, false, Answer::Refused, {}},
        {"does not load",
         true,
         true,
         false,
         true,
         true,
         Answer::Failed,
         {"runningShowBox", "discardChangesBox"}},
    };
    const std::string broken = dir_.write("broken.bwshow", "{").string();
    addOutputs(1);
    const std::string other = saveShow("other.bwshow", 3);
    const std::string current = saveShow("current.bwshow", 2);
    startServer();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        show_->setLocked(false);
        show_->load(current);
        finishLoading();
        ASSERT_EQ(stack_.cues().size(), 2u);
        if (c.onStage) engine_->go();
        status_.setDirty(c.modified);
        show_->setLocked(c.locked);
        prompt_ = test::ScriptedPrompt();
        prompt_.answer = c.answer;

        Forwarder forwarder(
            name_, InstanceServer::openRequest(QString::fromStdString(c.broken ? broken : other)));
        EXPECT_EQ(forwarder.answer(), c.expected);
        EXPECT_EQ(prompt_.asked, c.asked);
        const bool opened = c.expected == Answer::Opened;
        EXPECT_EQ(show_->fileURL(), opened ? other : current);
        EXPECT_EQ(stack_.cues().size(), opened ? 3u : 2u);
        EXPECT_EQ(show_->isDirty(), !opened && c.modified);
        if (c.broken) {
            EXPECT_TRUE(forwarder.reason().startsWith(QString::fromStdString(broken)))
                << forwarder.reason().toStdString();
        }
    }
}

TEST_F(InstanceServerTest, OpenRequestCarriesAnAbsolutePath) {
    const QString folder = QDir::currentPath();
    EXPECT_EQ(InstanceServer::openRequest("shows/gala.bwshow"),
              "open " + QFile::encodeName(folder + "/shows/gala.bwshow") + '\n');
    EXPECT_EQ(InstanceServer::openRequest("/shows/../gala.bwshow"), "open /gala.bwshow\n");
}

// Verifies that a second start without a file brings back a minimised
// window, and that requests made before the window exists are answered
// once it does.
TEST_F(InstanceServerTest, RaiseWaitsForTheWindowThenBringsItBack) {
    server_ = std::make_unique<InstanceServer>();
    ASSERT_EQ(server_->listen(name_), ListenResult::Listening);
    Forwarder early(name_, InstanceServer::raiseRequest());
    EXPECT_FALSE(early.pumpUntilDone(200ms));

    ShowWindow& window = makeWindow();
    window.showMinimized();
    server_->setHandlers({[](const QString&, const InstanceServer::OpenDone& done) {
                              done(InstanceServer::Opening::Refused, {});
                          },
                          [&] { window.bringToFront(); }});
    EXPECT_EQ(early.answer(), Answer::Raised);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
    EXPECT_EQ(send(InstanceServer::raiseRequest()), Answer::Raised);
}

// Verifies that the socket a crashed instance left is replaced, and that a
// live instance's socket is not taken by a second server.
TEST_F(InstanceServerTest, StaleSocketIsReplacedButALiveOneIsKept) {
    const std::string path = name_.toStdString();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);  // bound, never listened on, file left behind
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(InstanceServer::forward(name_, InstanceServer::raiseRequest(), 1s),
              Answer::NoInstance);

    startServer();
    EXPECT_EQ(send(InstanceServer::raiseRequest()), Answer::Raised);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    InstanceServer second;
    EXPECT_EQ(second.listen(name_), ListenResult::OtherInstance);
    EXPECT_EQ(send(InstanceServer::raiseRequest()), Answer::Raised);
}

// Verifies that requests are checked as outside input: each malformed one
// is refused without reaching the window, and the server goes on answering.
TEST_F(InstanceServerTest, MalformedRequestsAreRefused) {
    const std::string current = saveShow("current.bwshow", 2);
    status_.setDirty(true);
    startServer();
    prompt_.answer = true;
    const std::vector<QByteArray> requests = {
        "hello\n",
        "OPEN /tmp/a.bwshow\n",
        "open relative.bwshow\n",
        "open \n",
        "raise now\n",
        QByteArray("open /tmp/a\0b.bwshow\n", 21),
        "open /" + QByteArray(InstanceServer::kMaxRequestBytes, 'a') + "\n",
        QByteArray(InstanceServer::kMaxRequestBytes + 100, 'x'),
        InstanceServer::openRequest("/tmp/a\nb.bwshow"),
    };
    for (const QByteArray& request : requests) {
        SCOPED_TRACE(request.left(40).toStdString());
        EXPECT_EQ(send(request), Answer::Refused);
    }
    EXPECT_EQ(prompt_.questions, 0);
    EXPECT_EQ(show_->fileURL(), current);
    EXPECT_TRUE(show_->isDirty());
    EXPECT_EQ(send(InstanceServer::raiseRequest()), Answer::Raised);
}

}  // namespace
}  // namespace bw
