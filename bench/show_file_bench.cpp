// Times ShowFile::encode and ShowFile::decode of a large show against the JSON
// library alone (parse and dump of the same bytes), measured in the same run.
//
// The show: 5,000 cues over 8 outputs, about half the states playing one of a
// few dozen media files that really exist in subfolders next to the show file,
// so decode's file checks run as they would for a real show. Each figure is the
// median of kRepetitions runs after one warm-up.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "show/ShowFile.h"

namespace {

using bw::Cue;
using bw::DecodedShow;
using bw::MediaOutputState;
using bw::MediaURL;
using bw::OutputConfig;
using bw::ShowFile;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kCueCount = 5000;
constexpr int kOutputCount = 8;
constexpr int kRepetitions = 15;

// A scratch folder that is removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "bw-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

struct Show {
    std::vector<OutputConfig> outputs;
    std::vector<Cue> cues;
};

// Creates the media files (empty: decode only checks that they exist) and
// returns their absolute paths.
std::vector<std::string> makeMediaFiles(const fs::path& showFolder) {
    struct Folder {
        const char* name;
        const char* prefix;
        const char* extension;
        int count;
    };
    const Folder folders[] = {
        {"media/loops", "loop", ".mov", 12},
        {"media/stills", "still", ".png", 14},
        {"media/clips", "clip", ".mp4", 10},
        // A space and non-ASCII, as people name folders.
        {"media/Akt 2 – Bühne", "szene", ".mov", 6},
    };
    std::vector<std::string> files;
    for (const Folder& folder : folders) {
        fs::create_directories(showFolder / folder.name);
        for (int k = 1; k <= folder.count; ++k) {
            fs::path file =
                showFolder / folder.name /
                (std::string(folder.prefix) + "-" + std::to_string(k) + folder.extension);
            std::ofstream(file).flush();
            files.push_back(file.string());
        }
    }
    return files;
}

Show makeShow(const std::vector<std::string>& mediaFiles) {
    const char* const words[] = {"House",   "lights",   "fade",         "Prologue", "storm",
                                 "Café",    "scene",    "blackout",     "Ende",     "Applaus",
                                 "舞台",    "rain",     "Überblendung", "sunrise",  "city",
                                 "montage", "interval", "bows"};
    const double fades[] = {0.0, 0.5, 1.0, 2.0, 3.0, 3.0, 3.0, 5.0, 8.0, 12.5};
    const MediaURL generators[] = {MediaURL::generator(MediaURL::Generator::Black),
                                   MediaURL::generator(MediaURL::Generator::Clear),
                                   MediaURL::generator(MediaURL::Generator::Grid)};

    std::mt19937 random(20240611);  // fixed, so every run times the same show
    auto pick = [&random](std::size_t count) {
        return std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
    };
    auto chance = [&random](double p) { return std::bernoulli_distribution(p)(random); };

    Show show;
    for (int k = 1; k <= kOutputCount; ++k) {
        show.outputs.push_back({"Screen " + std::to_string(k), 1920, 1080});
    }
    for (int i = 1; i <= kCueCount; ++i) {
        Cue cue;
        // Now and then a cue inserted between two whole numbers, as an operator does.
        cue.id = i % 20 == 0 ? i - 0.5 : i % 97 == 0 ? i + 0.25 : i;
        show.cues.push_back(cue);
    }
    for (Cue& cue : show.cues) {
        std::size_t wordCount = 2 + pick(4);
        for (std::size_t w = 0; w < wordCount; ++w) {
            if (w > 0) cue.description += ' ';
            cue.description += words[pick(std::size(words))];
        }
        if (chance(0.05)) cue.description.clear();
        cue.fadeLength = fades[pick(std::size(fades))];
        for (int j = 0; j < kOutputCount; ++j) {
            MediaOutputState state;
            if (chance(0.5)) {
                state.mediaURL = MediaURL::fileURL(mediaFiles[pick(mediaFiles.size())]);
            } else {
                state.mediaURL = generators[pick(std::size(generators))];
            }
            state.muted = chance(0.7);
            state.looped = chance(0.6);
            state.kenBurns = chance(0.15);
            cue.outputStates.push_back(state);
        }
    }
    return show;
}

// The same show with every file replaced by a generator.
Show withoutFiles(Show show) {
    for (Cue& cue : show.cues) {
        for (MediaOutputState& state : cue.outputStates) {
            if (state.mediaURL.isFileURL()) {
                state.mediaURL = MediaURL::generator(MediaURL::Generator::Grid);
            }
        }
    }
    return show;
}

std::size_t fileStateCount(const Show& show) {
    std::size_t count = 0;
    for (const Cue& cue : show.cues) {
        for (const MediaOutputState& state : cue.outputStates) {
            count += state.mediaURL.isFileURL() ? 1 : 0;
        }
    }
    return count;
}

// One timed piece of work and its samples, one per round, in milliseconds.
struct Measurement {
    const char* label;
    std::function<void()> body;
    std::vector<double> samples;
};

// Runs every measurement once to warm up, then kRepetitions rounds of each in
// turn, so a noisy spell on the machine hits all of them alike rather than one.
void measure(std::vector<Measurement>& measurements) {
    for (Measurement& m : measurements)
        m.body();
    for (int round = 0; round < kRepetitions; ++round) {
        for (Measurement& m : measurements) {
            auto start = Clock::now();
            m.body();
            m.samples.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The median over rounds of what `combine` makes of each round's samples.
double medianPerRound(const std::function<double(std::size_t round)>& combine) {
    std::vector<double> values;
    for (std::size_t round = 0; round < static_cast<std::size_t>(kRepetitions); ++round) {
        values.push_back(combine(round));
    }
    return median(values);
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bench_show_file: %s\n", what.c_str());
    std::exit(1);
}

std::string encodeOrFail(const Show& show, const std::string& showPath) {
    auto encoded = ShowFile::encode(show.outputs, show.cues, showPath);
    if (!encoded.ok) fail("encode failed: " + encoded.failure);
    return std::move(encoded.json);
}

DecodedShow decodeOrFail(const std::string& bytes, const std::string& showPath) {
    DecodedShow decoded = ShowFile::decode(bytes, showPath);
    if (decoded.status != DecodedShow::Status::Decoded) fail("decode failed: " + decoded.failure);
    return decoded;
}

void printLine(const char* label, double ms) {
    std::printf("%-46s %9.2f ms\n", label, ms);
}

void printRatio(const char* label, double ratio) {
    std::printf("%-46s %9.2fx\n", label, ratio);
}

void printPercent(const char* label, double share) {
    std::printf("%-46s %9.0f%%\n", label, 100.0 * share);
}

}  // namespace

int main() {
    ScratchFolder scratch;
    const fs::path showFolder = scratch.path() / "Spring Gala";
    fs::create_directories(showFolder);
    const std::string showPath = (showFolder / "Spring Gala.bwshow").string();

    const Show show = makeShow(makeMediaFiles(showFolder));
    const Show generatorShow = withoutFiles(show);
    const std::string bytes = encodeOrFail(show, showPath);
    const std::string generatorBytes = encodeOrFail(generatorShow, showPath);

    // What is timed must be what a real load gets: the whole show back, files found.
    DecodedShow check = decodeOrFail(bytes, showPath);
    if (check.outputs != show.outputs || check.cues != show.cues) {
        fail("the show does not read back as it was written");
    }

    std::printf("show: %d cues x %d outputs, %zu file states, %zu bytes (%zu without files)\n",
                kCueCount, kOutputCount, fileStateCount(show), bytes.size(), generatorBytes.size());
    std::printf("median of %d runs after one warm-up\n\n", kRepetitions);

    std::size_t sink = 0;  // keeps results alive so no work is skipped
    // The floor parses, dumps what it parsed and frees it, timing each step;
    // the steps of the warm-up run are dropped after measuring. Decode frees
    // the document it parsed too, so freeing counts with parsing.
    std::vector<double> floorParseMs;
    std::vector<double> floorDumpMs;
    std::vector<double> floorFreeMs;
    auto parseThenDump = [&] {
        auto ms = [](Clock::time_point from, Clock::time_point to) {
            return std::chrono::duration<double, std::milli>(to - from).count();
        };
        auto start = Clock::now();
        Clock::time_point parsed;
        Clock::time_point dumped;
        {
            nlohmann::json document = nlohmann::json::parse(bytes);
            parsed = Clock::now();
            sink += document.dump().size();
            dumped = Clock::now();
        }
        auto freed = Clock::now();
        floorParseMs.push_back(ms(start, parsed));
        floorDumpMs.push_back(ms(parsed, dumped));
        floorFreeMs.push_back(ms(dumped, freed));
    };

    enum Index { Encode, Decode, ParseDump, DecodeGenerators, ParseGenerators };
    std::vector<Measurement> m{
        {"encode", [&] { sink += encodeOrFail(show, showPath).size(); }, {}},
        {"decode", [&] { sink += decodeOrFail(bytes, showPath).cues.size(); }, {}},
        {"floor: json parse + dump", parseThenDump, {}},
        {"decode, files replaced by generators",
         [&] { sink += decodeOrFail(generatorBytes, showPath).cues.size(); },
         {}},
        {"json parse, files replaced by generators",
         [&] { sink += nlohmann::json::parse(generatorBytes).size(); },
         {}},
    };
    measure(m);
    for (auto* steps : {&floorParseMs, &floorDumpMs, &floorFreeMs})
        steps->erase(steps->begin());
    auto at = [&m](Index i, std::size_t round) { return m[i].samples[round]; };
    auto parseAt = [&](std::size_t round) { return floorParseMs[round] + floorFreeMs[round]; };
    auto dumpAt = [&](std::size_t round) { return floorDumpMs[round]; };

    for (const Measurement& each : m) {
        printLine(each.label, median(each.samples));
        if (&each == &m[ParseDump]) {
            printLine("  of which json parse", median(floorParseMs));
            printLine("  of which json dump", median(floorDumpMs));
            printLine("  of which freeing the document", median(floorFreeMs));
        }
    }
    std::printf("\nratios, each the median over rounds:\n");
    printRatio("decode / (parse + free)",
               medianPerRound([&](std::size_t r) { return at(Decode, r) / parseAt(r); }));
    printRatio("encode / dump",
               medianPerRound([&](std::size_t r) { return at(Encode, r) / dumpAt(r); }));
    printRatio("(encode + decode) / (parse + dump + free)", medianPerRound([&](std::size_t r) {
                   return (at(Encode, r) + at(Decode, r)) / at(ParseDump, r);
               }));
    printRatio("decode / parse, files replaced", medianPerRound([&](std::size_t r) {
                   return at(DecodeGenerators, r) / at(ParseGenerators, r);
               }));
    // What decode spends beyond parsing, less what it spends beyond parsing
    // when there are no files: the cost of the file media.
    printPercent("share of decode spent on file media", medianPerRound([&](std::size_t r) {
                     double over = at(Decode, r) - parseAt(r);
                     double overWithoutFiles = at(DecodeGenerators, r) - at(ParseGenerators, r);
                     return (over - overWithoutFiles) / at(Decode, r);
                 }));

    return sink == 0 ? 1 : 0;
}
