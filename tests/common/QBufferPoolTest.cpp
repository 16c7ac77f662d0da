#include "engine/common/QBufferPool.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace bw {
namespace {

TEST(QBufferPool, ReusesExactOrNearFitsAndMakesNewOtherwise) {
  QBufferPool pool;
  int64_t size = 0;
  uint8_t* a = pool.Alloc(5000, &size);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(size, 5000);
  a[5000] = 0;  // one byte beyond the size is always there
  EXPECT_TRUE(pool.Free(a));
  EXPECT_EQ(pool.FreeBytes(), 5000);

  EXPECT_EQ(pool.Alloc(5000, &size), a);  // exact size
  EXPECT_TRUE(pool.Free(a));
  EXPECT_EQ(pool.Alloc(4000, &size), a);  // larger by less than 1,024
  EXPECT_EQ(size, 5000);
  EXPECT_TRUE(pool.Free(a));
  uint8_t* b = pool.Alloc(3976, &size);   // larger by 1,024: not taken
  EXPECT_NE(b, a);
  EXPECT_EQ(size, 3976);
  uint8_t* c = pool.Alloc(6000, &size);   // smaller buffers never serve
  EXPECT_NE(c, a);
  EXPECT_EQ(pool.UsedBytes(), 3976 + 6000);
  EXPECT_TRUE(pool.Free(b));
  EXPECT_TRUE(pool.Free(c));
}

TEST(QBufferPool, RefusesForeignBuffersAndCountsZeroAsOne) {
  QBufferPool pool;
  uint8_t foreign[4];
  EXPECT_FALSE(pool.Free(foreign));
  EXPECT_FALSE(pool.Free(nullptr));
  int64_t size = 0;
  uint8_t* one = pool.Alloc(0, &size);
  EXPECT_EQ(size, 1);
  EXPECT_TRUE(pool.Free(one));
  EXPECT_FALSE(pool.Free(one));  // twice is refused, not a double free
}

TEST(QBufferPool, TrimKeepsAtMostTheGivenFreeBytes) {
  QBufferPool pool;
  std::vector<uint8_t*> buffers;
  for (int64_t n : {1000, 20000, 3000, 400000}) buffers.push_back(pool.Alloc(n));
  uint8_t* kept = pool.Alloc(777);
  for (uint8_t* b : buffers) pool.Free(b);
  EXPECT_EQ(pool.FreeBytes(), 424000);
  pool.Trim(25000);
  EXPECT_LE(pool.FreeBytes(), 25000);
  EXPECT_EQ(pool.FreeBytes(), 24000);  // the largest go first
  pool.Trim(0);
  EXPECT_EQ(pool.FreeBytes(), 0);
  EXPECT_EQ(pool.UsedBytes(), 777);
  pool.Free(kept);
}

TEST(QBufferPool, ThreadsShareOnePool) {
  QBufferPool pool;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&pool, t] {
      for (int i = 0; i < 2000; ++i) {
        uint8_t* b = pool.Alloc(1000 + (i + t) % 700);
        b[0] = static_cast<uint8_t>(i);
        pool.Free(b);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(pool.UsedBytes(), 0);
}

}  // namespace
}  // namespace bw
