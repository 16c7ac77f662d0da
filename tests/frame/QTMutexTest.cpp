#include "engine/frame/QTMutex.h"

#include <gtest/gtest.h>

#include <thread>

namespace bw {
namespace {

TEST(QTMutex, RecursiveLockIsReleasedByAsManyUnlocks) {
  QTMutex m;
  ASSERT_TRUE(m.Lock());
  ASSERT_TRUE(m.Lock());
  EXPECT_EQ(m.Count(), 2);
  EXPECT_TRUE(m.Unlock());
  EXPECT_NE(m.Owner(), 0u);
  EXPECT_TRUE(m.Unlock());
  EXPECT_EQ(m.Owner(), 0u);
  EXPECT_FALSE(m.Unlock());
}

TEST(QTMutex, TryLockFromSecondThreadFailsAtOnceWhileHeld) {
  QTMutex m;
  ASSERT_TRUE(m.Lock());
  bool got = true;
  std::thread([&] { got = m.TryLock(); }).join();
  EXPECT_FALSE(got);
  EXPECT_TRUE(m.TryLock());  // the owner may re-enter
  m.Unlock();
  m.Unlock();
  std::thread([&] {
    got = m.TryLock();
    if (got) m.Unlock();
  }).join();
  EXPECT_TRUE(got);
}

TEST(QTMutex, UnlockByNonOwnerIsRefused) {
  QTMutex m;
  ASSERT_TRUE(m.Lock());
  bool released = true;
  std::thread([&] { released = m.Unlock(); }).join();
  EXPECT_FALSE(released);
  EXPECT_TRUE(m.Unlock());
}

TEST(QTMutex, LockOfMutexWhoseOwnerDiedSucceeds) {
  QSMutex m;
  std::thread([&] { m.Lock(); }).join();  // ends without releasing
  EXPECT_TRUE(m.Lock());
  EXPECT_TRUE(m.Unlock());
}

TEST(QScopedLock, ReleasesOnScopeExit) {
  QTMutex m;
  {
    QScopedLock guard(m);
    EXPECT_TRUE(guard.Locked());
    EXPECT_EQ(m.Count(), 1);
  }
  EXPECT_EQ(m.Owner(), 0u);
}

}  // namespace
}  // namespace bw
