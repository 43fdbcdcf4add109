// The stamp picture of a signature list (resource 1001), a PNG of the
// project's own (stamp1001.png) built into the library.
#pragma once

#include <cstddef>

namespace vtpagina {
extern const unsigned char kStamp1001Png[];
extern const std::size_t kStamp1001PngSize;
}  // namespace vtpagina
