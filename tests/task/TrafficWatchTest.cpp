#include "engine/task/TrafficWatch.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "tests/net/FakeTransport.h"
#include "tests/net/SocketPump.h"

namespace bw {
namespace {

// Longer than any test's wait needs: a wait that runs to it has missed what should end it.
constexpr uint32_t kLongWaitMs = 10000;
constexpr uint32_t kShortWaitMs = 30;

class TrafficWatchTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(pair.far, nullptr); }
  // The far end sends; the near end's input is then waiting.
  void Arrive(const char* text = "data") { ASSERT_GT(test::SendText(*pair.far, text), 0); }
  bool Watch(bool read, uint32_t ms) {
    watch.Clear();
    watch.Add(pair.near, read);
    return watch.Wait(rest, ms);
  }

  test::SocketPair pair;
  TrafficWatch watch;
  TLoopRest rest;
};

TEST_F(TrafficWatchTest, InputEndsTheWaitUnlessReadingIsHeldBack) {
  EXPECT_FALSE(Watch(true, kShortWaitMs)) << "nothing arrived";
  Arrive();
  EXPECT_FALSE(Watch(false, kShortWaitMs)) << "a spent budget: the input waits for the next slice";
  EXPECT_TRUE(Watch(true, kLongWaitMs));
}

TEST_F(TrafficWatchTest, InputLeftUnreadSitsOutOneWaitThenCountsAgain) {
  Arrive();
  EXPECT_TRUE(Watch(true, kLongWaitMs));
  EXPECT_FALSE(Watch(true, kShortWaitMs)) << "the step after the wake read nothing: no second wake for it";
  EXPECT_TRUE(Watch(true, kLongWaitMs)) << "watched again one wait later";
  ASSERT_EQ(test::ReceiveAtLeast(pair.near, 4), 4);
  pair.near.ConsumeReceived(-1);
  Arrive();
  EXPECT_TRUE(Watch(true, kLongWaitMs)) << "bytes moved since its wake: watched at once";
}

TEST_F(TrafficWatchTest, QueuedOutputIsWatchedUntilItHasLeft) {
  EXPECT_FALSE(Watch(false, kShortWaitMs)) << "nothing to send";
  // More than the network takes at once: the rest stays queued on the socket.
  const int64_t size = int64_t{64} << 20;
  ASSERT_GE(test::SendText(pair.near, std::string(static_cast<size_t>(size), 'x')), 0);
  ASSERT_GT(pair.near.SendQueued(), 0);
  auto drained = std::async(std::launch::async, [&] {
    QSocket& far = *pair.far;
    while (far.BytesReceived() < static_cast<uint64_t>(size) && far.WaitReadable(10) && far.Receive() >= 0) {
      far.ConsumeReceived(-1);
    }
    return far.BytesReceived();
  });
  // Each wait ends once the network takes more; the queue leaves in full.
  while (pair.near.SendQueued() > 0) {
    ASSERT_TRUE(Watch(false, kLongWaitMs));
    ASSERT_GE(pair.near.Flush(), 0);
  }
  EXPECT_EQ(drained.get(), static_cast<uint64_t>(size));
  EXPECT_FALSE(Watch(false, kShortWaitMs)) << "all sent: no longer watched";
}

TEST_F(TrafficWatchTest, AWakeEndsAWaitOnQuietSockets) {
  watch.Clear();
  watch.Add(pair.near, true);
  auto waiting = std::async(std::launch::async, [&] { return watch.Wait(rest, kLongWaitMs); });
  rest.Wake();
  EXPECT_TRUE(waiting.get());
}

// A connection over UDP has no handle of the system: the transport wakes the wait, and the request
// is withdrawn when the wait ends, so that it never outlives the loop.
TEST(TrafficWatchOverUdpTest, TheTransportWakesTheWaitAndForgetsItAfter) {
  test::FakeTransport net;
  QSocket socket;
  const uint8_t tag[8] = {'R', 'E', 'M', 'O', 'T', 'E', '0', '1'};
  ASSERT_TRUE(socket.Connect(0x0700000A, 6881, false, nullptr, 0, tag));
  TrafficWatch watch;
  TLoopRest rest;
  const auto wait = [&](uint32_t ms) {
    watch.Clear();
    watch.Add(socket, true);
    return watch.Wait(rest, ms);
  };
  EXPECT_FALSE(wait(kShortWaitMs)) << "connecting and nothing came";
  EXPECT_EQ(net.waiter, nullptr);
  net.wakeAtOnce = true;
  EXPECT_TRUE(wait(kLongWaitMs));
  EXPECT_EQ(net.waiter, nullptr);
  net.wakeAtOnce = false;
  net.incoming = "data";
  EXPECT_TRUE(wait(kLongWaitMs)) << "input the transport holds ends the wait at once";
}

}  // namespace
}  // namespace bw
