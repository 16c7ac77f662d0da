#include "engine/sources/FtpReply.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace bw {
namespace {

int64_t Parse(const std::string& bytes, FtpReply* reply = nullptr) {
  return ParseFtpReply(bytes.data(), static_cast<int64_t>(bytes.size()), reply);
}

TEST(FtpReplyTest, OneReplyAtATime) {
  struct Case {
    std::string bytes;
    int64_t length;  // also kFtpReplyIncomplete or kFtpReplyMalformed
    int32_t code;
    std::string text;
  };
  const std::string welcome = "220-Welcome\r\n220-second line\r\n220 Ready\r\n";
  const Case cases[] = {
      {"220 Ready\r\n", 11, 220, "Ready"},
      {"220 Ready\n", 10, 220, "Ready"},  // a bare line feed ends a line too
      {"230\r\n", 5, 230, ""},
      {welcome, static_cast<int64_t>(welcome.size()), 220, "Welcome"},
      // Inner lines may start with any code, this one with a dash; only "220 " closes.
      {"220-a\r\n230 inner\r\n220-still\r\n 220 not yet\r\n220 end\r\n", 52, 220, "a"},
      // The next reply stays for the next call: a short transfer's 150 and 226 come together.
      {"150 Opening\r\n226 Done\r\n", 13, 150, "Opening"},
      {"213 5368709120\r\n", 16, 213, "5368709120"},
      {"22", kFtpReplyIncomplete, 0, ""},
      {"220 Rea", kFtpReplyIncomplete, 0, ""},
      {"220 Ready\r", kFtpReplyIncomplete, 0, ""},
      {"220-Welcome\r\n220-more\r\n", kFtpReplyIncomplete, 0, ""},
      {"220-Welcome\r\n221 other code\r\n", kFtpReplyIncomplete, 0, ""},
      {"", kFtpReplyIncomplete, 0, ""},
      {"HTTP/1.1 200 OK\r\n", kFtpReplyMalformed, 0, ""},
      {"620 no such class\r\n", kFtpReplyMalformed, 0, ""},
      {"22x Ready\r\n", kFtpReplyMalformed, 0, ""},
      {"220_Ready\r\n", kFtpReplyMalformed, 0, ""},
      {"2", kFtpReplyIncomplete, 0, ""},
      {"x", kFtpReplyMalformed, 0, ""},
      {std::string("220 a\0b\r\n", 9), 9, 220, std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    FtpReply reply;
    EXPECT_EQ(Parse(c.bytes, &reply), c.length);
    if (c.length > 0) {
      EXPECT_EQ(reply.code, c.code);
      EXPECT_EQ(reply.text, c.text);
    }
  }
}

// A reply that never ends is refused once it passes the bound, not held without end; one that
// ends within it is read whole, however many lines it has.
TEST(FtpReplyTest, ReplyLengthIsBounded) {
  std::string endless = "220-start\r\n";
  const std::string filler = "220-filler line\r\n";
  const std::string last = "220 end\r\n";
  while (endless.size() + filler.size() + last.size() <= static_cast<size_t>(kMaxFtpReplySize)) endless += filler;
  EXPECT_EQ(Parse(endless), kFtpReplyIncomplete);
  const std::string closed = endless + last;
  EXPECT_EQ(Parse(closed), static_cast<int64_t>(closed.size()));
  while (endless.size() < static_cast<size_t>(kMaxFtpReplySize)) endless += filler;
  EXPECT_EQ(Parse(endless), kFtpReplyMalformed);
  EXPECT_EQ(Parse(std::string(static_cast<size_t>(kMaxFtpReplySize), '2')), kFtpReplyMalformed);
  EXPECT_EQ(Parse("220 " + std::string(static_cast<size_t>(kMaxFtpReplySize), 'x') + "\r\n"), kFtpReplyMalformed);
}

// The parser reads nothing past the length it is given, even where the bytes would complete a
// reply.
TEST(FtpReplyTest, NeverReadsPastTheLength) {
  const char bytes[] = "220 Ready\r\n";
  for (int64_t len = 0; len <= 11; ++len) {
    EXPECT_EQ(ParseFtpReply(bytes, len, nullptr), len == 11 ? 11 : kFtpReplyIncomplete) << len;
  }
}

TEST(FtpReplyTest, PassiveAnswers) {
  struct Case {
    std::string text;
    bool ok;
    std::string host;
    int32_t port;
  };
  const Case cases[] = {
      {"Entering Passive Mode (10,0,0,1,4,1).", true, "10.0.0.1", 1025},
      {"Entering Passive Mode (127,0,0,1,255,255)", true, "127.0.0.1", 65535},
      {"Entering Passive Mode 192,168,1,2,0,21", true, "192.168.1.2", 21},
      {"=( 127, 0, 0, 1, 117, 48 )", true, "127.0.0.1", 30000},
      {"(10,0,0,1,4)", false, "", 0},
      {"(10,0,0,1,4,1,7)", true, "10.0.0.1", 1025},  // what follows the sixth is not read
      {"(10,0,0,256,4,1)", false, "", 0},
      {"(10,0,0,1,0,0)", false, "", 0},
      {"(10,0,0,1,4,1000)", false, "", 0},
      {"(10,0,0,-1,4,1)", false, "", 0},
      {"no numbers", false, "", 0},
      {"", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t ip = 0;
    int32_t port = 0;
    ASSERT_EQ(ParsePasvReply(c.text, &ip, &port), c.ok);
    if (!c.ok) continue;
    const auto* b = reinterpret_cast<const uint8_t*>(&ip);
    EXPECT_EQ(std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
                  std::to_string(b[3]),
              c.host);
    EXPECT_EQ(port, c.port);
  }
}

TEST(FtpReplyTest, ExtendedPassiveAnswers) {
  struct Case {
    std::string text;
    int32_t port;  // 0: refused
  };
  const Case cases[] = {
      {"Entering Extended Passive Mode (|||6446|)", 6446},
      {"Entering Extended Passive Mode (!!!30000!)", 30000},
      {"(|||65535|)", 65535},
      {"(|||65536|)", 0},
      {"(|||0|)", 0},
      {"(|||6446)", 0},
      {"(||6446|)", 0},
      {"(|!|6446|)", 0},
      {"(111234451)", 0},  // a digit is no delimiter
      {"(|||123456|)", 0},
      {"(|||", 0},
      {"|||6446|", 0},
  };
  for (const Case& c : cases) {
    int32_t port = 0;
    EXPECT_EQ(ParseEpsvReply(c.text, &port), c.port != 0) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
}

TEST(FtpReplyTest, SizeAnswers) {
  struct Case {
    std::string text;
    int64_t size;
  };
  const Case cases[] = {
      {"5368709120", 5368709120},  // above 4 GiB
      {"  1000", 1000},
      {"1000 bytes", 1000},
      {"0", 0},
      {"999999999999999999", 999999999999999999},
      {"9999999999999999999", -1},  // would not fit
      {"-5", -1},
      {"12x", -1},
      {"", -1},
      {"size", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseSizeReply(c.text), c.size) << c.text;
}

}  // namespace
}  // namespace bw
