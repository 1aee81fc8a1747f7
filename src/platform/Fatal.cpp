#include "platform/Fatal.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/SystemLog.h"

namespace bw {

void fatalError(std::string_view message) {
    std::string line = "beamwright: fatal: ";
    line.append(message);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    SystemLog::shared().log(line);
    std::_Exit(kFatalExitStatus);
}

}  // namespace bw
