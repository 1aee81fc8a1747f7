// UDP datagrams delivered per second to a delegate on the main queue, against
// the floor: a plain blocking recvfrom loop on a socket of the same kind.
//
// Each round runs both receivers against the same sender: another thread with
// a plain blocking socket that sends kDatagrams datagrams of kPayloadBytes
// (the size of a small OSC message) to 127.0.0.1 as fast as it can. Datagrams
// the receiver cannot keep up with are dropped by the kernel, so the rate is
// what the receiver took in: datagrams received divided by the time from the
// first send to the last receipt. A receiver stops when it has everything or
// nothing has come for kQuietEnd after the sender finished. Figures are medians
// over kRounds rounds after one warm-up.
//
// Where the one sender is the bottleneck both receivers take in everything and
// the rates match; the CPU time that receiving costs per datagram (the
// process's CPU time less the sender thread's) then shows what each spends.

#include <glib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/FileDescriptor.h"
#include "platform/MainQueue.h"
#include "remote/net/AsyncUdpSocket.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kDatagrams = 200000;
constexpr std::size_t kPayloadBytes = 32;
constexpr int kRounds = 7;
constexpr auto kQuietEnd = 200ms;
constexpr auto kRoundLimit = 20s;
// As the socket layer sizes its receive buffers.
constexpr int kReceiveBufferBytes = 1 << 20;

struct Result {
    int received = 0;
    double seconds = 0;
    double receiveCpuSeconds = 0;
    double perSecond() const { return seconds > 0 ? received / seconds : 0; }
    double cpuMicrosecondsEach() const {
        return received > 0 ? 1e6 * receiveCpuSeconds / received : 0;
    }
};

double cpuSecondsOf(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Sends the datagrams from its own thread; `started` and `finished` are set
// around the sending.
class Sender {
public:
    explicit Sender(std::uint16_t port) {
        thread_ = std::thread([this, port] {
            bw::FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            std::vector<std::uint8_t> payload(kPayloadBytes, 0x2f);
            const double cpuBefore = cpuSecondsOf(CLOCK_THREAD_CPUTIME_ID);
            started = Clock::now();
            for (int i = 0; i < kDatagrams; ++i) {
                ::sendto(fd.get(), payload.data(), payload.size(), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
            }
            cpuSeconds_ = cpuSecondsOf(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
            finished = true;
        });
    }
    ~Sender() { thread_.join(); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Read once `finished` is set.
    Clock::time_point started;
    double sendCpuSeconds() const { return cpuSeconds_; }
    std::atomic<bool> finished{false};

private:
    double cpuSeconds_ = 0;
    std::thread thread_;
};

Result floorRound() {
    bw::FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int size = kReceiveBufferBytes;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    timeval quiet{0, std::chrono::microseconds(kQuietEnd).count()};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    socklen_t length = sizeof any;
    ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&any), &length);

    Result result;
    Clock::time_point last;
    Clock::time_point firstSend;
    const double cpuBefore = cpuSecondsOf(CLOCK_PROCESS_CPUTIME_ID);
    {
        Sender sender(ntohs(any.sin_port));
        std::vector<std::uint8_t> buffer(bw::AsyncUdpSocket::kMaxDatagramBytes);
        const auto limit = Clock::now() + kRoundLimit;
        while (result.received < kDatagrams && Clock::now() < limit) {
            sockaddr_storage from{};
            socklen_t fromLength = sizeof from;
            const ssize_t count = ::recvfrom(fd.get(), buffer.data(), buffer.size(), 0,
                                             reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (count >= 0) {
                ++result.received;
                last = Clock::now();
            } else if (sender.finished) {
                break;  // quiet for kQuietEnd after the last send
            }
        }
        while (!sender.finished)
            std::this_thread::sleep_for(1ms);
        firstSend = sender.started;
        result.receiveCpuSeconds =
            cpuSecondsOf(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore - sender.sendCpuSeconds();
    }
    result.seconds = std::chrono::duration<double>(last - firstSend).count();
    return result;
}

class Counter : public bw::AsyncUdpSocketDelegate {
public:
    void udpSocketDidReceiveData(bw::AsyncUdpSocket&, std::span<const std::uint8_t> data,
                                 const bw::SocketAddress&) override {
        bytes += data.size();
        ++received;
        last = Clock::now();
    }
    int received = 0;
    std::size_t bytes = 0;
    Clock::time_point last;
};

gboolean tick(gpointer) {
    return G_SOURCE_CONTINUE;  // only wakes the loop so that it checks its end
}

Result oursRound() {
    bw::MainQueue& queue = bw::MainQueue::shared();
    Counter counter;
    bw::AsyncUdpSocket socket(&counter, queue);
    bw::SocketError error;
    if (!socket.bindToPort(0, &error) || !socket.beginReceiving(&error)) {
        std::fprintf(stderr, "bench_udp_receive: %s\n", error.fullDescription().c_str());
        std::exit(1);
    }
    GSource* ticker = g_timeout_source_new(20);
    g_source_set_callback(ticker, &tick, nullptr, nullptr);
    g_source_attach(ticker, queue.context());

    Result result;
    Clock::time_point firstSend;
    const double cpuBefore = cpuSecondsOf(CLOCK_PROCESS_CPUTIME_ID);
    {
        Sender sender(socket.localPort());
        const auto limit = Clock::now() + kRoundLimit;
        // Blocking iterations, as the application's main loop runs.
        while (counter.received < kDatagrams && Clock::now() < limit) {
            g_main_context_iteration(queue.context(), TRUE);
            if (sender.finished &&
                Clock::now() - std::max(counter.last, sender.started) > kQuietEnd) {
                break;
            }
        }
        while (!sender.finished)
            std::this_thread::sleep_for(1ms);
        firstSend = sender.started;
        result.receiveCpuSeconds =
            cpuSecondsOf(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore - sender.sendCpuSeconds();
    }
    g_source_destroy(ticker);
    g_source_unref(ticker);
    socket.close();
    queue.drain();
    result.received = counter.received;
    result.seconds = std::chrono::duration<double>(counter.last - firstSend).count();
    return result;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    bw::MainQueue::shared();
    std::printf(
        "%d datagrams of %zu bytes per round, sent as fast as one thread can;\n"
        "median of %d rounds after one warm-up\n\n",
        kDatagrams, kPayloadBytes, kRounds);
    floorRound();
    oursRound();
    std::vector<double> floorRates, oursRates, ratios, floorShares, oursShares, floorCpu, oursCpu,
        cpuRatios;
    for (int round = 0; round < kRounds; ++round) {
        const Result floor = floorRound();
        const Result ours = oursRound();
        floorRates.push_back(floor.perSecond());
        oursRates.push_back(ours.perSecond());
        ratios.push_back(ours.perSecond() / floor.perSecond());
        floorShares.push_back(100.0 * floor.received / kDatagrams);
        oursShares.push_back(100.0 * ours.received / kDatagrams);
        floorCpu.push_back(floor.cpuMicrosecondsEach());
        oursCpu.push_back(ours.cpuMicrosecondsEach());
        cpuRatios.push_back(ours.cpuMicrosecondsEach() / floor.cpuMicrosecondsEach());
    }
    std::printf("%-44s %12.0f /s  (%5.1f%% received)\n", "floor: blocking recvfrom loop",
                median(floorRates), median(floorShares));
    std::printf("%-44s %12.0f /s  (%5.1f%% received)\n",
                "ours: AsyncUdpSocket to main-queue delegate", median(oursRates),
                median(oursShares));
    std::printf("%-44s %12.2fx\n", "rate ratio ours / floor (median over rounds)", median(ratios));
    std::printf("\nCPU time spent receiving, per datagram:\n");
    std::printf("%-44s %12.2f us\n", "floor", median(floorCpu));
    std::printf("%-44s %12.2f us\n", "ours (I/O thread + main thread)", median(oursCpu));
    std::printf("%-44s %12.2fx\n", "cost ratio ours / floor (median over rounds)",
                median(cpuRatios));
    return 0;
}
