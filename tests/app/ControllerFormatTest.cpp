#include <gtest/gtest.h>

#include "app/ControllerFormat.h"

namespace bw::app {
namespace {

TEST(ControllerFormat, Sizes) {
  struct Case {
    uint64_t bytes;
    const char* text;
  } cases[] = {{0, ""},
               {1023, "1023 B"},
               {1024, "1.0 KB"},
               {1048576, "1.0 MB"},
               {6174530058ULL, "5.8 GB"},
               {1ULL << 40, "1.0 TB"}};
  for (const Case& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

TEST(ControllerFormat, Speeds) {
  struct Case {
    uint32_t rate;
    const char* text;
  } cases[] = {{0, "0 B/s"},          {1023, "1023 B/s"},     {1024, "1.0 KB/s"},
               {1572864, "1.5 MB/s"}, {1u << 30, "1.0 GB/s"}, {0xCCCCCCCCu, "未知"}};
  for (const Case& c : cases) EXPECT_EQ(FormatSpeed(c.rate), c.text) << c.rate;
}

TEST(ControllerFormat, Percentages) {
  struct Case {
    uint32_t hundredths;
    const char* text;
  } cases[] = {{0, "0%"}, {1205, "12.05%"}, {1200, "12%"}, {7, "0.07%"}, {10000, "100%"}};
  for (const Case& c : cases) EXPECT_EQ(FormatPercent(c.hundredths), c.text) << c.hundredths;
  EXPECT_EQ(FormatHundredths(507), "5.07%");
  EXPECT_EQ(FormatHundredths(0), "0.00%");
}

}  // namespace
}  // namespace bw::app
