#pragma once
#include <cstddef>

namespace bw::app {

// The stored package that the build compiles into the program (written by the package builder).
extern const unsigned char kEmbeddedPackage[];
extern const size_t kEmbeddedPackageSize;

}  // namespace bw::app
