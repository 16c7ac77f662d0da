#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <stdexcept>

#include "engine/task/TaskRegistry.h"
#include "engine/storage/TTaskInfoFile.h"
#include "engine/task/TWorkThread.h"
#include "platform/File.h"
#include "tests/task/TaskTestSupport.h"

namespace bw {
namespace {

using test::EngineTest;
using test::kAppFlags;

constexpr int64_t kPiece = 32768;
constexpr uint8_t kInfoHash[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

// A task whose metadata is a single-file torrent built by the test; the content arrives while
// the metadata loads, the first time only, unless a disk event is to stop it.
class PieceMapTask : public TWorkThread {
 public:
  explicit PieceMapTask(std::string data) : content(std::move(data)) {}
  ~PieceMapTask() override { Stop(); }

  bool CompleteAt(uint64_t now) { return IsContentComplete(now); }
  bool Load() { return LoadMetadata(); }
  TTaskStatus Working() const { return working; }

  std::string content;
  int32_t eventOnLoad = 0;
  int loads = 0;

 protected:
  bool LoadMetadata() override {
    metadataLoaded = true;
    TPieces& map = CreatePieceMap();
    const auto info = test::Parse(test::SingleInfo("out.bin", static_cast<int64_t>(content.size()), kPiece,
                                                   test::PieceHashes(content, kPiece)));
    if (!info || !map.LoadInfo(*info)) return false;
    map.SetInfoHash(kInfoHash);
    if (eventOnLoad) OnPiecesEvent({eventOnLoad, 1, 0, nullptr});
    if (loads++ == 0 && !eventOnLoad) {
      for (int64_t at = 0; at < static_cast<int64_t>(content.size()); at += kBlockSize) {
        const auto length = static_cast<int32_t>(std::min<int64_t>(kBlockSize, content.size() - at));
        bool accepted = false;
        map.ReceiveBlock(at / kBlockSize, length, reinterpret_cast<const uint8_t*>(content.data() + at),
                         nullptr, &accepted);
      }
      map.FlushPieces();
    }
    return true;
  }
};

void DescribeIn(TWorkThread& task, const std::string& target) {
  TaskParams params;
  std::memset(&params, 0, sizeof params);
  std::strncpy(params.target, target.c_str(), kTextSize - 1);
  params.flags = kAppFlags;
  task.Describe(params, true);
}

class PieceMapTaskTest : public EngineTest {
 protected:
  PieceMapTask* Start(int32_t eventOnLoad = 0) {
    std::ofstream(dir.path + "t.torrent", std::ios::binary) << "d4:infode";
    auto* task = new PieceMapTask(test::Content(3 * kPiece + 100));  // EndTasks destroys it
    task->eventOnLoad = eventOnLoad;
    TaskParams params = Params("", kAppFlags | kTaskFlagP2SP, "out.bin", "file://" + dir.path + "t.torrent");
    task->Describe(params, true);
    EXPECT_EQ(task->StartDownload(), kEngineOk);
    return task;
  }
  std::string Out() const { return dir.path + "out.bin"; }
  std::string Info() const { return dir.path + "out.bin.bwinfo"; }
};

TEST_F(PieceMapTaskTest, DiskEventsStopTheTaskWithTheirStatus) {
  const struct {
    int32_t event;
    int status;
  } cases[] = {{TPiecesEvent::kWaitingForDisk, kTaskStatusDiskFull}, {TPiecesEvent::kFileFailed, kTaskStatusWriteFailed}};
  for (const auto& c : cases) {
    PieceMapTask* task = Start(c.event);
    ASSERT_TRUE(Ends(task, 5)) << c.event;
    EXPECT_EQ(Status(task), c.status);
    EXPECT_TRUE(task->DiskFull());
    task->OnPiecesEvent({TPiecesEvent::kDiskAvailable, 1, 0, nullptr});
    EXPECT_FALSE(task->DiskFull());
    test::EndTasks();
  }
}

TEST_F(PieceMapTaskTest, CompletedTaskKeepsSeedingAndDropsItsInfoFileWhenStopped) {
  TTaskInfoFile old;
  old.bits = "old-bits";
  ASSERT_TRUE(old.Save(Info()));
  PieceMapTask* task = Start();
  ASSERT_TRUE(test::WaitFor([&] { return platform::PathExists(Out()) && Status(task) == kTaskStatusComplete; }, 10));
  EXPECT_EQ(test::ReadAll(Out()), task->content);
  EXPECT_FALSE(platform::PathExists(Out() + ".bwtmp"));
  EXPECT_TRUE(task->IsRunning()) << "seeds for seedHours";
  int complete = 0;
  ASSERT_EQ(task->IsComplete(&complete), kEngineOk);
  EXPECT_EQ(complete, 1);
  std::vector<uint8_t> bitmap(4);
  EXPECT_EQ(task->CopyPieceBitmap(bitmap.data(), 4), 4);
  EXPECT_EQ(bitmap[0], 0xF0);
  ASSERT_EQ(test::Stop(task), kEngineOk);
  EXPECT_TRUE(task->Completed());
  EXPECT_FALSE(platform::PathExists(Info()));
  EXPECT_EQ(Status(task), kTaskStatusComplete);
}

TEST_F(PieceMapTaskTest, RestartRemovesTheDataAndStartsFromNothing) {
  PieceMapTask* task = Start();
  ASSERT_TRUE(test::WaitFor([&] { return platform::PathExists(Out()); }, 10));
  ASSERT_EQ(test::Stop(task), kEngineOk);
  std::ofstream(Out() + ".bwinfodf") << "pending";
  std::ofstream(Info()) << "info";
  ASSERT_EQ(task->RestartDownload(), kEngineOk);
  EXPECT_FALSE(platform::PathExists(Out()));
  EXPECT_FALSE(platform::PathExists(Out() + ".bwinfodf"));
  ASSERT_TRUE(test::WaitFor([&] { return task->Published().totalBytes == task->content.size(); }, 5));
  EXPECT_EQ(task->Published().doneBytes, 0u);
  ASSERT_EQ(test::Stop(task), kEngineOk);
  TTaskInfoFile after;
  ASSERT_TRUE(after.Load(Info())) << "an unfinished task keeps its info file";
  EXPECT_FALSE(after.bits.empty());
  EXPECT_EQ(after.torrent, "d4:infode");
}

TEST(PieceMapTaskSeeding, CompletionAnswersAfterTheSeedHours) {
  test::TempDir dir;
  {
    PieceMapTask task(test::Content(kPiece));
    DescribeIn(task, dir.path + "s.bin");
    EXPECT_FALSE(task.CompleteAt(1000)) << "no piece map yet";
    ASSERT_TRUE(task.Load());
    const uint64_t t0 = 5000;
    EXPECT_FALSE(task.CompleteAt(t0));
    EXPECT_EQ(task.Working().completedAt, t0);
    EXPECT_TRUE(task.Completed());
    EXPECT_FALSE(task.CompleteAt(t0 + 12 * 3600 - 1)) << "keeps running for the seed hours";
    EXPECT_TRUE(task.CompleteAt(t0 + 12 * 3600));
    EXPECT_EQ(task.Working().keepRunning, 0);
    EXPECT_TRUE(task.CompleteAt(t0 + 12 * 3600)) << "an HTTP task with all it wants is done";
  }
  test::EndTasks();
}

TEST(PieceMapTaskSwarm, HandshakeCarriesTheInfoHashAndAPeerIdOfItsOwn) {
  test::TempDir dir;
  {
    PieceMapTask a(test::Content(kPiece)), b(test::Content(kPiece));
    DescribeIn(a, dir.path + "a.bin");
    DescribeIn(b, dir.path + "b.bin");
    a.PrepareSwarmIdentity();
    EXPECT_FALSE(a.SwarmIdentityReady()) << "no metadata yet";
    ASSERT_TRUE(a.Load());
    ASSERT_TRUE(b.Load());
    a.PrepareSwarmIdentity();
    b.PrepareSwarmIdentity();
    ASSERT_TRUE(a.SwarmIdentityReady());
    const uint8_t* h = a.Handshake();
    EXPECT_EQ(h[0], 19);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 1), 19), "BitTorrent protocol");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 20), 8), std::string(8, '\0'));
    EXPECT_EQ(std::memcmp(h + 28, kInfoHash, 20), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 48), 4), std::string("\0\1Bw", 4));
    EXPECT_NE(std::memcmp(h + 52, b.Handshake() + 52, 16), 0) << "each task has its own peer id";
  }
  test::EndTasks();
}

// A task with a real torrent; the first `delivered` bytes of the content arrive as its piece map
// is built, the way a source would hand them over.
class ResumingTask : public TWorkThread {
 public:
  ResumingTask(std::string data, int64_t delivered) : content(std::move(data)), delivered_(delivered) {}
  ~ResumingTask() override { Stop(); }
  TPieces* Map() { return PieceMap(); }

  std::string content;

 protected:
  bool LoadMetadata() override {
    if (!TWorkThread::LoadMetadata()) return false;
    bool accepted = false;
    for (int64_t at = 0; at < delivered_; at += kBlockSize) {
      pieces->ReceiveBlock(at / kBlockSize, kBlockSize,
                           reinterpret_cast<const uint8_t*>(content.data() + at), nullptr, &accepted);
    }
    return true;
  }

 private:
  int64_t delivered_;
};

// A stop keeps the blocks of the pieces still arriving, and the next run takes them back.
TEST_F(PieceMapTaskTest, StopKeepsThePiecesStillArrivingForTheNextRun) {
  constexpr int64_t kLong = 16 * kBlockSize;
  const std::string content = test::Content(3 * kLong + 100);
  std::ofstream(dir.path + "real.torrent", std::ios::binary)
      << "d4:info" + test::SingleInfo("out.bin", static_cast<int64_t>(content.size()), kLong, test::PieceHashes(content, kLong)) + "e";
  TaskParams params = Params("", kAppFlags | kTaskFlagP2SP, "out.bin", "file://" + dir.path + "real.torrent");
  auto* first = new ResumingTask(content, kLong + 3 * kBlockSize);  // EndTasks destroys it
  first->Describe(params, true);
  ASSERT_EQ(first->StartDownload(), kEngineOk);
  ASSERT_TRUE(test::WaitFor([&] { return first->Published().doneBytes == kLong; }, 10));
  ASSERT_EQ(test::Stop(first), kEngineOk);
  EXPECT_GT(platform::PathFileSize(Info() + "df"), 0);

  auto* second = new ResumingTask(content, 0);
  second->Describe(params, true);
  ASSERT_EQ(second->ContinueDownload(), kEngineOk);
  ASSERT_TRUE(test::WaitFor([&] { return second->Published().doneBytes == kLong; }, 10));
  ASSERT_EQ(test::Stop(second), kEngineOk);
  EXPECT_EQ(second->Map()->PieceBytesInMemory(1), 3 * kBlockSize);
}

// Swaps between two piece maps of different sizes and refreshes its reports from the task's side,
// as a reloaded torrent does.
class ReportingTask : public PieceMapTask {
 public:
  using PieceMapTask::PieceMapTask;
  void Keep(int which) {
    QScopedLock guard(lock);
    maps[which] = pieces;
  }
  void Use(int which) {
    {
      QScopedLock guard(lock);
      pieces = maps[which];
    }
    RefreshReports(true);
  }

  TRef<TPieces> maps[2];
};

TEST(PieceMapTaskReports, BitmapIsReplacedUnderTheLockReadersTake) {
  test::TempDir dir;
  {
    ReportingTask task(test::Content(kPiece));
    DescribeIn(task, dir.path + "r.bin");
    ASSERT_TRUE(task.Load());
    task.Keep(0);
    task.content = test::Content(200 * kPiece);  // a bitmap too long to live inside its string
    ASSERT_TRUE(task.Load());
    task.Keep(1);
    std::atomic<bool> done{false};
    std::thread reader([&] {
      uint8_t copy[64];
      while (!done) task.CopyPieceBitmap(copy, sizeof copy);
    });
    for (int i = 0; i < 20000; ++i) task.Use(i % 2);
    done = true;
    reader.join();
    uint8_t copy[64] = {};
    EXPECT_EQ(task.CopyPieceBitmap(copy, sizeof copy), 200);
  }
  test::EndTasks();
}

// Takes the task lock and the registry lock, then fails.
class ThrowingTask : public TWorkThread {
 protected:
  bool LoadMetadata() override {
    lock.Lock();
    TaskRegistry::Lock().Lock();
    TaskRegistry::Lock().Lock();
    throw std::runtime_error("broken metadata");
  }
};

TEST_F(PieceMapTaskTest, ExceptionInTheLoopReleasesEveryLockTheThreadHeld) {
  std::ofstream(dir.path + "t.torrent", std::ios::binary) << "d4:infode";
  auto* task = new ThrowingTask;
  TaskParams params = Params("", kAppFlags | kTaskFlagP2SP, "x.bin", "file://" + dir.path + "t.torrent");
  task->Describe(params, true);
  ASSERT_EQ(task->StartDownload(), kEngineOk);
  ASSERT_TRUE(Ends(task, 5));
  ASSERT_TRUE(TaskRegistry::Lock().TryLock());
  TaskRegistry::Lock().Unlock();
  ASSERT_TRUE(task->lock.TryLock());
  task->lock.Unlock();
}

}  // namespace
}  // namespace bw
