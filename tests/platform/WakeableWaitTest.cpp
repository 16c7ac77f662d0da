#include "platform/WakeableWait.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>

namespace platform {
namespace {

// A wait far longer than any test: only what ends it early lets it return in time.
constexpr int kLongWaitMs = 600000;
constexpr auto kPatience = std::chrono::seconds(10);

class Pair {
 public:
  Pair() { ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends_); }
  ~Pair() {
    ::close(ends_[0]);
    ::close(ends_[1]);
  }
  int Near() const { return ends_[0]; }
  void SendFromFar() { ASSERT_EQ(::write(ends_[1], "x", 1), 1); }

 private:
  int ends_[2] = {-1, -1};
};

TEST(WakeableWaitTest, WakeEndsAWaitAndAnEarlierWakeIsNotLost) {
  WakeableWait wait;
  auto waiting = std::async(std::launch::async, [&] { return wait.Wait({}, kLongWaitMs); });
  wait.Wake();  // before or during the wait: either way it ends
  ASSERT_EQ(waiting.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
  // The wake was used up: the next wait runs to its time.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(wait.Wait({}, 30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(WakeableWaitTest, ASocketEndsTheWaitOnlyForWhatItIsWatchedFor) {
  struct Case {
    const char* name;
    int what;
    bool inputArrives;
    int ready;  // the bits reported; 0: the wait runs to its time
  };
  const Case cases[] = {
      {"input arrives", kWaitRead, true, kWaitRead},
      {"nothing to read", kWaitRead, false, 0},
      {"room to write", kWaitWrite, false, kWaitWrite},
      {"input while not watched", 0, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pair watched;
    Pair quiet;
    if (c.inputArrives) watched.SendFromFar();
    SocketWatch watches[] = {{quiet.Near(), kWaitRead, 0}, {watched.Near(), c.what, 0}};
    const int timeoutMs = c.ready ? kLongWaitMs : 30;
    auto waiting = std::async(std::launch::async, [&] { return WakeableWait().Wait(watches, timeoutMs); });
    ASSERT_EQ(waiting.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(waiting.get(), c.ready != 0);
    EXPECT_EQ(watches[1].ready, c.ready);
    EXPECT_EQ(watches[0].ready, 0);
  }
}

TEST(WakeableWaitTest, InputArrivingDuringTheWaitEndsIt) {
  Pair pair;
  SocketWatch watch{pair.Near(), kWaitRead, 0};
  WakeableWait wait;
  auto waiting = std::async(std::launch::async, [&] { return wait.Wait({&watch, 1}, kLongWaitMs); });
  pair.SendFromFar();
  ASSERT_EQ(waiting.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
  EXPECT_EQ(watch.ready, kWaitRead);
}

}  // namespace
}  // namespace platform
