#include "engine/task/SwarmListener.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/task/EngineSettings.h"
#include "platform/Thread.h"
#include "tests/net/LoopbackServer.h"

namespace bw {
namespace {

using test::FreePort;

std::string Hash(char fill) { return std::string(20, fill); }

std::string Handshake(char hashFill) {
  std::string h(1, '\x13');
  h += "BitTorrent protocol";
  h += std::string(8, '\0');
  h += Hash(hashFill);
  h += std::string(20, 'p');
  return h;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// A remote peer dialling the listener from 127.0.0.1.
class Dialler {
 public:
  Dialler(int port, const std::string& bytes) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (connected_ && !bytes.empty()) test::WriteAll(fd_, bytes);
  }
  ~Dialler() { ::close(fd_); }

  bool Connected() const { return connected_; }
  // The listener's side closed within timeoutMs.
  bool Closed(int timeoutMs = 2000) const {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char c;
    return ::recv(fd_, &c, 1, MSG_DONTWAIT) <= 0;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class SwarmListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    ProcessSettings().listenPort = port_;
    ProcessSettings().p2pEnabled = true;
  }
  void TearDown() override {
    ProcessSettings().listenPort = 0;
    ProcessSettings().p2pEnabled = true;
  }

  // Rounds for the task of ownHash at the given time until it has claimed `want` connections
  // (the connections need a moment to arrive).
  std::vector<std::unique_ptr<QSocket>> Claim(const char* ownHash, size_t want, uint32_t nowMs) {
    std::vector<std::unique_ptr<QSocket>> claimed;
    const std::string hash = ownHash ? Hash(*ownHash) : "";
    for (int i = 0; i < 100 && claimed.size() < want; ++i) {
      ListenerRound round = listener_.Serve(ownHash ? Bytes(hash) : nullptr, nullptr, nowMs);
      for (auto& s : round.claimed) claimed.push_back(std::move(s));
      if (claimed.size() < want) platform::SleepMs(10);
    }
    return claimed;
  }

  // Tasks serve the hashes "aaa..." and "bbb...".
  SwarmListener listener_{[](const uint8_t* hash) {
    return std::memcmp(hash, Hash('a').data(), 20) == 0 || std::memcmp(hash, Hash('b').data(), 20) == 0;
  }};
  int port_ = 0;
};

TEST_F(SwarmListenerTest, RoutesEachHandshakeToTheTaskOfItsHash) {
  ASSERT_TRUE(listener_.Serve(nullptr, nullptr, 0).served);
  ASSERT_EQ(listener_.Port(), port_);
  const std::string disguised = "GET /x HTTP/1.1\r\nHost: a\r\n\r\n" + Handshake('b');
  Dialler forA(port_, Handshake('a'));
  Dialler forB(port_, disguised);
  Dialler unknown(port_, Handshake('c'));
  Dialler silent(port_, "");
  ASSERT_TRUE(forA.Connected() && forB.Connected() && unknown.Connected() && silent.Connected());

  std::vector<std::unique_ptr<QSocket>> a = Claim("a", 1, 100);
  ASSERT_EQ(a.size(), 1u);
  // The task's peer reads the handshake itself: the bytes are still held.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(a[0]->ReceivedData()), a[0]->ReceivedSize()), Handshake('a'));
  EXPECT_TRUE(unknown.Closed()) << "a hash no task serves is closed at once";
  EXPECT_FALSE(silent.Closed(0));

  std::vector<std::unique_ptr<QSocket>> b = Claim("b", 1, 200);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b[0]->ReceivedData()), b[0]->ReceivedSize()), disguised);

  EXPECT_EQ(listener_.PendingCount(), 1u);
  // Accepted in the round at 100 ms.
  listener_.Serve(nullptr, nullptr, 3099);
  EXPECT_FALSE(silent.Closed(0));
  listener_.Serve(nullptr, nullptr, 3100);
  EXPECT_TRUE(silent.Closed()) << "a connection that sends nothing is closed after 3 s";
  EXPECT_EQ(listener_.PendingCount(), 0u);
}

TEST_F(SwarmListenerTest, CrowdedPendingListIsSwept) {
  listener_.Serve(nullptr, nullptr, 0);
  std::vector<std::unique_ptr<Dialler>> silent;
  // Accepted as they come: the backlog is short.
  for (int i = 0; i < 33; ++i) {
    silent.push_back(std::make_unique<Dialler>(port_, "x"));
    listener_.Serve(nullptr, nullptr, 0);
  }
  Dialler waiting(port_, Handshake('b'));
  for (int i = 0; i < 100 && listener_.PendingCount() < 34; ++i) {
    listener_.Serve(nullptr, nullptr, 0);
    platform::SleepMs(10);
  }
  ASSERT_EQ(listener_.PendingCount(), 34u);
  listener_.Serve(nullptr, nullptr, 1001);
  // Past a second, a connection that has not sent a handshake yet makes way.
  EXPECT_EQ(listener_.PendingCount(), 1u);
  for (const auto& d : silent) EXPECT_TRUE(d->Closed());
  EXPECT_FALSE(waiting.Closed(0));
}

TEST_F(SwarmListenerTest, TakenPortMovesToOneOfTheNext) {
  QSocket other;
  ASSERT_TRUE(other.Listen(port_, htonl(INADDR_LOOPBACK)));
  const ListenerRound round = listener_.Serve(nullptr, nullptr, 0);
  EXPECT_GT(listener_.Port(), port_);
  EXPECT_LT(listener_.Port(), port_ + SwarmListener::kPortTries);
  EXPECT_EQ(round.port, listener_.Port());
  EXPECT_TRUE(round.addressText.ends_with(" : " + std::to_string(listener_.Port()))) << round.addressText;
  Dialler reaches(listener_.Port(), "");
  EXPECT_TRUE(reaches.Connected());
}

TEST_F(SwarmListenerTest, P2POffClosesTheListenerAndStopEndsTheService) {
  listener_.Serve(nullptr, nullptr, 0);
  ASSERT_EQ(listener_.Port(), port_);
  ProcessSettings().p2pEnabled = false;
  ListenerRound round = listener_.Serve(nullptr, nullptr, 0);
  EXPECT_EQ(round.addressText, SwarmListener::kDisabledText);
  EXPECT_EQ(listener_.Port(), 0);
  EXPECT_FALSE(Dialler(port_, "").Connected());

  ProcessSettings().p2pEnabled = true;
  EXPECT_EQ(listener_.Serve(nullptr, nullptr, 0).port, port_);
  Dialler pending(port_, "");
  for (int i = 0; i < 100 && listener_.PendingCount() == 0; ++i) {
    listener_.Serve(nullptr, nullptr, 0);
    platform::SleepMs(10);
  }
  ASSERT_EQ(listener_.PendingCount(), 1u);

  listener_.Stop();
  EXPECT_TRUE(pending.Closed());
  EXPECT_FALSE(listener_.Serve(nullptr, nullptr, 0).served);
  EXPECT_EQ(listener_.Port(), 0) << "no round reopens it once stopped";
  listener_.Resume();
  EXPECT_TRUE(listener_.Serve(nullptr, nullptr, 0).served);
  EXPECT_EQ(listener_.Port(), port_);
}

}  // namespace
}  // namespace bw
