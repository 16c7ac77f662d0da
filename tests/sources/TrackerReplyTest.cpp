#include "engine/sources/TrackerReply.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace bw {
namespace {

// "a.b.c.d:port" of every peer, in order.
std::vector<std::string> Addresses(const std::vector<TrackerPeer>& peers) {
  std::vector<std::string> out;
  for (const TrackerPeer& p : peers) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &p.ip, text, sizeof text);
    out.push_back(std::string(text) + ":" + std::to_string(p.port));
  }
  return out;
}

std::string Str(const std::string& s) { return std::to_string(s.size()) + ":" + s; }

// 6 bytes a peer: address, then port, big-endian.
std::string Compact(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  const char bytes[6] = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c),
                         static_cast<char>(d), static_cast<char>(port >> 8), static_cast<char>(port)};
  return std::string(bytes, 6);
}

// Keys left out when empty; appended piece by piece, which GCC 12 reads without a false overlap.
std::string DictPeer(const std::string& ip, const std::string& port, const std::string& id = "") {
  std::string out = "d";
  if (!ip.empty()) out.append("2:ip").append(Str(ip));
  if (!id.empty()) out.append("7:peer id").append(Str(id));
  if (!port.empty()) out.append("4:port").append(port);
  return out.append("e");
}

TEST(TrackerReplyTest, BodiesGivePeersIntervalAndFigures) {
  struct Case {
    const char* what;
    std::string body;
    bool parsed;
    std::vector<std::string> peers;
    int64_t interval;
    std::string failure;
    int64_t donePeers = 0;
    int64_t numCompleted = 0;
  };
  const std::string twoCompact = Compact(10, 0, 0, 1, 6881) + Compact(192, 168, 1, 9, 51413);
  const Case cases[] = {
      {"compact", "d8:intervali1800e5:peers" + Str(twoCompact) + "e", true, {"10.0.0.1:6881", "192.168.1.9:51413"}, 1800, ""},
      {"a rest under 6 bytes is ignored", "d5:peers" + Str(twoCompact + "\x01") + "e", true,
       {"10.0.0.1:6881", "192.168.1.9:51413"}, 600, ""},
      {"unusable compact entries are skipped",
       "d5:peers" + Str(Compact(0, 0, 0, 0, 80) + Compact(255, 255, 255, 255, 80) + Compact(1, 2, 3, 4, 0) +
                        Compact(1, 2, 3, 4, 65535)) + "e",
       true, {"1.2.3.4:65535"}, 600, ""},
      {"dictionary peers",
       "d5:peersl" + DictPeer("10.1.2.3", "i6881e", std::string(20, 'A')) + DictPeer("10.1.2.4", "i1e") + "ee", true,
       {"10.1.2.3:6881", "10.1.2.4:1"}, 600, ""},
      {"unusable dictionary entries are skipped",
       "d5:peersl" + DictPeer("1.2.3", "i80e") + DictPeer("::1", "i80e") + DictPeer("host.example", "i80e") +
           DictPeer("0.0.0.0", "i80e") + DictPeer("255.255.255.255", "i80e") + DictPeer("1.2.3.4", "i0e") +
           DictPeer("1.2.3.4", "i65536e") + DictPeer("1.2.3.4", "i-1e") + DictPeer("1.2.3.4", "") +
           DictPeer("", "i80e") + DictPeer("1.2.3.4", "2:80") + DictPeer(std::string("1.2.3.4\0", 8), "i80e") +
           "le" + DictPeer("1.2.3.5", "i80e") + "ee",
       true, {"1.2.3.5:80"}, 600, ""},
      {"no peers at all", "d8:intervali900ee", true, {}, 900, ""},
      {"peers of another type", "d5:peersi5ee", true, {}, 600, ""},
      {"failure reason", "d14:failure reason" + Str("unregistered torrent") + "e", true, {}, 600, "unregistered torrent"},
      {"figures", "d10:done peersi7e13:num completedi3ee", true, {}, 600, "", 7, 3},
      {"negative figures count as none", "d10:done peersi-7e13:num completedi-3ee", true, {}, 600, ""},
      {"interval at the floor", "d8:intervali61ee", true, {}, 61, ""},
      {"interval below the floor", "d8:intervali60ee", true, {}, 600, ""},
      {"interval of 30", "d8:intervali30ee", true, {}, 600, ""},
      {"negative interval", "d8:intervali-5ee", true, {}, 600, ""},
      {"interval as text", "d8:interval4:1800e", true, {}, 600, ""},
      {"a list", "le", false, {}, 600, ""},
      {"an integer", "i5e", false, {}, 600, ""},
      {"HTML", "<html>404</html>", false, {}, 600, ""},
      {"cut short", "d8:intervali1800e5:peers", false, {}, 600, ""},
      {"string length past the end", "d5:peers99:abce", false, {}, 600, ""},
      {"empty", "", false, {}, 600, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TrackerAnswer answer;
    EXPECT_EQ(ParseTrackerBody(c.body.data(), static_cast<int64_t>(c.body.size()), &answer), c.parsed);
    EXPECT_EQ(Addresses(answer.peers), c.peers);
    EXPECT_EQ(answer.interval, c.interval);
    EXPECT_EQ(answer.failureReason, c.failure);
    EXPECT_EQ(answer.donePeers, c.donePeers);
    EXPECT_EQ(answer.numCompleted, c.numCompleted);
  }
}

// A peer's id tells it apart from others: its own when the tracker gives one, else its address.
TEST(TrackerReplyTest, PeerIdsComeFromTheAnswerOrTheAddress) {
  const std::string ownId = "-XX0001-abcdefghijkl";
  const std::string body = "d5:peersl" + DictPeer("10.1.2.3", "i6881e", ownId) + DictPeer("10.1.2.4", "i6882e", "short") +
                           "ee";
  TrackerAnswer answer;
  ASSERT_TRUE(ParseTrackerBody(body.data(), static_cast<int64_t>(body.size()), &answer));
  ASSERT_EQ(answer.peers.size(), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(answer.peers[0].peerId), 20), ownId);
  uint8_t expected[20] = {};
  const uint8_t address[4] = {10, 1, 2, 4};
  std::memcpy(expected + 12, address, 4);
  const uint32_t port = 6882;
  std::memcpy(expected + 16, &port, 4);
  EXPECT_EQ(0, std::memcmp(answer.peers[1].peerId, expected, 20));

  const std::string compact = Compact(10, 1, 2, 5, 0x1AE1);
  std::vector<TrackerPeer> peers;
  ReadCompactPeers(reinterpret_cast<const uint8_t*>(compact.data()), 6, &peers);
  ASSERT_EQ(peers.size(), 1u);
  uint8_t compactId[20] = {};
  std::memcpy(compactId + 14, compact.data(), 6);
  EXPECT_EQ(0, std::memcmp(peers[0].peerId, compactId, 20));
}

// A tracker that names thousands of peers cannot make the task hold or dial more than it asked.
TEST(TrackerReplyTest, AnAnswerGivesAtMostTheAskedNumberOfPeers) {
  std::string compact;
  std::string dictionaries;
  for (int i = 0; i < 1000; ++i) {
    compact += Compact(10, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 1, 6881);
    dictionaries += DictPeer("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1), "i6881e");
  }
  for (const std::string& body : {"d5:peers" + Str(compact) + "e", "d5:peersl" + dictionaries + "ee"}) {
    TrackerAnswer answer;
    ASSERT_TRUE(ParseTrackerBody(body.data(), static_cast<int64_t>(body.size()), &answer));
    EXPECT_EQ(answer.peers.size(), kMaxTrackerPeers);
  }
}

TEST(TrackerReplyTest, HttpAnswersAreFramedByContentLengthOrTheClose) {
  struct Case {
    const char* what;
    std::string bytes;
    bool closed;
    int64_t framed;  // -1 unusable, 0 waiting, else header plus body
    std::string body;
    int32_t status = 200;
  };
  const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n";
  const std::string bigLength = std::to_string(kMaxTrackerBody + 1);
  const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nle";
  const Case cases[] = {
      {"whole", header + "Content-Length: 4\r\n\r\nle00", false, static_cast<int64_t>(header.size()) + 21 + 4, "le00"},
      {"bytes after the body are not part of it", header + "Content-Length: 2\r\n\r\nlexx", true,
       static_cast<int64_t>(header.size()) + 21 + 2, "le"},
      {"Content-Length before other lines", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nServer: x\r\n\r\nle", false, 51, "le"},
      {"body still coming", header + "Content-Length: 10\r\n\r\nle", false, 0, ""},
      {"body cut by the close", header + "Content-Length: 10\r\n\r\nle", true, -1, ""},
      {"header still coming", "HTTP/1.0 200 OK\r\nContent-Len", false, 0, ""},
      {"header cut by the close", "HTTP/1.0 200 OK\r\nContent-Len", true, -1, ""},
      {"no length: the close ends the body", header + "\r\nd5:peers0:e", true, static_cast<int64_t>(header.size()) + 2 + 11,
       "d5:peers0:e"},
      {"no length, still open", header + "\r\nd5:peers0:e", false, 0, ""},
      {"length no number", header + "Content-Length: many\r\n\r\nle", false, -1, ""},
      {"length above the bound", header + "Content-Length: " + bigLength + "\r\n\r\nle", false, -1, ""},
      {"no status line", "garbage\r\n\r\n", true, -1, ""},
      {"a status other than 200 is passed on", notFound, false, static_cast<int64_t>(notFound.size()), "le", 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int64_t bodyStart = -1;
    int64_t bodyLength = -1;
    int32_t status = 0;
    const int64_t framed = FrameHttpTrackerReply(c.bytes.data(), static_cast<int64_t>(c.bytes.size()), c.closed,
                                                 &bodyStart, &bodyLength, &status);
    EXPECT_EQ(framed, c.framed);
    if (framed > 0) {
      EXPECT_EQ(c.bytes.substr(static_cast<size_t>(bodyStart), static_cast<size_t>(bodyLength)), c.body);
      EXPECT_EQ(status, c.status);
    }
  }
  // Without a length the body may not grow past the bound while the tracker keeps sending.
  const std::string endless = header + "\r\n" + std::string(static_cast<size_t>(kMaxTrackerBody) + 1, 'x');
  int64_t start = 0;
  int64_t length = 0;
  EXPECT_EQ(FrameHttpTrackerReply(endless.data(), static_cast<int64_t>(endless.size()), false, &start, &length), -1);
}

// Big-endian words of a UDP tracker datagram.
std::string Words(std::initializer_list<uint32_t> words) {
  std::string out;
  for (uint32_t w : words) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(w >> shift);
  }
  return out;
}

TEST(TrackerReplyTest, UdpRepliesByAction) {
  struct Case {
    const char* what;
    std::string datagram;
    bool parsed;
    uint32_t action = 0;
    uint64_t connectionId = 0;
    std::vector<std::string> peers = {};
    int64_t interval = 600;
    std::string failure = "";
  };
  const Case cases[] = {
      {"connect", Words({0, 77, 0x01020304, 0x05060708}), true, kUdpConnect, 0x0102030405060708ull},
      {"connect with more", Words({0, 77, 0, 9, 1}), true, kUdpConnect, 9},
      {"connect cut short", Words({0, 77, 0}) + "abc", false},
      {"announce without peers", Words({1, 77, 1800, 0, 1}), true, kUdpAnnounce, 0, {}, 1800},
      {"announce with peers and a rest", Words({1, 77, 1800, 3, 4}) + Compact(10, 0, 0, 1, 6881) + Compact(10, 0, 0, 2, 6882) + "x",
       true, kUdpAnnounce, 0, {"10.0.0.1:6881", "10.0.0.2:6882"}, 1800},
      {"announce asking for less than the floor", Words({1, 77, 30, 0, 0}), true, kUdpAnnounce, 0, {}, 600},
      {"announce cut short", Words({1, 77, 1800, 0}) + "abc", false},
      {"error", Words({3, 77}) + "torrent not registered", true, kUdpError, 0, {}, 600, "torrent not registered"},
      {"error without words still gives a reason", Words({3, 77}), true, kUdpError, 0, {}, 600,
       "tracker error with no message"},
      {"scrape was never asked for", Words({2, 77, 1, 2, 3}), false},
      {"unknown action", Words({0x01000000, 77, 1, 2, 3}), false},
      {"shorter than any reply", Words({0}) + "abc", false},
      {"empty", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UdpTrackerReply reply;
    const bool parsed = ParseUdpTrackerReply(reinterpret_cast<const uint8_t*>(c.datagram.data()),
                                             static_cast<int64_t>(c.datagram.size()), &reply);
    EXPECT_EQ(parsed, c.parsed);
    if (!parsed) continue;
    EXPECT_EQ(reply.action, c.action);
    EXPECT_EQ(reply.transactionId, 77u);
    EXPECT_EQ(reply.connectionId, c.connectionId);
    EXPECT_EQ(Addresses(reply.answer.peers), c.peers);
    EXPECT_EQ(reply.answer.interval, c.interval);
    EXPECT_EQ(reply.answer.failureReason, c.failure);
  }
}

}  // namespace
}  // namespace bw
