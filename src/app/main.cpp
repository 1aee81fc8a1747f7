// Beamwright's command line. For now it offers the operator's show check;
// the player itself starts from here once it exists.
#include <cstring>
#include <iostream>
#include <string_view>

#include "show/ShowCheck.h"

namespace {

constexpr std::string_view kUsage =
    "usage: beamwright --check SHOW.bwshow\n"
    "  --check FILE   decode FILE as a load would and list its outputs, cues and media\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0) {
        return bw::ShowCheck::run(argv[2], std::cout, std::cerr);
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << kUsage;
        return 0;
    }
    std::cerr << kUsage;
    return 64;  // EX_USAGE
}
