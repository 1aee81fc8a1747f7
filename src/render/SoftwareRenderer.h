#pragma once

#include <string_view>

namespace bw {

// Whether the GL renderer named `renderer` (GL_RENDERER) draws on the CPU:
// Mesa's llvmpipe, softpipe or swrast.
inline bool isSoftwareRenderer(std::string_view renderer) {
    for (std::string_view name : {"llvmpipe", "softpipe", "swrast"}) {
        if (renderer.find(name) != std::string_view::npos) return true;
    }
    return false;
}

}  // namespace bw
