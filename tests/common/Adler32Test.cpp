#include "engine/common/Adler32.h"

#include <gtest/gtest.h>

#include <random>
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

// The fast sums against the definition, byte by byte: lengths around the vector width and the
// reduction interval, unaligned starts, every start value's halves, bytes of all values.
TEST(Adler32, MatchesTheByteWiseDefinition) {
  const auto byteWise = [](uint32_t initial, const uint8_t* p, size_t n) {
    uint32_t a = (initial & 0xFFFF) % 65521;
    uint32_t b = (initial >> 16) % 65521;
    for (size_t i = 0; i < n; ++i) {
      a = (a + p[i]) % 65521;
      b = (b + a) % 65521;
    }
    return n == 0 ? initial : b << 16 | a;
  };
  const std::vector<uint8_t> data = [] {
    std::mt19937 random(7);
    std::vector<uint8_t> bytes(3 * 5552 + 48);  // room for the longest length at the odd start
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
  }();
  const std::vector<uint8_t> high(data.size(), 0xFF);
  for (const std::vector<uint8_t>* bytes : {&data, &high}) {
    for (const size_t length : {1, 15, 16, 17, 31, 64, 1384, 5551, 5552, 5553, 5568, 11104, 16696}) {
      for (const size_t offset : {0, 3}) {
        for (const uint32_t initial : {1u, 0xFFF0FFF0u, 0x0001FFFFu, 123456789u}) {
          EXPECT_EQ(Adler32(initial, bytes->data() + offset, length), byteWise(initial, bytes->data() + offset, length))
              << length << " bytes from " << offset << ", start " << initial;
        }
      }
    }
  }
}

}  // namespace
}  // namespace bw
