#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/FileDescriptor.h"
#include "remote/CueRunner.h"
#include "remote/web/WebRemoteClient.h"
#include "remote/web/WebRemoteMessage.h"
#include "remote/web/WebRemoteServer.h"
#include "support/Deadline.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Kind = WebRemoteRequest::Kind;

TEST(WebRemoteMessageTest, RequestsAreReadAndAnythingElseIsRefusedWithAReason) {
    const struct {
        const char* text;
        std::optional<Kind> kind;
        double cue;
        const char* code;
    } cases[] = {
        {R"({"type":"go"})", Kind::Go, 0, ""},
        {R"({"type":"panic","extra":[1,2]})", Kind::Panic, 0, ""},
        {R"({"type":"goto","cue":"12.5"})", Kind::GoToCue, 12.5, ""},
        {R"({"type":"goto","cue":3})", Kind::GoToCue, 3, ""},
        {R"({"type":"passcode","code":"4711"})", Kind::Passcode, 0, "4711"},
        {R"({"type":"goto","cue":"twelve"})", std::nullopt, 0, ""},
        {R"({"type":"goto","cue":"1e999"})", std::nullopt, 0, ""},
        {R"({"type":"goto"})", std::nullopt, 0, ""},
        {R"({"type":"passcode","code":4711})", std::nullopt, 0, ""},
        {R"({"type":"passcode","code":"1234567890123"})", std::nullopt, 0, ""},
        {R"({"type":"reboot"})", std::nullopt, 0, ""},
        {R"({"type":7})", std::nullopt, 0, ""},
        {R"(["go"])", std::nullopt, 0, ""},
        {R"({"type":"go")", std::nullopt, 0, ""},
        {"", std::nullopt, 0, ""},
        {"\xff\xfe{}", std::nullopt, 0, ""},
    };
    for (const auto& c : cases) {
        const auto parsed = WebRemoteRequest::parse(c.text);
        if (!c.kind) {
            ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << c.text;
            EXPECT_FALSE(std::get<std::string>(parsed).empty()) << c.text;
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<WebRemoteRequest>(parsed)) << c.text;
        const auto& request = std::get<WebRemoteRequest>(parsed);
        EXPECT_EQ(request.kind, *c.kind) << c.text;
        EXPECT_EQ(request.cue, c.cue) << c.text;
        EXPECT_EQ(request.code, c.code) << c.text;
    }
    // Deep nesting is refused without exhausting the stack.
    EXPECT_TRUE(std::holds_alternative<std::string>(
        WebRemoteRequest::parse(std::string(100000, '[') + std::string(100000, ']'))));
}

TEST(WebRemoteMessageTest, AStateSaysNoneAsNullAndKeepsBadTextReadable) {
    ShowState state;
    state.current = {"1", "Opening \xff"};
    state.warnings = {"media: 2 files are missing"};
    json idle = json::parse(web_remote::stateMessage(state, ShowState::Change::Go));
    EXPECT_EQ(idle["change"], "go");
    EXPECT_EQ(idle["current"]["id"], "1");
    EXPECT_EQ(idle["current"]["description"], "Opening \xef\xbf\xbd");
    EXPECT_TRUE(idle["fade"].is_null());
    EXPECT_TRUE(idle["movie"].is_null());
    EXPECT_TRUE(idle["autoIn"].is_null());
    EXPECT_EQ(idle["mode"], "standby");
    EXPECT_EQ(idle["warnings"].size(), 1U);

    state.fadeProgress = 0.25;
    state.fadeElapsed = 0.5;
    state.fadeRemaining = 1.5;
    state.movieElapsed = 3.0;
    state.movieRemaining = -1.0;
    state.mode = ShowState::Mode::Fading;
    json fading = json::parse(web_remote::stateMessage(state, ShowState::Change::Tick));
    EXPECT_EQ(fading["fade"]["progress"], 0.25);
    EXPECT_EQ(fading["fade"]["remaining"], 1.5);
    EXPECT_EQ(fading["movie"]["elapsed"], 3.0);
    EXPECT_TRUE(fading["movie"]["remaining"].is_null());
    EXPECT_EQ(fading["mode"], "fading");
}

// Counts what the server runs.
class CountingRunner final : public CueRunner {
public:
    void go(GoSource source) override {
        ++goes;
        lastSource = source;
    }
    void goToCue(double id, GoSource /*source*/) override { cues.push_back(id); }
    void panic() override { ++panics; }

    int goes = 0;
    int panics = 0;
    std::vector<double> cues;
    std::optional<GoSource> lastSource;
};

class FixedSource final : public ShowStateSource {
public:
    ShowState showState() const override { return state; }
    std::vector<Cue> showCues() const override { return {}; }
    std::vector<OutputSummary> showOutputs() const override { return {}; }
    ShowState state;
};

// Runs the default main context until `done`, or fails after `limit`.
template <typename Condition>
bool pumpUntil(Condition done, std::chrono::milliseconds limit = test::scaled(10s)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        g_main_context_iteration(nullptr, FALSE);
        ::poll(nullptr, 0, 1);
    }
    return true;
}

// A WebSocket client written by hand, so that it can also misbehave. Every
// wait runs the main context, where the server lives.
class RawClient {
public:
    // `receiveBuffer`, where given, fixes the socket's receive buffer (the
    // kernel otherwise grows it to megabytes for a reader that lags).
    explicit RawClient(std::uint16_t port, int receiveBuffer = 0) : port_(port) {
        fd_ = FileDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (receiveBuffer > 0) {
            ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ =
            ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::fcntl(fd_.get(), F_SETFL, O_NONBLOCK);
    }

    // Sends a raw HTTP request and returns the answer's status (0: none).
    int request(const std::string& text) {
        if (!connected_ || !sendAll(text)) return 0;
        pumpUntil([&] {
            readSome();
            return buffer_.find("\r\n\r\n") != std::string::npos || closed_;
        });
        const auto end = buffer_.find("\r\n\r\n");
        if (end == std::string::npos) return 0;
        head_ = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
        return head_.size() > 12 ? std::stoi(head_.substr(9, 3)) : 0;
    }

    int upgrade(const std::string& origin, const std::string& host = "") {
        const std::string hostHeader = host.empty() ? "127.0.0.1:" + std::to_string(port_) : host;
        return request(
            "GET /ws HTTP/1.1\r\nHost: " + hostHeader +
            "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
            (origin.empty() ? "" : "Origin: " + origin + "\r\n") + "\r\n");
    }

    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // One frame from the client, masked as a client's must be.
    bool sendFrame(std::uint8_t opcode, const std::string& payload) {
        std::string frame(1, static_cast<char>(0x80 | opcode));
        const std::size_t size = payload.size();
        if (size < 126) {
            frame += static_cast<char>(0x80 | size);
        } else {
            frame += static_cast<char>(0x80 | 126);
            frame += static_cast<char>((size >> 8) & 0xff);
            frame += static_cast<char>(size & 0xff);
        }
        const char mask[4] = {0x12, 0x34, 0x56, 0x78};
        frame.append(mask, 4);
        for (std::size_t k = 0; k < size; ++k)
            frame += static_cast<char>(payload[k] ^ mask[k % 4]);
        return sendAll(frame);
    }
    bool sendText(const std::string& text) { return sendFrame(0x1, text); }
    bool sendRaw(const std::string& bytes) { return sendAll(bytes); }

    // The next text message, or none once the connection closed or after
    // `limit`; a close frame's code goes to closeCode().
    std::optional<json> next(std::chrono::milliseconds limit = test::scaled(10s)) {
        std::optional<json> message;
        pumpUntil([&] { return (message = takeFrame()).has_value() || (closed_ && !hasFrame()); },
                  limit);
        return message;
    }
    // The next message of `type`, the others skipped.
    std::optional<json> nextOf(const std::string& type) {
        for (int k = 0; k < 100; ++k) {
            auto message = next();
            if (!message || (*message)["type"] == type) return message;
        }
        return std::nullopt;
    }
    bool waitClosed() {
        return pumpUntil([&] {
            while (takeFrame()) {
            }
            return closed_;
        });
    }
    std::optional<int> closeCode() const { return closeCode_; }
    bool connected() const { return connected_; }
    const std::string& head() const { return head_; }

private:
    bool sendAll(const std::string& data) {
        std::size_t sent = 0;
        return pumpUntil([&] {
                   const ssize_t n =
                       ::send(fd_.get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
                   if (n > 0) sent += static_cast<std::size_t>(n);
                   return sent == data.size() || (n < 0 && errno != EAGAIN);
               }) &&
               sent == data.size();
    }
    bool readSome() {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
            if (n > 0) {
                buffer_.append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || errno != EAGAIN) closed_ = true;
            return true;
        }
    }
    bool hasFrame() const { return buffer_.size() >= 2; }
    // Unmasked server frames only; pings are skipped, a close frame ends.
    std::optional<json> takeFrame() {
        readSome();
        for (;;) {
            if (buffer_.size() < 2) return std::nullopt;
            const auto opcode = static_cast<std::uint8_t>(buffer_[0]) & 0x0f;
            std::size_t size = static_cast<std::uint8_t>(buffer_[1]) & 0x7f;
            std::size_t header = 2;
            if (size == 126) {
                if (buffer_.size() < 4) return std::nullopt;
                size = (static_cast<std::uint8_t>(buffer_[2]) << 8) |
                       static_cast<std::uint8_t>(buffer_[3]);
                header = 4;
            } else if (size == 127) {
                if (buffer_.size() < 10) return std::nullopt;
                size = 0;
                for (int k = 2; k < 10; ++k)
                    size = (size << 8) | static_cast<std::uint8_t>(buffer_[k]);
                header = 10;
            }
            if (buffer_.size() < header + size) return std::nullopt;
            const std::string payload = buffer_.substr(header, size);
            buffer_.erase(0, header + size);
            if (opcode == 0x8) {
                if (payload.size() >= 2) {
                    closeCode_ = (static_cast<std::uint8_t>(payload[0]) << 8) |
                                 static_cast<std::uint8_t>(payload[1]);
                }
                closed_ = true;
                return std::nullopt;
            }
            if (opcode == 0x1) return json::parse(payload, nullptr, false);
        }
    }

    std::uint16_t port_;
    FileDescriptor fd_;
    bool connected_ = false;
    bool closed_ = false;
    std::string buffer_;
    std::string head_;
    std::optional<int> closeCode_;
};

class WebRemoteServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.listen("127.0.0.1", 0, &error)) << error;
        port_ = server_.port();
        ASSERT_NE(port_, 0);
    }
    // A page connected from this machine, past its hello and first state.
    std::unique_ptr<RawClient> connect() {
        auto client = std::make_unique<RawClient>(port_);
        EXPECT_EQ(client->upgrade(client->origin()), 101);
        EXPECT_EQ(client->nextOf("state").value_or(json())["type"], "state");
        return client;
    }

    std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::now();
    CountingRunner runner_;
    FixedSource source_;
    WebRemoteServer server_{runner_, source_, [this] { return now_; }};
    std::uint16_t port_ = 0;
};

TEST_F(WebRemoteServerTest, ServesOnlyThePageAndOnlyToReaders) {
    const struct {
        const char* request;
        int status;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 200},
        {"HEAD /remote.js HTTP/1.1\r\nHost: x\r\n\r\n", 200},
        {"GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET /web-remote.gresource.xml HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nhi", 405},
    };
    for (const auto& c : cases) {
        RawClient client(port_);
        EXPECT_EQ(client.request(c.request), c.status) << c.request;
        if (c.status == 200) {
            EXPECT_NE(client.head().find("Content-Security-Policy: default-src 'self'"),
                      std::string::npos);
        }
    }
}

TEST_F(WebRemoteServerTest, OnlyThisMachinesOwnPagesOrThePasscodeMayControlTheShow) {
    const std::string local = "127.0.0.1:" + std::to_string(port_);
    const struct {
        const char* passcode;
        std::string host;
        bool control;
    } cases[] = {
        {"", local, true},
        {"", "localhost:" + std::to_string(port_), true},
        // Another site's name rebound to loopback is not this machine's page.
        {"", "show.example:" + std::to_string(port_), false},
        {"4711", local, false},
    };
    for (const auto& c : cases) {
        server_.setPasscode(c.passcode);
        RawClient client(port_);
        ASSERT_EQ(client.upgrade("http://" + c.host, c.host), 101) << c.host;
        const auto hello = client.next();
        ASSERT_TRUE(hello) << c.host;
        EXPECT_EQ((*hello)["control"], c.control) << c.host;
        EXPECT_EQ((*hello)["passcode"], *c.passcode != '\0') << c.host;
        const int goes = runner_.goes;
        client.sendText(R"({"type":"go"})");
        if (!c.control) {
            EXPECT_EQ(client.nextOf("error").value_or(json())["type"], "error");
        }
        ASSERT_TRUE(pumpUntil([&] { return !c.control || runner_.goes == goes + 1; }));
        EXPECT_EQ(runner_.goes, goes + (c.control ? 1 : 0)) << c.host;
    }
    EXPECT_EQ(runner_.lastSource, GoSource::Web);
}

TEST_F(WebRemoteServerTest, ThePasscodeGivesControlAndWrongTriesWaitLongerEachTime) {
    server_.setPasscode("4711");
    auto client = connect();
    const std::string wrong = R"({"type":"passcode","code":"1234"})";
    client->sendText(wrong);
    EXPECT_EQ(client->nextOf("error").value_or(json())["message"], "wrong passcode");
    client->sendText(R"({"type":"passcode","code":"4711"})");
    EXPECT_EQ(client->nextOf("error").value_or(json())["message"], "wait 1 s before the next try");
    now_ += 1s;
    client->sendText(wrong);
    EXPECT_EQ(client->nextOf("error").value_or(json())["message"], "wrong passcode");
    now_ += 1s;
    client->sendText(R"({"type":"passcode","code":"4711"})");
    EXPECT_EQ(client->nextOf("error").value_or(json())["message"], "wait 1 s before the next try");
    now_ += 1s;
    client->sendText(R"({"type":"passcode","code":"4711"})");
    EXPECT_EQ(client->nextOf("control").value_or(json())["control"], true);
    client->sendText(R"({"type":"goto","cue":"2.5"})");
    client->sendText(R"({"type":"panic"})");
    ASSERT_TRUE(pumpUntil([&] { return runner_.panics == 1; }));
    EXPECT_EQ(runner_.cues, std::vector<double>{2.5});
    // A new passcode takes control back.
    server_.setPasscode("8888");
    EXPECT_EQ(client->nextOf("control").value_or(json())["control"], false);
}

TEST_F(WebRemoteServerTest, StatesReachEveryPageAndBadMessagesChangeNothing) {
    auto first = connect();
    auto second = connect();
    ShowState state;
    state.current = {"3", "Storm"};
    server_.showStateChanged(state, ShowState::Change::Go);
    for (RawClient* client : {first.get(), second.get()}) {
        const auto message = client->nextOf("state");
        ASSERT_TRUE(message);
        EXPECT_EQ((*message)["change"], "go");
        EXPECT_EQ((*message)["current"]["id"], "3");
    }
    for (const char* bad : {"not json", R"({"type":"reboot"})", R"({"type":"goto","cue":"x"})"}) {
        first->sendText(bad);
        EXPECT_EQ(first->nextOf("error").value_or(json())["type"], "error") << bad;
    }
    first->sendFrame(0x2, "binary");
    EXPECT_EQ(first->nextOf("error").value_or(json())["message"], "messages are JSON text");
    EXPECT_EQ(runner_.goes + runner_.panics + static_cast<int>(runner_.cues.size()), 0);
    // Over the rate: the burst is taken, the rest refused.
    now_ += 10s;
    for (int k = 0; k < 45; ++k)
        first->sendText(R"({"type":"go"})");
    int refused = 0;
    while (runner_.goes + refused < 45) {
        const auto message = first->next();
        ASSERT_TRUE(message);
        if ((*message)["type"] == "error") ++refused;
    }
    EXPECT_EQ(runner_.goes, 40);
    // A frame over 4 KiB, and frames that break the protocol, close that
    // page's connection and only that one. (A close frame may be lost: the
    // server cuts a connection whose frame it will not read.)
    first->sendText(std::string(5000, 'x'));
    ASSERT_TRUE(first->waitClosed());
    for (const std::string& broken :
         {std::string("\x81\x02hi", 4),                                         // not masked
          std::string("\x83\x80\0\0\0\0", 6),                                   // no such opcode
          std::string("\x89\xfe\x01\0\0\0\0\0", 8) + std::string(256, 'p')}) {  // a long ping
        auto page = connect();
        page->sendRaw(broken);
        EXPECT_TRUE(page->waitClosed()) << static_cast<int>(broken[0]);
    }
    server_.showStateChanged(state, ShowState::Change::Edit);
    EXPECT_EQ(second->nextOf("state").value_or(json())["change"], "edit");
    EXPECT_TRUE(pumpUntil([&] { return server_.clientCount() == 1; })) << server_.clientCount();
}

TEST_F(WebRemoteServerTest, OtherSitesAndPagesPastTheLimitAreRefusedAndLeaveNothingBehind) {
    const auto openDescriptors = [] {
        int count = 0;
        if (DIR* folder = ::opendir("/proc/self/fd")) {
            while (::readdir(folder) != nullptr)
                ++count;
            ::closedir(folder);
        }
        return count;
    };
    {
        RawClient client(port_);
        EXPECT_EQ(client.upgrade("http://evil.example"), 403);
    }
    // `count` pages at once, then all gone: how many were taken and refused.
    const auto crowd = [&](int count) {
        std::pair<int, int> result;
        {
            std::vector<std::unique_ptr<RawClient>> clients;
            for (int k = 0; k < count; ++k) {
                clients.push_back(std::make_unique<RawClient>(port_));
                const int status = clients.back()->upgrade(clients.back()->origin());
                result.first += status == 101;
                result.second += status == 503;
            }
            EXPECT_EQ(server_.clientCount(), static_cast<std::size_t>(result.first));
        }
        EXPECT_TRUE(pumpUntil([&] { return server_.clientCount() == 0; }));
        return result;
    };
    // The first crowd also makes what the libraries keep for good (their
    // threads' wake-up descriptors, say).
    crowd(70);
    const int before = openDescriptors();
    const auto [accepted, refused] = crowd(200);
    EXPECT_EQ(accepted, static_cast<int>(WebRemoteServer::kMaxClients));
    EXPECT_EQ(refused, 200 - accepted);
    ASSERT_TRUE(pumpUntil([&] { return openDescriptors() <= before; }))
        << openDescriptors() << " descriptors open, " << before << " before";
}

TEST_F(WebRemoteServerTest, APageThatStopsReadingIsHeldBackThenClosed) {
    RawClient stalled(port_, 4096);
    ASSERT_EQ(stalled.upgrade(stalled.origin()), 101);
    auto reader = connect();
    ShowState state;
    state.warnings.assign(20, std::string(1000, 'w'));
    // Until the socket's buffers are full and states are kept back steadily;
    // the stalled page reads none.
    for (int k = 0; k < 20000 && server_.statesHeldBack() < 100; ++k) {
        state.current.id = std::to_string(k);
        server_.showStateChanged(state, ShowState::Change::Tick);
        for (int n = 0; n < 5; ++n)
            g_main_context_iteration(nullptr, FALSE);
        while (reader->next(0ms)) {
        }
    }
    ASSERT_GE(server_.statesHeldBack(), 100U);
    EXPECT_EQ(server_.clientCount(), 2U);
    now_ += WebRemoteClient::kStalledLimit;
    ASSERT_TRUE(pumpUntil([&] { return server_.clientCount() == 1; }));
    // The page that reads still gets the newest state.
    state.current.id = "last";
    server_.showStateChanged(state, ShowState::Change::Go);
    std::optional<json> message;
    while ((message = reader->nextOf("state")) && (*message)["current"]["id"] != "last") {
    }
    ASSERT_TRUE(message);
}

}  // namespace
}  // namespace bw
