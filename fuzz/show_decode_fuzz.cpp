// Feeds arbitrary bytes to ShowFile::decode. Whatever decodes must save with
// ShowFile::encode and read back as the same show.
//
// The show folder holds a few real media files (and a folder where a file is
// expected), so the paths that find media, fall back to the saved location or
// keep a missing file all run.

#include <sys/stat.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "sharing/NetworkStream.h"
#include "show/ShowFile.h"

namespace {

using bw::Cue;
using bw::DecodedShow;
using bw::ShowFile;

constexpr const char* kFolder = "/tmp/beamwright-fuzz";
constexpr const char* kShowPath = "/tmp/beamwright-fuzz/show.bwshow";
constexpr const char* kCopyPath = "/tmp/beamwright-fuzz/copy.bwshow";

void check(bool holds, const char* what, std::size_t index = 0) {
    if (holds) return;
    std::fprintf(stderr, "show_decode_fuzz: %s (index %zu)\n", what, index);
    __builtin_trap();
}

void makeMediaFiles() {
    const std::string folder = kFolder;
    for (const char* sub : {"", "/media", "/media/stills", "/Saved", "/Saved/media", "/a folder"}) {
        ::mkdir((folder + sub).c_str(), 0755);
    }
    for (const char* file : {"/loop.mov", "/media/loop.mov", "/media/stills/still.png",
                             "/Saved/media/only-here.mov", "/Bühne.mov"}) {
        std::ofstream(folder + file).flush();
    }
}

bool allNumbersFinite(const DecodedShow& show) {
    for (const Cue& cue : show.cues) {
        if (!std::isfinite(cue.id) || !std::isfinite(cue.fadeLength)) return false;
    }
    return true;
}

void checkNothingToInstall(const DecodedShow& show) {
    check(show.outputs.empty() && show.cues.empty(), "a show that did not decode has content");
    check(!show.failure.empty(), "a show that did not decode gives no reason");
}

void checkShape(const DecodedShow& show) {
    for (std::size_t k = 0; k < show.outputs.size(); ++k) {
        const auto& output = show.outputs[k];
        check(output.width >= 1 && output.width <= 16384, "output width out of range", k);
        check(output.height >= 1 && output.height <= 16384, "output height out of range", k);
        // A stream's URL is the operator's text: it reads as an address or
        // is refused with a reason, never anything between.
        if (output.stream) {
            std::string why;
            const std::optional<bw::StreamAddress> address =
                bw::StreamAddress::parse(output.stream->url, why);
            check(address ? address->port >= 1 && address->port <= 65535 : !why.empty(),
                  "a stream URL read to no port, or was refused without a reason", k);
            check(output.stream->bitrateKbps >= 0, "a stream bitrate below 0", k);
        }
    }
    for (std::size_t i = 0; i < show.cues.size(); ++i) {
        check(show.cues[i].outputStates.size() == show.outputs.size(),
              "a cue's state count differs from the output count", i);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    makeMediaFiles();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const DecodedShow first = ShowFile::decode(bytes, kShowPath);
    if (first.status != DecodedShow::Status::Decoded) {
        checkNothingToInstall(first);
        return 0;
    }
    checkShape(first);

    // The JSON parser refuses numbers beyond the range of a double, so every
    // decoded number is finite, and nothing else may stop a decoded show saving.
    check(allNumbersFinite(first), "decode produced a non-finite cue number");
    const auto encoded = ShowFile::encode(first.outputs, first.cues, kCopyPath);
    if (!encoded.ok) std::fprintf(stderr, "encode: %s\n", encoded.failure.c_str());
    check(encoded.ok, "a decoded show does not encode");

    const DecodedShow second = ShowFile::decode(encoded.json, kCopyPath);
    check(second.status == DecodedShow::Status::Decoded, "an encoded show does not decode");
    checkShape(second);
    check(second.savedLocation == std::optional<std::string>(kCopyPath),
          "the saved location is not the path written to");
    check(second.outputs == first.outputs, "outputs differ after a round trip");
    check(second.cues.size() == first.cues.size(), "cue count differs after a round trip");
    for (std::size_t i = 0; i < first.cues.size(); ++i) {
        const Cue& a = first.cues[i];
        const Cue& b = second.cues[i];
        check(a.id == b.id, "cue ID differs after a round trip", i);
        check(a.fadeLength == b.fadeLength, "fade length differs after a round trip", i);
        check(a.description == b.description, "description differs after a round trip", i);
        check(
            a.preWait == b.preWait && a.continueMode == b.continueMode && a.postWait == b.postWait,
            "cue timing differs after a round trip", i);
        check(a.preWait >= 0.0 && a.postWait >= 0.0, "a decoded wait is below zero", i);
        // Files are written relative to the copy and resolve against it to the
        // same absolute path, found or not, so whole states compare equal.
        for (std::size_t j = 0; j < a.outputStates.size(); ++j) {
            if (a.outputStates[j] == b.outputStates[j]) continue;
            std::fprintf(stderr, "cue %zu output %zu: \"%s\" became \"%s\"\n", i, j,
                         a.outputStates[j].mediaURL.absoluteString().c_str(),
                         b.outputStates[j].mediaURL.absoluteString().c_str());
            check(false, "output state differs after a round trip", i);
        }
    }
    return 0;
}
