#include "engine/task/PendingRoute.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace bw {
namespace {

std::string Hash(char fill) { return std::string(20, fill); }

std::string Handshake(const std::string& hash) {
  std::string h(1, '\x13');
  h += "BitTorrent protocol";
  h += std::string(8, '\0');
  h += hash;
  h += std::string(20, 'p');
  return h;
}

// Tasks serve the hashes "aaa..." (the asking one) and "bbb...".
PendingVerdict Route(const std::string& bytes, uint64_t ageMs) {
  const std::string own = Hash('a');
  const std::string other = Hash('b');
  return RoutePending(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), ageMs,
                      reinterpret_cast<const uint8_t*>(own.data()),
                      [&](const uint8_t* hash) { return std::memcmp(hash, other.data(), 20) == 0; });
}

TEST(PendingRouteTest, HandshakesGoToTheirTaskOrAreRefused) {
  const std::string disguise = "GET /announce HTTP/1.1\r\nHost: x\r\n\r\n";
  struct Case {
    const char* what;
    std::string bytes;
    PendingVerdict verdict;
  } cases[] = {
      {"own hash", Handshake(Hash('a')), PendingVerdict::kOwn},
      {"own hash, first 48 bytes", Handshake(Hash('a')).substr(0, 48), PendingVerdict::kOwn},
      {"own hash after a disguise", disguise + Handshake(Hash('a')), PendingVerdict::kOwn},
      {"own hash, POST disguise with bare line ends", "POST / HTTP/1.0\nA: b\n\n" + Handshake(Hash('a')),
       PendingVerdict::kOwn},
      {"another task's hash waits for it", Handshake(Hash('b')), PendingVerdict::kWait},
      {"a hash no task serves", Handshake(Hash('c')), PendingVerdict::kUnknownHash},
      {"a hash no task serves, after a disguise", disguise + Handshake(Hash('c')), PendingVerdict::kUnknownHash},
      {"47 bytes: not yet", Handshake(Hash('c')).substr(0, 47), PendingVerdict::kWait},
      {"byte 19 with another protocol", "\x13XitTorrent protocol" + std::string(8, '\0') + Hash('a'),
       PendingVerdict::kUnknownHash},
      {"disguise still arriving", "GET /announce HTTP/1.1\r\nHost:", PendingVerdict::kWait},
      {"nothing yet", "", PendingVerdict::kWait},
  };
  for (const Case& c : cases) EXPECT_EQ(Route(c.bytes, 100), c.verdict) << c.what;
}

TEST(PendingRouteTest, SilentOrIncompleteConnectionsExpire) {
  const std::string other = Handshake(Hash('b'));
  struct Case {
    const char* what;
    std::string bytes;
    uint64_t ageMs;
    PendingVerdict verdict;
  } cases[] = {
      {"silent, 2.99 s", "", 2999, PendingVerdict::kWait},
      {"silent, 3 s", "", 3000, PendingVerdict::kExpired},
      {"67 bytes, 3 s", other.substr(0, 67), 3000, PendingVerdict::kExpired},
      {"68 bytes, 4.99 s", other, 4999, PendingVerdict::kWait},
      {"68 bytes, 5 s", other, 5000, PendingVerdict::kExpired},
      {"own hash is claimed whatever its age", Handshake(Hash('a')), 60000, PendingVerdict::kOwn},
  };
  for (const Case& c : cases) EXPECT_EQ(Route(c.bytes, c.ageMs), c.verdict) << c.what;
}

TEST(PendingRouteTest, SweepTakesOldAndSilentConnections) {
  struct Case {
    size_t len;
    uint64_t ageMs;
    bool swept;
  } cases[] = {
      {0, 1000, false}, {0, 1001, true}, {67, 1001, true}, {68, 1001, false}, {68, 3000, false}, {68, 3001, true},
  };
  for (const Case& c : cases) EXPECT_EQ(SweptAway(c.len, c.ageMs), c.swept) << c.len << " bytes, " << c.ageMs << " ms";
}

}  // namespace
}  // namespace bw
