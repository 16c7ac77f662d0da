// Bytes from a BitTorrent peer after its handshake: the messages read from the whole input must be
// the same as those read when the bytes arrive one at a time, and none is longer than the bound.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/sources/BTWire.h"
#include "fuzz/FuzzCheck.h"

using bw::fuzz::Check;
namespace btwire = bw::btwire;

namespace {

// Message ids and payloads, one after another; ends at the first error.
std::string ReadAll(const uint8_t* data, size_t size, uint32_t bound, bool* failed) {
  std::string seen;
  size_t at = 0;
  for (;;) {
    btwire::Message message;
    size_t used = 0;
    const btwire::Parse result = btwire::ParseMessage(data + at, size - at, bound, &message, &used);
    if (result == btwire::Parse::kError) *failed = true;
    if (result != btwire::Parse::kMessage) return seen;
    Check(used >= 4 && used <= size - at && used <= 4 + size_t{bound});
    Check(message.id == btwire::kKeepAlive || used == 5 + size_t{message.size});
    seen += std::to_string(message.id) + ":" + std::string(reinterpret_cast<const char*>(message.payload), message.size) + ";";
    at += used;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks a bound, as a peer's piece count does through its bitfield length.
  const uint32_t bound = btwire::kPieceMessageMax + data[0] * 97u;
  ++data;
  --size;
  bool wholeFailed = false;
  const std::string whole = ReadAll(data, size, bound, &wholeFailed);

  // The same bytes arriving one at a time into a buffer consumed as messages complete.
  std::vector<uint8_t> held;
  std::string trickled;
  bool trickleFailed = false;
  for (size_t i = 0; i < size && !trickleFailed; ++i) {
    held.push_back(data[i]);
    size_t at = 0;
    for (;;) {
      btwire::Message message;
      size_t used = 0;
      const btwire::Parse result = btwire::ParseMessage(held.data() + at, held.size() - at, bound, &message, &used);
      if (result == btwire::Parse::kError) trickleFailed = true;
      if (result != btwire::Parse::kMessage) break;
      trickled += std::to_string(message.id) + ":" +
                  std::string(reinterpret_cast<const char*>(message.payload), message.size) + ";";
      at += used;
    }
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(at));
    Check(held.size() < 4 + size_t{bound});
  }
  Check(whole == trickled && wholeFailed == trickleFailed);
  return 0;
}
