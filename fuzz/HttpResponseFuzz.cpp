// Parses any bytes as an HTTP response header; a parsed header never claims more than it was
// given, and every value reader works on whatever lines came out.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/sources/THeaderBlock.h"
#include "fuzz/FuzzCheck.h"

using bw::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  bw::THeaderBlock header;
  const int64_t length = header.Parse(text, static_cast<int64_t>(size));
  Check(length >= bw::THeaderBlock::kMalformed && length <= static_cast<int64_t>(size));
  Check(length <= bw::THeaderBlock::kMaxHeaderSize);
  if (length <= 0) return 0;
  header.ContentLength();
  const int64_t total = header.RangeTotal();
  Check(total >= -1);
  header.RangeStart();
  Check(header.RangeEnd() >= -1);
  const std::string name = header.DispositionName();
  Check(name != "." && name != ".." && name.find('/') == std::string::npos &&
        name.find('\\') == std::string::npos);
  header.Value("Location");
  // The header ends where it was found, whatever follows it; fewer than 3 bytes never parse.
  if (length < 3) return 0;
  bw::THeaderBlock again;
  Check(again.Parse(text, length - 1) <= 0);
  Check(again.Parse(text, length) == length && again.lines == header.lines &&
        again.status == header.status);
  return 0;
}
