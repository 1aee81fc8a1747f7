#pragma once

#include <filesystem>
#include <string_view>

namespace bw {

// The application's resource files (shader sources, images). They are read
// from the folder named by the environment variable BEAMWRIGHT_RESOURCE_DIR
// when it is set; otherwise from share/beamwright beside the installed
// executable (<prefix>/bin/beamwright reads <prefix>/share/beamwright) when
// that folder exists; otherwise from the folder the build was configured with.
class Resources {
public:
    // The folder resources are read from.
    static std::filesystem::path directory();

    // The rule above for an executable at `executable`, the variable's value
    // `override` (null: unset) and the configured folder `configured`.
    static std::filesystem::path directoryFor(const std::filesystem::path& executable,
                                              const char* override,
                                              const std::filesystem::path& configured);

    // The path of resource `name` with `extension` in `subfolder`, e.g.
    // ("shaders", "Mix", "fs") -> <directory>/shaders/Mix.fs. The file may
    // not exist; callers decide what a missing resource means.
    static std::filesystem::path path(std::string_view subfolder, std::string_view name,
                                      std::string_view extension);
};

}  // namespace bw
