// Source-address lines as a task's source list or a redirect would give them.
#include <cstddef>
#include <cstdint>

#include "engine/sources/HostResolution.h"
#include "engine/sources/SourceAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  bw::TPeerId id;
  if (bw::ParseSourceText(text, size, id)) {
    if (id.kind != bw::SOURCE_BTNODE && id.UrlInfo().host.empty()) __builtin_trap();
    if (id.port < 0 || id.port > 65535) __builtin_trap();
  }
  if (id.addressText.size() > 3 * size) __builtin_trap();
  if (bw::PercentDecode(std::string_view(text, size)).size() > bw::kMaxDecodedAddress) {
    __builtin_trap();
  }
  bw::ReadDottedQuad(std::string_view(text, size));
  return 0;
}
