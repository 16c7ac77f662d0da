#include "engine/sources/THeaderBlock.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace bw {
namespace {

// Parses text from a heap block of exactly its length, so that ASan sees any read past it.
int64_t ParseExact(THeaderBlock& h, const std::string& text) {
  auto copy = std::make_unique<char[]>(text.size() + (text.empty() ? 1 : 0));
  text.copy(copy.get(), text.size());
  return h.Parse(copy.get(), static_cast<int64_t>(text.size()));
}

TEST(THeaderBlockTest, StatusLines) {
  struct Case {
    std::string text;
    int32_t status;
    std::string version;
    std::string reason;
    size_t lines;
  };
  const Case cases[] = {
      {"HTTP/1.1 206 Partial Content\r\nContent-Length: 5\r\n\r\n", 206, "1.1", "Partial Content", 1},
      {"HTTP/1.0 404 Not Found\nServer: x\n\n", 404, "1.0", "Not Found", 1},
      {"HTTP 200 OK\r\n\r\n", 200, "1.0", "OK", 0},
      {"HTTP/2 302\r\nLocation: /a\r\n\r\n", 302, "2", "", 1},
      {"HTTP/1.1 99999999999999 Big\r\n\r\n", 999999999, "1.1", "Big", 0},
      {"ICY 200 OK\r\nA: b\r\n\r\n", 0, "1.0", "", 1},  // no status line: dropped
      {"Server: x\r\nA: b\r\n\r\n", 0, "1.0", "", 2},   // a header line stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    THeaderBlock h;
    EXPECT_EQ(ParseExact(h, c.text), static_cast<int64_t>(c.text.size()));
    EXPECT_EQ(h.status, c.status);
    EXPECT_EQ(h.version, c.version);
    EXPECT_EQ(h.reason, c.reason);
    EXPECT_EQ(h.lines.size(), c.lines);
  }
}

TEST(THeaderBlockTest, HeaderEndsAtFirstEmptyLineAndBodyIsNotConsumed) {
  THeaderBlock h;
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n";
  EXPECT_EQ(ParseExact(h, head + "body\r\n\r\n"), static_cast<int64_t>(head.size()));
  EXPECT_EQ(h.Value("content-length"), "4");
}

TEST(THeaderBlockTest, LengthsAndRanges) {
  struct Case {
    std::string lines;
    int64_t length;
    int64_t rangeStart;
    int64_t rangeTotal;
  };
  const Case cases[] = {
      {"Content-Length: 1234", 1234, -1, -1},
      {"Content-Length: 5000000000", 5000000000, -1, -1},
      {"content-length:7", 7, -1, -1},
      {"Content-Length  :  9 ", 9, -1, -1},
      {"Content-Length: -5", -1, -1, -1},
      {"Content-Length: 12abc", -1, -1, -1},
      {"Content-Length: 99999999999999999999", -1, -1, -1},
      {"Content-Range: bytes 4294967296-8589934591/8589934592", -1, 4294967296, 8589934592},
      {"Content-Range: bytes 100-199/1000", -1, 100, 1000},
      {"Content-Range: bytes 0-99/*", -1, 0, -1},
      {"Content-Range: bytes 0-99", -1, 0, -1},
      {"Content-Range: bytes */1000", -1, -1, 1000},
      {"Content-Lengthy: 3", -1, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    THeaderBlock h;
    ASSERT_GT(ParseExact(h, "HTTP/1.1 206 X\r\n" + c.lines + "\r\n\r\n"), 0);
    EXPECT_EQ(h.ContentLength(), c.length);
    EXPECT_EQ(h.RangeStart(), c.rangeStart);
    EXPECT_EQ(h.RangeTotal(), c.rangeTotal);
  }
}

TEST(THeaderBlockTest, ValueLookup) {
  THeaderBlock h;
  ASSERT_GT(ParseExact(h, "HTTP/1.1 302 Found\r\nLOCATION:   http://a/b:c \r\nX: 1\r\nX: 2\r\n\r\n"), 0);
  EXPECT_EQ(h.Value("Location"), "http://a/b:c");
  EXPECT_EQ(h.Value("X"), "1");
  EXPECT_EQ(h.Value("Missing"), "");
  EXPECT_FALSE(h.Has("Loc"));
  h.caseSensitive = true;
  EXPECT_FALSE(h.Has("Location"));
}

TEST(THeaderBlockTest, RetryAfterIsTakenInSecondsOnly) {
  const std::pair<std::string, int64_t> cases[] = {
      {"Retry-After: 120\r\n", 120},
      {"retry-after:0\r\n", 0},
      {"Retry-After: Fri, 31 Dec 1999 23:59:59 GMT\r\n", -1},
      {"", -1},
  };
  for (const auto& [line, seconds] : cases) {
    THeaderBlock h;
    ASSERT_GT(ParseExact(h, "HTTP/1.1 503 Busy\r\n" + line + "\r\n"), 0);
    EXPECT_EQ(h.RetryAfter(), seconds) << line;
  }
}

TEST(THeaderBlockTest, DispositionNames) {
  const std::pair<std::string, std::string> cases[] = {
      {"attachment; filename=\"a b.exe\"; size=3", "a b.exe"},
      {"attachment; filename=plain.zip; x=1", "plain.zip"},
      {"attachment; FILENAME=upper.txt", "upper.txt"},
      {"attachment; filename=\"unterminated.bin", "unterminated.bin"},
      {"attachment; filename=\"../../etc/passwd\"", "passwd"},
      {"attachment; filename=/abs/path.iso", "path.iso"},
      {"attachment; filename=\"C:\\dir\\x.txt\"", "x.txt"},
      {"attachment; filename=\"..\"", ""},
      {"attachment; filename=.", ""},
      {"attachment; filename=\"dir/\"", ""},
      {"attachment; filename=\"a\tb\"", "ab"},
      {"attachment; filename=", ""},
      {"inline", ""},
  };
  for (const auto& [value, name] : cases) {
    SCOPED_TRACE(value);
    THeaderBlock h;
    ASSERT_GT(ParseExact(h, "HTTP/1.1 200 OK\r\nContent-Disposition: " + value + "\r\n\r\n"), 0);
    EXPECT_EQ(h.DispositionName(), name);
  }
}

TEST(THeaderBlockTest, OversizedOrBrokenHeaderFails) {
  std::string big = "HTTP/1.1 200 OK\r\n";
  while (big.size() <= THeaderBlock::kMaxHeaderSize) big += "X-Filler: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n";
  THeaderBlock h;
  EXPECT_EQ(ParseExact(h, big), THeaderBlock::kMalformed);
  EXPECT_EQ(ParseExact(h, big + "\r\n"), THeaderBlock::kMalformed);
  // Just under the limit is still a header.
  std::string fits = "HTTP/1.1 200 OK\r\nX: ";
  fits.append(static_cast<size_t>(THeaderBlock::kMaxHeaderSize) - fits.size() - 4, 'a');
  fits += "\r\n\r\n";
  ASSERT_EQ(fits.size(), static_cast<size_t>(THeaderBlock::kMaxHeaderSize));
  EXPECT_EQ(ParseExact(h, fits), THeaderBlock::kMaxHeaderSize);
  // A zero byte can never be followed by the end of the header.
  EXPECT_EQ(ParseExact(h, std::string("HTTP/1.1 200 OK\r\n\0\r\n\r\n", 23)), THeaderBlock::kMalformed);
}

TEST(THeaderBlockTest, TruncatedHeaderFedByteByByte) {
  const std::string full =
      "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-19/20\r\nContent-Length: 10\r\n\r\n";
  for (size_t n = 0; n < full.size(); ++n) {
    THeaderBlock h;
    ASSERT_EQ(ParseExact(h, full.substr(0, n)), THeaderBlock::kIncomplete) << n;
  }
  THeaderBlock h;
  EXPECT_EQ(ParseExact(h, full), static_cast<int64_t>(full.size()));
  EXPECT_EQ(h.RangeStart(), 10);
  EXPECT_EQ(h.RangeTotal(), 20);
}

}  // namespace
}  // namespace bw
