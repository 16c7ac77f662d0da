#include "engine/common/IntReader.h"

#include <gtest/gtest.h>

namespace bw {
namespace {

struct Case {
  const char* text;
  int maxDigits;
  int32_t value;
  size_t used;
};

TEST(IntReader, ReadsTheEngineNumberForms) {
  const Case cases[] = {
      {"6881", 10, 6881, 4},      {" \t80/x", 10, 80, 4},   {"-12", 10, -12, 3},
      {"+7", 10, 7, 2},           {"0x1F", 10, 31, 4},      {"0XfF", 10, 255, 4},
      {"123456", 3, 123, 3},      {"abc", 10, 0, 0},        {"", 10, 0, 0},
      {"4294967297", 10, 1, 10},  // 32-bit accumulation wraps
  };
  for (const Case& c : cases) {
    size_t used = 99;
    EXPECT_EQ(ReadInt32(c.text, c.maxDigits, &used), c.value) << c.text;
    EXPECT_EQ(used, c.used) << c.text;
  }
}

TEST(IntReader, SixtyFourBitFormKeepsLargeSizes) {
  EXPECT_EQ(ReadInt64("213 6442450944", 20), 213);  // stops at the first non-digit
  EXPECT_EQ(ReadInt64("6442450944", 20), 6442450944LL);
}

TEST(IntReader, NeverReadsPastTheView) {
  const char text[] = "12345";
  EXPECT_EQ(ReadInt32(std::string_view(text, 2), 10), 12);
}

}  // namespace
}  // namespace bw
