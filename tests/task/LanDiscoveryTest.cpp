#include "engine/task/LanDiscovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Thread.h"

// The test program keeps LAN discovery on the loopback interface (tests/support/LoopbackLan.cpp).
namespace bw {
namespace {

struct FakeTask {
  std::string hash;
  std::string peerId;
  int port;
  size_t taskCount = 2;

  LanTaskFacts Facts() const {
    LanTaskFacts f;
    f.task = this;
    f.infoHash = reinterpret_cast<const uint8_t*>(hash.data());
    f.peerId = reinterpret_cast<const uint8_t*>(peerId.data());
    f.listenPort = port;
    f.taskCount = taskCount;
    return f;
  }
};

std::string Message(const std::string& hash, const std::string& peerId, uint16_t port, uint32_t kind) {
  LanMessage m;
  m.ip = htonl(0x0A000005);
  m.port = port;
  m.kind = kind;
  hash.copy(reinterpret_cast<char*>(m.infoHash), 20);
  peerId.copy(reinterpret_cast<char*>(m.peerId), 20);
  uint8_t bytes[LanMessage::kSize];
  m.Encode(bytes);
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::vector<LanPeer> Feed(LanDiscovery& lan, const FakeTask& task, const std::string& bytes, uint32_t fromIp,
                          uint64_t now = 100) {
  std::vector<LanPeer> found;
  lan.OnDatagram(task.Facts(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), fromIp, now, found);
  return found;
}

// Passes until a pass finds something, as datagrams take a moment even on loopback.
std::vector<LanPeer> PassUntilFound(LanDiscovery& lan, const FakeTask& task, bool& announced) {
  std::vector<LanPeer> found;
  for (int i = 0; i < 50 && found.empty(); ++i) {
    found = lan.Pass(task.Facts(), announced, 100);
    if (found.empty()) platform::SleepMs(20);
  }
  return found;
}

TEST(LanDiscoveryTest, TwoInstancesFindEachOtherBySwarm) {
  LanDiscovery first;
  LanDiscovery second;
  ASSERT_TRUE(first.Join());
  ASSERT_TRUE(second.Join()) << "instances of one host share the port";
  const FakeTask seeder{std::string(20, 'h'), std::string(20, 's'), 7001};
  const FakeTask leecher{std::string(20, 'h'), std::string(20, 'l'), 7002};
  bool seederAnnounced = true;  // the seeder only listens here
  bool leecherAnnounced = false;

  EXPECT_TRUE(first.Pass(leecher.Facts(), leecherAnnounced, 100).empty());
  EXPECT_TRUE(leecherAnnounced);
  const std::vector<LanPeer> atSeeder = PassUntilFound(second, seeder, seederAnnounced);
  ASSERT_FALSE(atSeeder.empty());
  EXPECT_EQ(atSeeder[0].ip, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(atSeeder[0].port, 7002);
  EXPECT_EQ(std::string(atSeeder[0].peerId.begin(), atSeeder[0].peerId.end()), leecher.peerId);

  // The seeder answered; its own query and answers came back to it and were not taken.
  const std::vector<LanPeer> atLeecher = PassUntilFound(first, leecher, leecherAnnounced);
  ASSERT_FALSE(atLeecher.empty());
  for (const LanPeer& peer : atLeecher) {
    EXPECT_EQ(peer.port, 7001);
    EXPECT_EQ(std::string(peer.peerId.begin(), peer.peerId.end()), seeder.peerId);
  }
  for (const LanPeer& peer : atSeeder) EXPECT_EQ(peer.port, 7002);
}

TEST(LanDiscoveryTest, OnlyWellFormedMessagesFromOthersCount) {
  LanDiscovery lan;
  ASSERT_TRUE(lan.Join());
  const FakeTask task{std::string(20, 'h'), std::string(20, 'o'), 7003};
  const std::string good = Message(task.hash, std::string(20, 'r'), 7100, LanMessage::kAnswer);
  const uint32_t other = htonl(0x7F000002);
  std::string firstWord = good;
  firstWord[3] = 1;
  struct Case {
    const char* what;
    std::string bytes;
    uint32_t from;
    size_t found;
  } cases[] = {
      {"an answer for the task", good, other, 1},
      {"one byte short", good.substr(0, 55), other, 0},
      {"one byte long", good + "x", other, 0},
      {"first word not zero", firstWord, other, 0},
      {"our own message", Message(task.hash, task.peerId, 7003, LanMessage::kQuery), htonl(INADDR_LOOPBACK), 0},
      {"no port", Message(task.hash, std::string(20, 'r'), 0, LanMessage::kAnswer), other, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Feed(lan, task, c.bytes, c.from).size(), c.found) << c.what;
  const std::vector<LanPeer> found = Feed(lan, task, good, other);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].ip, other) << "the peer is where the datagram came from";
  EXPECT_EQ(found[0].port, 7100);
}

TEST(LanDiscoveryTest, AnnouncementsWaitForTheTaskOfTheirSwarm) {
  LanDiscovery lan;
  ASSERT_TRUE(lan.Join());
  FakeTask receiver{std::string(20, '1'), std::string(20, 'a'), 7004, 3};
  FakeTask owner{std::string(20, '2'), std::string(20, 'b'), 7004, 3};
  FakeTask bystander{std::string(20, '3'), std::string(20, 'c'), 7004, 3};
  const uint32_t from = htonl(0x7F000003);
  Feed(lan, receiver, Message(owner.hash, std::string(20, 'x'), 7200, LanMessage::kAnswer), from, 100);
  Feed(lan, receiver, Message(owner.hash, std::string(20, 'x'), 7200, LanMessage::kAnswer), from, 100);
  Feed(lan, receiver, Message(bystander.hash + "", std::string(20, 'y'), 7300, LanMessage::kAnswer), from, 100);
  EXPECT_EQ(lan.AnnouncementCount(), 2u) << "one per peer id";

  bool announced = true;
  const std::vector<LanPeer> found = lan.Pass(owner.Facts(), announced, 110);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].port, 7200);
  EXPECT_EQ(lan.AnnouncementCount(), 1u) << "taken by its task; the other is viewed by two of three";

  // Whoever has seen it, an announcement lasts 30 seconds.
  lan.Pass(receiver.Facts(), announced, 130);
  EXPECT_EQ(lan.AnnouncementCount(), 1u);
  lan.Pass(receiver.Facts(), announced, 131);
  EXPECT_EQ(lan.AnnouncementCount(), 0u);
}

}  // namespace
}  // namespace bw
