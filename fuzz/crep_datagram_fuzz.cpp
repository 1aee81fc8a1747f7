// Feeds arbitrary bytes to the CREP endpoint as datagrams. A command reaches
// the delegate exactly when the datagram carries the header, the 4 free bytes
// and UTF-8 text, and then it is exactly the bytes after offset 10.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "platform/MainQueue.h"
#include "platform/Utf8.h"
#include "remote/CREP.h"
#include "remote/CREPDelegate.h"

namespace {

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "crep_datagram_fuzz: %s\n", what);
    __builtin_trap();
}

class Recorder : public bw::CREPDelegate {
public:
    void commandReceived(const std::string& text) override {
        ++count;
        last = text;
    }
    int count = 0;
    std::string last;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::ostringstream out;
    static bw::CREP endpoint(0, bw::MainQueue::shared(), out);  // an ephemeral port
    static auto recorder = [] {
        auto r = std::make_shared<Recorder>();
        endpoint.setDelegate(r);
        return r;
    }();

    const int before = recorder->count;
    const std::uint8_t seq = endpoint.seqBkwd();
    endpoint.handleDatagram({data, size});
    check(endpoint.seqBkwd() == static_cast<std::uint8_t>(seq + 1), "seq_bkwd did not count");

    const bool hasHeader =
        size >= bw::CREP::kTextOffset &&
        std::memcmp(data, bw::CREP::kHeader.data(), bw::CREP::kHeader.size()) == 0;
    const std::string text = hasHeader ? std::string(reinterpret_cast<const char*>(data) + 10,
                                                     size - bw::CREP::kTextOffset)
                                       : std::string();
    const bool accepted = hasHeader && bw::isUtf8(text);
    check(recorder->count == before + (accepted ? 1 : 0), "delivered when it must not, or not");
    if (accepted) check(recorder->last == text, "the command text differs from the datagram");
    return 0;
}
