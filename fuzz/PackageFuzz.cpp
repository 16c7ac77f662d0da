// The stored package: built into the program, or read from a file that bwconsole is given.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/package/Package.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bw::app::Package package;
  if (!bw::app::DecodePackage(data, size, &package)) return 0;
  // What decodes stores again as the same bytes, unless its texts are not the encoder's.
  const std::string stored = bw::app::EncodePackage(package);
  bw::app::Package again;
  if (!stored.empty() && !bw::app::DecodePackage(stored.data(), stored.size(), &again)) __builtin_trap();
  return 0;
}
