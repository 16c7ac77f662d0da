#include "engine/frame/QThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "platform/Thread.h"

namespace bw {
namespace {

// Waits for a condition that another thread will make true; fails the test after a generous bound.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    platform::SleepMs(5);
  }
  return true;
}

class LoopThread : public QThread {
 public:
  ~LoopThread() override { Stop(); }
  void Run() override {
    while (!IsStopRequested()) {
      ++iterations;
      platform::SleepMs(1);
    }
  }
  std::atomic<int> iterations{0};
};

TEST(QThread, StartStopAndRestart) {
  LoopThread thread;
  ASSERT_TRUE(thread.Start("loop"));
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_NE(thread.ThreadId(), 0u);
  EXPECT_FALSE(thread.Start("loop")) << "a running thread is not started twice";
  EXPECT_EQ(thread.StartCount(), 1);
  ASSERT_TRUE(Eventually([&] { return thread.iterations > 0; }));

  EXPECT_TRUE(thread.Stop());
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(thread.ThreadId(), 0u);
  const int stoppedAt = thread.iterations;
  platform::SleepMs(20);
  EXPECT_EQ(thread.iterations, stoppedAt);
  EXPECT_TRUE(thread.Stop()) << "stopping an idle thread succeeds";

  ASSERT_TRUE(thread.Start("loop again"));
  EXPECT_EQ(thread.StartCount(), 2);
  EXPECT_TRUE(Eventually([&] { return thread.iterations > stoppedAt; }));
}

class SelfStoppingThread : public QThread {
 public:
  void Run() override {
    stopResult = Stop() ? 1 : 0;
    finished = true;
  }
  std::atomic<int> stopResult{-1};
  std::atomic<bool> finished{false};
};

TEST(QThread, StopFromInsideRunIsRefusedWithoutWaiting) {
  SelfStoppingThread thread;
  thread.Start("self");
  ASSERT_TRUE(Eventually([&] { return thread.finished.load(); }));
  EXPECT_EQ(thread.stopResult, 0);
  EXPECT_TRUE(Eventually([&] { return !thread.IsRunning(); }));
}

TEST(QThread, PausedLoopStandsStillUntilResumedOrStopped) {
  LoopThread thread;
  ASSERT_TRUE(thread.Start("loop"));
  ASSERT_TRUE(Eventually([&] { return thread.iterations > 0; }));

  thread.SetPause(true);
  int seen = -1;
  ASSERT_TRUE(Eventually([&] {  // the loop finishes the step it was in, then stands still
    const int before = thread.iterations;
    platform::SleepMs(30);
    seen = thread.iterations;
    return seen == before;
  }));
  platform::SleepMs(300);
  EXPECT_EQ(thread.iterations, seen);

  thread.SetPause(false);
  EXPECT_TRUE(Eventually([&] { return thread.iterations > seen; }));

  thread.SetPause(true);
  EXPECT_TRUE(thread.Stop()) << "a stop request ends the pause";
  EXPECT_FALSE(thread.IsRunning());
}

class ThrowingThread : public QThread {
 public:
  void Run() override {
    lock.Lock();
    lock.Lock();
    throw std::runtime_error("fails while holding its lock");
  }
};

TEST(QThread, ExceptionInRunEndsTheThreadAndReleasesItsLock) {
  ThrowingThread thread;
  thread.Start("throws");
  ASSERT_TRUE(Eventually([&] { return !thread.IsRunning(); }));
  bool got = false;
  std::thread([&] {
    got = thread.lock.TryLock();
    if (got) thread.lock.Unlock();
  }).join();
  EXPECT_TRUE(got);
}

struct Flag : QThreadContext {
  explicit Flag(std::atomic<int>& destroyed) : destroyed(destroyed) {}
  ~Flag() override { ++destroyed; }
  std::atomic<int>& destroyed;
};

class QuickThread : public QThread {
 public:
  explicit QuickThread(std::atomic<int>* destroyed = nullptr) : destroyed_(destroyed) {}
  ~QuickThread() override {
    if (destroyed_) ++*destroyed_;
  }
  void Run() override { sawContext = Context() != nullptr; }
  std::atomic<bool> sawContext{false};

 private:
  std::atomic<int>* destroyed_;
};

TEST(QThread, ContextLivesForOneRun) {
  std::atomic<int> destroyed{0};
  QuickThread thread;
  EXPECT_TRUE(thread.Start("quick", std::make_unique<Flag>(destroyed))) << "a run that ended at once still started";
  ASSERT_TRUE(Eventually([&] { return destroyed == 1; }));
  EXPECT_TRUE(thread.sawContext);
  EXPECT_FALSE(thread.IsRunning());
}

TEST(QThread, DeleteOnExitDestroysTheObjectWhenItsThreadEnds) {
  std::atomic<int> destroyed{0};
  auto* thread = new QuickThread(&destroyed);
  thread->deleteOnExit = true;
  thread->Start("gone");  // the run ends while Start still waits: the delete must wait for Start
  EXPECT_TRUE(Eventually([&] { return destroyed == 1; }));
}

TEST(QThread, SignalStopThenHasEndedStopsWithoutWaiting) {
  LoopThread thread;
  ASSERT_TRUE(thread.Start("loop"));
  uint32_t id = 0;
  EXPECT_TRUE(thread.SignalStop(&id));
  EXPECT_EQ(id, thread.ThreadId());
  EXPECT_TRUE(Eventually([&] { return thread.HasEnded(id); }));
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_FALSE(thread.SignalStop(&id));
  EXPECT_EQ(id, 0u);
}

class SleepingThread : public QThread {
 public:
  ~SleepingThread() override { Stop(); }
  void Run() override { left = SleepSeconds(30); }
  std::atomic<int> left{-1};
};

TEST(QThread, SleepSecondsLeavesEarlyOnStop) {
  SleepingThread thread;
  ASSERT_TRUE(thread.Start("sleeper"));
  EXPECT_TRUE(thread.Stop());
  EXPECT_GT(thread.left, 0);
}

}  // namespace
}  // namespace bw
