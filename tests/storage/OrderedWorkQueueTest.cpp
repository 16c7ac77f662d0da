// What the bytes of a job count for at each stage under both byte policies, and a cancel that
// finds its job running: it waits for the job, and the bytes go with it.
#include "engine/storage/OrderedWorkQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace bw {
namespace {

TEST(OrderedWorkQueueTest, BytesCountUntilRunOrTakenAndACancelFreesThemAtEveryStage) {
  for (const JobBytes policy : {JobBytes::kFreedWhenRun, JobBytes::kHeldUntilTaken}) {
    SCOPED_TRACE(policy == JobBytes::kHeldUntilTaken ? "held until taken" : "freed when run");
    const bool held = policy == JobBytes::kHeldUntilTaken;
    std::promise<void> started;
    std::promise<void> release;
    std::atomic<bool> ended = false;
    OrderedWorkQueue<int> queue(111, policy);
    queue.Queue(1, 100, [] { return 1; });
    queue.Queue(2, 10, [&] {
      started.set_value();
      release.get_future().wait();
      ended = true;
      return 2;
    });
    queue.Queue(3, 1, [] { return 3; });
    started.get_future().wait();
    EXPECT_EQ(queue.BytesInFlight(), (held ? 100 : 0) + 10 + 1);
    EXPECT_EQ(queue.Full(), held);
    queue.Cancel(1);  // finished, its result not taken
    EXPECT_EQ(queue.BytesInFlight(), 11);
    std::thread releaser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      release.set_value();
    });
    queue.Cancel(2);
    EXPECT_TRUE(ended) << "a cancel returned while its job still ran";
    releaser.join();
    int result = 0;
    EXPECT_TRUE(queue.TakeOldest(&result));
    EXPECT_EQ(result, 3);
    EXPECT_FALSE(queue.TakeOldest(&result));
    EXPECT_EQ(queue.InFlight(), 0u);
    EXPECT_EQ(queue.BytesInFlight(), 0);
  }
}

}  // namespace
}  // namespace bw
