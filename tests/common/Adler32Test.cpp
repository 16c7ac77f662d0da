#include "engine/common/Adler32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bw {
namespace {

TEST(Adler32, KnownValues) {
  std::vector<uint8_t> counting(104);
  for (size_t i = 0; i < counting.size(); ++i) counting[i] = uint8_t(i);
  const std::vector<uint8_t> ones(100000, 0xFF);
  const struct {
    const char* what;
    uint32_t initial;
    const void* data;
    size_t length;
    uint32_t value;
  } cases[] = {
      {"empty", 1, "", 0, 1},
      {"abc", 1, "abc", 3, 0x024d0127},
      {"Wikipedia", 1, "Wikipedia", 9, 0x11E60398},
      {"piece index as start", 7, counting.data(), counting.size(), 0xdf3a14f3},
      {"both halves set", 0x12345678, "Wikipedia", 9, 0x2e765a0f},
      // Halves above the modulus are reduced, as the byte-wise definition does.
      {"unreduced start", 0xFFFFFFFF, "\xff\x00\x10", 3, 0x0345011d},
      {"long run of 0xFF", 0xFFF0FFF0, ones.data(), ones.size(), 0x072c302a},
      {"empty keeps any start", 0xFFFFFFFF, "", 0, 0xFFFFFFFF},
  };
  for (const auto& c : cases) EXPECT_EQ(Adler32(c.initial, c.data, c.length), c.value) << c.what;
}

TEST(Adler32, ContinuesFromEarlierValue) {
  const std::string text(20000, 'q');
  const uint32_t whole = Adler32(1, text.data(), text.size());
  for (size_t split : {1, 5551, 5552, 5553, 12345}) {
    const uint32_t first = Adler32(1, text.data(), split);
    EXPECT_EQ(Adler32(first, text.data() + split, text.size() - split), whole) << split;
  }
}

}  // namespace
}  // namespace bw
