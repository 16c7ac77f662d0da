#include "engine/sources/BTWire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace bw {
namespace {

using btwire::Parse;

Parse ParseText(const std::string& bytes, uint32_t bound, btwire::Message* message, size_t* used) {
  return btwire::ParseMessage(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), bound, message, used);
}

TEST(BTWireTest, MessagesAreCutByTheirLengthAndBounded) {
  struct Case {
    std::string bytes;
    Parse result;
    int32_t id;
    size_t used;
  };
  const Case cases[] = {
      {std::string("\0\0\0", 3), Parse::kNeedMore, 0, 0},
      {std::string("\0\0\0\0", 4), Parse::kMessage, btwire::kKeepAlive, 4},
      {std::string("\0\0\0\1\1", 5), Parse::kMessage, btwire::kUnchoke, 5},
      {std::string("\0\0\0\5\4\0\0", 7), Parse::kNeedMore, 0, 0},
      {std::string("\0\0\0\5\4\0\0\0\7xx", 11), Parse::kMessage, btwire::kHave, 9},
      // One byte past a whole block with its header, and a length that would be negative.
      {std::string("\0\0\x40\x0a", 4), Parse::kError, 0, 0},
      {std::string("\xff\xff\xff\xff", 4), Parse::kError, 0, 0},
  };
  for (const Case& c : cases) {
    btwire::Message message;
    size_t used = 0;
    EXPECT_EQ(ParseText(c.bytes, btwire::kPieceMessageMax, &message, &used), c.result) << testing::PrintToString(c.bytes);
    if (c.result != Parse::kMessage) continue;
    EXPECT_EQ(message.id, c.id);
    EXPECT_EQ(used, c.used);
  }
  btwire::Message message;
  size_t used = 0;
  std::string whole("\0\0\x40\x09\7", 5);
  whole.resize(4 + btwire::kPieceMessageMax, 'x');
  EXPECT_EQ(ParseText(whole, btwire::kPieceMessageMax, &message, &used), Parse::kMessage);
  EXPECT_EQ(message.size, btwire::kPieceMessageMax - 1);
}

TEST(BTWireTest, DisguisingHeaderIsSkippedUpToItsBlankLine) {
  struct Case {
    std::string bytes;
    int64_t skip;
  };
  const Case cases[] = {
      {"", -1},
      {"\x13" "BitTorrent protocol", 0},
      {"GE", -1},
      {"GET / HTTP/1.0\r\nHost: 1.2.3.4:80\r\n", -1},
      {"GET / HTTP/1.0\r\nHost: 1.2.3.4:80\r\n\r\n\x13" "Bit", 36},
      {"HTTP/1.0 200 OK\n\n\x13", 17},
      {"POST /\r\n\r\n", 10},
      {"GXT / HTTP/1.0\r\n\r\n", 0},
      {"GET " + std::string(2000, 'a'), 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(btwire::DisguiseLength(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.skip)
        << c.bytes.substr(0, 40);
  }
}

TEST(BTWireTest, DisguisesWeSendAreSkippedWhole) {
  const uint8_t address[4] = {10, 1, 2, 3};
  uint32_t ip;
  std::memcpy(&ip, address, 4);
  const std::string handshake = "\x13" "BitTorrent protocol";
  struct Case {
    std::string disguise;
    std::string expected;
  };
  const Case cases[] = {
      {btwire::RequestDisguise(ip, 6881 + 80, false), "GET / HTTP/1.0\r\nHost: 10.1.2.3:80\r\n\r\n"},
      {btwire::RequestDisguise(ip, 443, true),
       "GET / HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\nHost: 10.1.2.3:443\r\n\r\n"},
      {btwire::ReplyDisguise(7), "HTTP/1.0 200 OK\r\nConnection: Close\r\n\r\n"},
      {btwire::ReplyDisguise(8), "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Encoding: none\r\n\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.disguise, c.expected);
    const std::string stream = c.disguise + handshake;
    EXPECT_EQ(btwire::DisguiseLength(reinterpret_cast<const uint8_t*>(stream.data()), stream.size()),
              static_cast<int64_t>(c.disguise.size()));
  }
}

TEST(BTWireTest, RequestsAreWrittenAsSeventeenBytes) {
  std::string out;
  btwire::AppendBlockMessage(out, btwire::kRequest, 3, 16384, 16384);
  EXPECT_EQ(out, std::string("\0\0\0\x0d\6\0\0\0\3\0\0\x40\0\0\0\x40\0", 17));
}

TEST(BTWireTest, PieceHeadersNameTheBlockThatFollowsThem) {
  uint8_t header[btwire::kPieceHeaderSize + 1] = {};
  ASSERT_EQ(btwire::WritePieceHeader(header, 0x01020304, 0x4000, 16384), btwire::kPieceHeaderSize);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(header), sizeof header),
            std::string("\0\0\x40\x09\7\1\2\3\4\0\0\x40\0\0", 14));
}

}  // namespace
}  // namespace bw
