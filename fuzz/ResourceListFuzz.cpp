// The resource list: an XML document from the configuration server, or whatever stands in its
// place (a captive portal's page, a truncated answer).
#include <cstddef>
#include <cstdint>

#include "app/ResourceList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bw::app::ResourceList list = bw::app::ParseResourceList(reinterpret_cast<const char*>(data), size);
  // Mirror texts are safe to put into a request: no control characters.
  for (const bw::app::ResourceEntry& entry : list.resources) {
    for (const bw::app::Mirror& mirror : entry.mirrors) {
      for (unsigned char c : mirror.url + mirror.host) {
        if (c < 0x20 || c == 0x7F) __builtin_trap();
      }
    }
  }
  if (list.expiryMessage.size() > 4095 || list.expiryUrl.size() > 4095) __builtin_trap();
  return 0;
}
