// Writes beside the task thread: they run and report in queue order, a full writer holds the
// caller back, a failed write is reported with its cause, and cancelled writes never run or
// report; a map that writes in the background shows its task what one that writes inline shows.
#include "engine/storage/TPieceWriter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace bw {
namespace {

// Writes that wait until the test lets them go, and the order in which they ran.
class Disk {
 public:
  TPieceWriter::Write Writing(int32_t index, int64_t result, int error = 0) {
    return [this, index, result, error](int* failure) {
      std::unique_lock<std::mutex> guard(mutex_);
      ran_.push_back(index);
      changed_.notify_all();
      changed_.wait(guard, [this] { return open_; });
      *failure = error;
      return result;
    };
  }
  void Open() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void WaitUntilRunning(size_t count) {
    std::unique_lock<std::mutex> guard(mutex_);
    changed_.wait(guard, [this, count] { return ran_.size() >= count; });
  }
  std::vector<int32_t> Ran() {
    std::lock_guard<std::mutex> guard(mutex_);
    return ran_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  std::vector<int32_t> ran_;
};

std::vector<int32_t> Indices(const std::vector<TPieceWriter::Done>& done) {
  std::vector<int32_t> indices;
  for (const TPieceWriter::Done& write : done) indices.push_back(write.index);
  return indices;
}

TEST(PieceWriterTest, WritesRunAndReportInQueueOrderAndAFullWriterHoldsTheCallerBack) {
  Disk disk;
  TPieceWriter writer(300);
  writer.Queue(7, 100, disk.Writing(7, 100));
  writer.Queue(2, 100, disk.Writing(2, 60));
  writer.Queue(5, 100, disk.Writing(5, -1, -ENOSPC));
  EXPECT_TRUE(writer.Full());
  disk.WaitUntilRunning(1);
  EXPECT_FALSE(writer.Idle());
  EXPECT_TRUE(writer.TakeDone().empty());
  std::atomic<bool> roomFound = false;
  std::thread caller([&] {
    writer.WaitForRoom();
    roomFound = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(roomFound) << "a full writer lets its caller go on";
  disk.Open();
  caller.join();
  writer.Queue(1, 100, disk.Writing(1, 100));
  const std::vector<TPieceWriter::Done> done = writer.Settle();
  EXPECT_TRUE(writer.Idle());
  EXPECT_FALSE(writer.Full());
  EXPECT_EQ(disk.Ran(), (std::vector<int32_t>{7, 2, 5, 1}));
  ASSERT_EQ(Indices(done), (std::vector<int32_t>{7, 2, 5, 1}));
  EXPECT_EQ(done[0].written, 100);
  EXPECT_EQ(done[1].written, 60);  // short: the caller tells
  EXPECT_EQ(done[2].written, -1);
  EXPECT_EQ(done[2].error, -ENOSPC);
  EXPECT_EQ(done[3].error, 0);
  EXPECT_TRUE(writer.TakeDone().empty());
}

TEST(PieceWriterTest, CancelledWritesNeverRunNorReportAndCancellingWaitsForTheRunningOne) {
  Disk disk;
  {
    TPieceWriter writer(1000);
    for (int32_t index : {0, 1, 2, 3}) writer.Queue(index, 10, disk.Writing(index, 10));
    disk.WaitUntilRunning(1);
    std::atomic<bool> cancelled = false;
    std::thread stopper([&] {
      writer.Cancel(0);  // running: waits until its memory is no longer read
      cancelled = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(cancelled);
    writer.Cancel(2);  // queued: gone at once
    disk.Open();
    stopper.join();
    EXPECT_EQ(Indices(writer.Settle()), (std::vector<int32_t>{1, 3}));
    EXPECT_EQ(disk.Ran(), (std::vector<int32_t>{0, 1, 3}));
    // A report not yet taken goes with its write.
    writer.Queue(4, 10, disk.Writing(4, 10));
    while (!writer.Idle()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    writer.Cancel(4);
    EXPECT_TRUE(writer.TakeDone().empty());
  }
  Disk stuck;
  {
    // A stop with writes queued: the running one finishes, the others never start.
    TPieceWriter writer(1000);
    for (int32_t index : {0, 1, 2}) writer.Queue(index, 10, stuck.Writing(index, 10));
    stuck.WaitUntilRunning(1);
    std::thread opener([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      stuck.Open();
    });
    writer.CancelAll();
    opener.join();
    EXPECT_TRUE(writer.Idle());
    EXPECT_FALSE(writer.Full());
    EXPECT_TRUE(writer.TakeDone().empty());
  }
  EXPECT_EQ(stuck.Ran(), (std::vector<int32_t>{0}));
}

}  // namespace
}  // namespace bw
