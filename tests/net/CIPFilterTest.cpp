#include "engine/net/CIPFilter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/net/NetAddress.h"
#include "tests/support/TempDir.h"

namespace bw {
namespace {

uint32_t Address(const char* text) {
  uint32_t ip = 0;
  EXPECT_TRUE(ParseDottedQuad(text, &ip)) << text;
  return ip;
}

uint32_t Host(const char* text) { return NetToHost32(Address(text)); }

std::vector<std::pair<uint32_t, uint32_t>> RangesOf(const CIPFilter& filter) {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  for (const auto& [last, first] : filter.Ranges()) ranges.emplace_back(first, last);
  return ranges;
}

TEST(CIPFilterTest, LinesThatBlockAndLinesThatDoNot) {
  struct Case {
    std::string text;
    int32_t added;
    std::vector<std::pair<const char*, const char*>> ranges;
  };
  const std::string longLine = "10.0.0.0-10.0.0.9 1" + std::string(CIPFilter::kMaxLine, ' ') + "\n20.0.0.0-20.0.0.9 1";
  const Case cases[] = {
      {"10.0.0.0-10.0.0.255 100\n10.0.0.200-10.0.1.10 50\n", 1, {{"10.0.0.0", "10.0.1.10"}}},
      {"10.0.0.0-10.0.0.255 127\n10.0.0.0-10.0.0.255 126\r\n", 1, {{"10.0.0.0", "10.0.0.255"}}},
      {"10.0.0.0-10.0.0.255 127", 0, {}},
      {"10.0.0.0 - 10.0.0.255 1\n10.0.0.0 -10.0.0.255 1", 0, {}},  // blanks around the dash
      {"# 10.0.0.0-10.0.0.255 1\n\n   \n", 0, {}},
      {"  \t1.2.3.4-1.2.3.4 0", 1, {{"1.2.3.4", "1.2.3.4"}}},
      {"1.2.3.4-1.2.3.5", 1, {{"1.2.3.4", "1.2.3.5"}}},      // no level: blocked
      {"1.2.3.4-1.2.3.5 x", 0, {}},                           // a level that is no number
      {"1.2.3.9-1.2.3.4 1", 0, {}},                           // backwards
      {"10.0.0.256-10.0.1.0 1\n1000.0.0.1-1000.0.0.2 1", 0, {}},  // a part above 255 never wraps
      {"1.2.3-1.2.4 1\n1.2.3.4.5-1.2.3.6 1\n1.2.3.4x-1.2.3.5 1", 0, {}},
      {longLine, 1, {{"20.0.0.0", "20.0.0.9"}}},              // a long line goes whole
      // One range spanning several known ones leaves a single range over all of them.
      {"10.0.0.10-10.0.0.20 1\n10.0.0.30-10.0.0.40 1\n10.0.0.50-10.0.0.60 1\n10.0.0.5-10.0.0.45 1", 2,
       {{"10.0.0.5", "10.0.0.45"}, {"10.0.0.50", "10.0.0.60"}}},
      {"10.0.0.10-10.0.0.20 1\n10.0.0.12-10.0.0.15 1\n10.0.0.15-10.0.0.25 1\n10.0.0.1-10.0.0.11 1", 1,
       {{"10.0.0.1", "10.0.0.25"}}},
      {"0.0.0.0-255.255.255.255 0", 1, {{"0.0.0.0", "255.255.255.255"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    CIPFilter filter;
    EXPECT_EQ(filter.ReadRanges(c.text.data(), c.text.size()), c.added);
    std::vector<std::pair<uint32_t, uint32_t>> expected;
    for (const auto& [first, last] : c.ranges) expected.emplace_back(Host(first), Host(last));
    EXPECT_EQ(RangesOf(filter), expected);
  }
}

TEST(CIPFilterTest, BlocksExactlyItsRanges) {
  CIPFilter filter;
  EXPECT_FALSE(filter.IsBlocked(Address("10.0.0.1"))) << "an empty filter blocks nothing";
  const std::string text = "10.0.0.0-10.0.0.255 1\n127.0.0.2-127.0.0.2 1\n";
  ASSERT_EQ(filter.ReadRanges(text.data(), text.size()), 2);
  struct Case {
    const char* address;
    bool blocked;
  };
  for (const Case& c : {Case{"9.255.255.255", false}, Case{"10.0.0.0", true}, Case{"10.0.0.128", true},
                        Case{"10.0.0.255", true}, Case{"10.0.1.0", false}, Case{"127.0.0.1", false},
                        Case{"127.0.0.2", true}, Case{"127.0.0.3", false}, Case{"255.255.255.255", false}}) {
    EXPECT_EQ(filter.IsBlocked(Address(c.address)), c.blocked) << c.address;
  }
  filter.threshold = 5;
  filter.Clear();
  EXPECT_EQ(filter.threshold, CIPFilter::kDefaultThreshold);
  EXPECT_FALSE(filter.IsBlocked(Address("10.0.0.1")));
}

TEST(CIPFilterTest, LoadsAFileOrNothing) {
  test::TempDir dir;
  const std::string path = dir.Path("filter.txt");
  std::ofstream(path) << "# blocked\n127.0.0.2-127.0.0.2 0\n192.168.0.0-192.168.255.255 200\n";
  CIPFilter filter;
  EXPECT_EQ(filter.LoadRanges(path), 1);
  EXPECT_TRUE(filter.IsBlocked(Address("127.0.0.2")));
  EXPECT_FALSE(filter.IsBlocked(Address("192.168.1.1")));
  CIPFilter none;
  EXPECT_EQ(none.LoadRanges(dir.Path("missing.txt")), -1);
  EXPECT_TRUE(none.IsEmpty());
}

}  // namespace
}  // namespace bw
