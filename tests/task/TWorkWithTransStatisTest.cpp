#include "engine/task/TWorkWithTransStatis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/frame/EngineClock.h"
#include "engine/sources/TPeerObject.h"
#include "engine/task/TWorkThread.h"
#include "tests/net/SocketPump.h"
#include "tests/task/TaskTestSupport.h"
#include "tests/storage/PiecesTestSupport.h"

namespace bw {
namespace {

constexpr int64_t kPiece = 32768;

// A peer that only counts the steps the task gives it.
class StepPeer : public TPeerObject {
 public:
  StepPeer(uint32_t kind, int64_t downloadRate, int64_t uploadRate) : TPeerObject(kind, nullptr) {
    counters.downloadRate = downloadRate;
    counters.uploadRate = uploadRate;
  }
  bool ReadInput() override { return true; }
  bool DownloadStep() override {
    ++downloads;
    return !failing;
  }
  bool UploadStep() override {
    ++uploads;
    return true;
  }

  int downloads = 0;
  int uploads = 0;
  bool failing = false;
};

// A connection whose step hands its blocks of the content to the piece map at once, as one that
// finds its kernel buffer full after a pause; it notes the most piece memory held meanwhile.
class DeliveringPeer : public TPeerObject {
 public:
  DeliveringPeer(TPieces& map, const std::string& content, int64_t* peak)
      : TPeerObject(2, nullptr), map_(map), content_(content), peak_(peak) {
    counters.downloadRate = int64_t{1} << 30;
  }
  bool ReadInput() override { return true; }
  bool DownloadStep() override {
    for (int64_t block : blocks) {
      bool accepted = false;
      const auto* data = reinterpret_cast<const uint8_t*>(content_.data() + block * kBlockSize);
      if (map_.ReceiveBlock(block, kBlockSize, data, nullptr, &accepted) != kBlockSize) return false;
      *peak_ = std::max(*peak_, map_.CacheBytes());
    }
    blocks.clear();
    return true;
  }

  std::vector<int64_t> blocks;  // for the next step

 private:
  TPieces& map_;
  const std::string& content_;
  int64_t* peak_;
};

// A task whose clocks the test turns and whose peer pool only records what it is asked.
class MeteredTask : public TWorkThread {
 public:
  using TWorkWithPeers::activePeers;
  using TWorkWithPieces::PieceMap;
  using TWorkWithTransStatis::Meter;
  using TWorkWithTransStatis::TickPauseMs;
  using TWorkWithTransStatis::WatchTraffic;

  // One loop step, advanceMs after the previous one.
  void Step(uint32_t advanceMs, uint32_t advanceUptime = 0) {
    ms += advanceMs;
    uptime += advanceUptime;
    StatisticsTick(EngineClock());
  }
  // A second's worth of steps: the first one measures.
  void Second(uint32_t advanceUptime = 1) { Step(1000, advanceUptime); }

  // An empty piece map over content of the given length.
  void LoadPieces(int64_t length, int64_t pieceLength = kPiece) {
    metadataLoaded = true;
    content = test::Content(static_cast<size_t>(length));
    TPieces& map = CreatePieceMap();
    ASSERT_TRUE(map.LoadInfo(
        *test::Parse(test::SingleInfo("out.bin", length, pieceLength, test::PieceHashes(content, pieceLength)))));
  }
  // Feeds the whole content into the piece map: every piece becomes verified.
  void ReceiveAll() {
    TPieces& map = *PieceMap();
    const auto length = static_cast<int64_t>(content.size());
    for (int64_t at = 0; at < length; at += kBlockSize) {
      const auto n = static_cast<int32_t>(std::min<int64_t>(kBlockSize, length - at));
      bool accepted = false;
      map.ReceiveBlock(at / kBlockSize, n, reinterpret_cast<const uint8_t*>(content.data() + at), nullptr,
                       &accepted);
    }
    map.FlushPieces();
  }

  std::string content;
  uint32_t ms = 5000;
  uint32_t uptime = 100;
  std::vector<TRef<TPeerObject>> retired;
  std::vector<TWorkWithPeers*> swarm;
  int passes = 0;
  int replaced = 0;
  int upkeeps = 0;
  int listener = 0;

 protected:
  uint32_t TickMs() override { return ms; }
  uint32_t Uptime() override { return uptime; }
  void RetirePeer(TPeerObject* peer) override {
    retired.push_back(TRef<TPeerObject>::Share(peer));
    std::erase(activePeers, peer);
  }
  void RunConnectionPasses() override { ++passes; }
  void ReplaceUrlSources() override { ++replaced; }
  void UpkeepSources() override { ++upkeeps; }
  void MaintainListener() override { ++listener; }
  void RunPeerUpkeep() override {}  // the peers' rates are the test's
  std::vector<TWorkWithPeers*> SwarmTasks() override { return swarm; }
};

class TransStatisTest : public testing::Test {
 protected:
  void SetUp() override { NewTask(dir.path); }
  void NewTask(const std::string& folder) {
    TaskParams params{};
    std::strncpy(params.target, (folder + "out.bin").c_str(), kTextSize - 1);
    params.flags = kTaskFlagFullPath;
    task = std::make_unique<MeteredTask>();
    task->Describe(params, true);
  }
  void TearDown() override {
    task.reset();
    test::EndTasks();
  }
  StepPeer* Add(uint32_t kind, int64_t downloadRate, int64_t uploadRate = 0) {
    TRef<StepPeer> peer = MakeRef<StepPeer>(kind, downloadRate, uploadRate);
    StepPeer* added = peer.get();
    task->activePeers.push_back(std::move(peer));
    return added;
  }

  test::TempDir dir;
  std::unique_ptr<MeteredTask> task;
};

TEST_F(TransStatisTest, SlowPeersRunOnlyOnPipelineStepsFastOnesEveryStep) {
  StepPeer* slow = Add(1, TRateMeter::kFastPeerRate);
  StepPeer* fast = Add(2, TRateMeter::kFastPeerRate + 1);
  task->Step(0);  // the first step measures: everyone runs
  EXPECT_EQ(slow->downloads, 1);
  for (int i = 0; i < 6; ++i) task->Step(10);  // steps 1..6 of the second, pipeline 6
  EXPECT_EQ(slow->downloads, 2) << "only the sixth step";
  EXPECT_EQ(fast->downloads, 7);
  EXPECT_EQ(task->TickPauseMs(), 6);
  EXPECT_EQ(task->listener, 1) << "the listener upkeep waits 400 ms";
  task->Step(400);
  EXPECT_EQ(task->listener, 2);

  task->AddKindBytes(1, 3145729);  // written in this second: the fastest class
  task->Second();
  EXPECT_EQ(task->TickPauseMs(), 2);
  EXPECT_EQ(task->Meter().Pipeline(), 14);
  EXPECT_EQ(slow->downloads, 3);
  task->AddKindBytes(2, 300000);
  task->Second();
  EXPECT_EQ(task->TickPauseMs(), 6);
  EXPECT_EQ(task->Meter().Pipeline(), 5);
  EXPECT_EQ(task->p2pBytes, 3145729u);
  EXPECT_EQ(task->httpBytes, 300000u);
}

TEST_F(TransStatisTest, AFailedStepRetiresThePeerAndTheOthersStillRun) {
  StepPeer* first = Add(2, 0);
  StepPeer* failing = Add(2, 0);
  StepPeer* last = Add(1, 0);
  failing->failing = true;
  task->Step(0);
  ASSERT_EQ(task->retired.size(), 1u);
  EXPECT_EQ(task->retired[0], failing);
  EXPECT_EQ(first->downloads, 1);
  EXPECT_EQ(last->downloads, 1);
  ASSERT_EQ(task->activePeers.size(), 2u);
  EXPECT_EQ(task->activePeers[0], first);
  EXPECT_EQ(task->activePeers[1], last);
}

TEST_F(TransStatisTest, UploadStepsAreLimitedToSlotsPlusExtras) {
  std::vector<StepPeer*> bt;
  for (int i = 0; i < 10; ++i) bt.push_back(Add(1, 0));
  StepPeer* http = Add(2, 0);
  task->Step(0);  // nothing was sent: the measured 8 slots + 1 extra
  int uploads = 0;
  for (StepPeer* peer : bt) uploads += peer->uploads;
  EXPECT_EQ(uploads, 9);
  EXPECT_EQ(http->uploads, 0) << "only BitTorrent peers upload";
  task->Step(10);
  uploads = 0;
  for (StepPeer* peer : bt) uploads += peer->uploads;
  EXPECT_EQ(uploads, 9) << "slow uploaders wait for the upload pipeline";

  task->AddUploaded(8 * 8192);  // the slots were used: no extra uploads next second
  task->Second();
  uploads = 0;
  for (StepPeer* peer : bt) uploads += peer->uploads;
  EXPECT_EQ(uploads, 9) << "young second, no extras: slow uploaders do not run";
}

TEST_F(TransStatisTest, TheSecondIsMeasuredTotalledAndPublished) {
  const uint64_t processBefore = TWorkWithTransStatis::ProcessUploaded();
  task->Step(0);
  task->AddDownloaded(4000);
  task->AddKindBytes(2, 5000);
  task->AddUploaded(2048);
  task->Step(999, 2);
  EXPECT_EQ(task->Published().smoothedRate, 0) << "not a second yet";
  task->Step(1, 0);
  const TTaskStatus published = task->Published();
  EXPECT_EQ(published.smoothedRate, 3000);
  EXPECT_EQ(published.downloadedBytes, 5000u) << "written bytes while downloading";
  EXPECT_EQ(published.uploadedBytes, 2048u);
  EXPECT_EQ(published.averageDownloadRate, 2500) << "over the 2 s since the thread started";
  EXPECT_EQ(published.averageUploadRate, 1024);
  EXPECT_EQ(published.httpBytes, 5000u);
  EXPECT_EQ(TWorkWithTransStatis::ProcessUploaded() - processBefore, 2048u);
}

TEST_F(TransStatisTest, OnceCompleteTheRateReadsZeroAndTheAverageStops) {
  task->LoadPieces(3 * kPiece);
  Add(1, 4 * kPiece);  // window rate: three pieces missing at four pieces a second
  task->Step(0, 0);
  task->AddDownloaded(8000);
  task->AddKindBytes(1, 8000);
  task->Second(4);
  EXPECT_EQ(task->Published().averageDownloadRate, 2000);
  EXPECT_EQ(task->Published().smoothedRate, 6000);
  EXPECT_EQ(task->Published().remainingSeconds, 0) << "3 × 32 KiB / 128 KiB/s";
  task->activePeers.front()->counters.downloadRate = 1024;
  task->Second(0);
  EXPECT_EQ(task->Published().remainingSeconds, 96);

  task->ReceiveAll();
  task->AddDownloaded(5000);
  task->Second(4);
  const TTaskStatus published = task->Published();
  EXPECT_EQ(published.smoothedRate, 0);
  EXPECT_EQ(published.averageDownloadRate, 2000) << "frozen once complete";
  EXPECT_EQ(published.downloadedBytes, 13000u) << "received bytes count once complete";
  const int passes = task->passes;
  task->Second();
  EXPECT_EQ(task->passes, passes) << "no connection passes for complete content";
}

// Many connections that each bring a lot in one pass: piece memory stays within the cache limit,
// the arriving pieces' share and one growth step (plus the step that crosses it), whether whole
// pieces arrive or each connection brings most of its own piece; and every piece still arrives whole.
TEST_F(TransStatisTest, APassOverManyConnectionsStaysWithinThePieceMemoryBound) {
  constexpr int64_t kBigPiece = 256 * 1024;  // two chunks
  constexpr int64_t kBlocks = kBigPiece / kBlockSize;
  constexpr int kConnections = 100;
  struct Case {
    const char* name;
    int64_t firstPassBlocks;  // of each connection's piece, the rest in the second pass
  };
  for (const Case& c : {Case{"whole pieces", kBlocks}, Case{"three quarters of each piece", kBlocks * 3 / 4}}) {
    SCOPED_TRACE(c.name);
    test::TempDir folder;
    NewTask(folder.path);
    task->LoadPieces(kConnections * kBigPiece, kBigPiece);
    TPieces& map = *task->PieceMap();
    map.SetCacheUnits(4);
    // Pieces handed to the hasher and the writer are bounded by their own queues; here only the
    // memory rounds of a pass count.
    map.HashInBackground(false);
    map.WriteInBackground(false);
    int64_t peak = 0;
    std::vector<DeliveringPeer*> peers;
    for (int i = 0; i < kConnections; ++i) {
      TRef<DeliveringPeer> peer = MakeRef<DeliveringPeer>(map, task->content, &peak);
      peers.push_back(peer.get());
      task->activePeers.push_back(std::move(peer));
    }
    for (int64_t pass = 0; pass < 2; ++pass) {
      for (int i = 0; i < kConnections; ++i) {
        for (int64_t b = 0; b < kBlocks; ++b) {
          if ((b < c.firstPassBlocks) == (pass == 0)) peers[static_cast<size_t>(i)]->blocks.push_back(i * kBlocks + b);
        }
      }
      task->Second();
      EXPECT_LE(peak, map.CacheLimit() + TPieces::kArrivingMemory + MeteredTask::kPieceMemoryStep + kBigPiece);
    }
    map.FlushPieces();
    EXPECT_TRUE(map.IsComplete());
    task->activePeers.clear();
    task.reset();
  }
}

TEST_F(TransStatisTest, ConnectionsAndUploadSlotsFollowThePeerRates) {
  Add(1, 4096 * 60, 8192 * 20);
  Add(2, 4096 * 40, 0);
  task->Step(0);
  EXPECT_EQ(task->Settings().maxConnections, 148) << "one per 4 KiB/s of download and upload, and 8 more";
  EXPECT_EQ(task->UploadSlots(), 12);
  EXPECT_EQ(task->SumPeerRates(2), 4096 * 40);
  EXPECT_EQ(task->SumPeerRates(1 | 2), 4096 * 100);
  EXPECT_EQ(task->SumPeerRates(8), 0);
}

TEST_F(TransStatisTest, BudgetsFollowTheLimitsAndAreSpentWithinTheSecond) {
  task->Step(0);
  EXPECT_EQ(task->DownloadBudget(), TRateMeter::kUnlimited);
  EXPECT_FALSE(task->HasUploadLimit());
  ASSERT_EQ(task->SetSpeedLimit(1, 2), kEngineOk);
  ASSERT_EQ(task->SetSpeedLimit(0, 10), kEngineOk);
  task->Second();
  EXPECT_EQ(task->DownloadBudget(), 3072);
  EXPECT_EQ(task->UploadBudget(), 10240);
  EXPECT_TRUE(task->HasUploadLimit());
  task->AddDownloaded(1000);
  EXPECT_EQ(task->DownloadBudgetLeft(), 2072);
  task->AddDownloaded(5000);
  EXPECT_EQ(task->DownloadBudgetLeft(), 0);
  task->AddUploaded(240);
  EXPECT_EQ(task->UploadBudgetLeft(), 10000);
  task->Second();
  EXPECT_EQ(task->DownloadBudgetLeft(), 3072) << "a new second, a new budget";
}

// Under a limit the connections that run in a step share what is left of the second: each takes
// its part (the one before it may leave some over), and together exactly the budget.
TEST_F(TransStatisTest, ConnectionsShareTheSecondsBudgetInsteadOfTheFirstTakingItAll) {
  // A connection whose socket is always full: it takes all the budget it is given, up to `wants`.
  class GreedyPeer : public StepPeer {
   public:
    GreedyPeer(MeteredTask& task, int64_t wants) : StepPeer(2, 1 << 20, 0), task_(task), wants_(wants) {}
    bool DownloadStep() override {
      const int64_t bytes = std::min(task_.PeerDownloadBudget(), wants_);
      task_.AddDownloaded(bytes);
      took += bytes;
      return true;
    }
    int64_t took = 0;

   private:
    MeteredTask& task_;
    int64_t wants_;
  };
  ASSERT_EQ(task->SetSpeedLimit(1, 300), kEngineOk);
  std::vector<GreedyPeer*> peers;
  for (const int64_t wants : {INT64_MAX, int64_t{40000}, INT64_MAX, INT64_MAX}) {
    TRef<GreedyPeer> peer = MakeRef<GreedyPeer>(*task, wants);
    peers.push_back(peer.get());
    task->activePeers.push_back(std::move(peer));
  }
  task->Step(0);
  const int64_t budget = 300 * 1024;
  EXPECT_EQ(peers[0]->took, budget / 4);
  EXPECT_EQ(peers[1]->took, 40000) << "less than its part: the rest goes to the others";
  EXPECT_EQ(peers[2]->took, (budget - budget / 4 - 40000) / 2);
  EXPECT_EQ(peers[0]->took + peers[1]->took + peers[2]->took + peers[3]->took, budget);
  task->Step(10);
  EXPECT_EQ(peers[3]->took + peers[2]->took + peers[1]->took + peers[0]->took, budget) << "spent for this second";
}

// The loop waits on the connections of the peers its next step runs, and on their input only while
// the second's budget lasts.
TEST_F(TransStatisTest, TheLoopWaitsOnThePeersTheNextStepServes) {
  test::SocketPair fastLink;
  test::SocketPair slowLink;
  ASSERT_TRUE(fastLink.far && slowLink.far);
  StepPeer* fast = Add(2, 0);
  Add(2, 0)->AttachSocket(std::move(slowLink.far));
  fast->AttachSocket(std::move(fastLink.far));
  fast->counters.downloadRate = TRateMeter::kFastPeerRate + 1;  // the attach started it afresh
  ASSERT_EQ(task->SetSpeedLimit(1, 2), kEngineOk);
  task->Second();  // the next step is the second's first: the slow peer's turn is later
  TLoopRest rest;
  const auto waitEndsEarly = [&](uint32_t ms) {
    TrafficWatch watch;
    task->WatchTraffic(watch);
    return watch.Wait(rest, ms);
  };
  constexpr uint32_t kShortMs = 30;
  constexpr uint32_t kLongMs = 10000;
  ASSERT_GT(test::SendText(slowLink.near, "to the slow peer"), 0);
  EXPECT_FALSE(waitEndsEarly(kShortMs)) << "the slow peer's input waits for its turn";
  ASSERT_GT(test::SendText(fastLink.near, "to the fast peer"), 0);
  task->AddDownloaded(task->DownloadBudget());
  EXPECT_FALSE(waitEndsEarly(kShortMs)) << "the budget is spent: the input waits for the next second";
  task->Second();
  EXPECT_TRUE(waitEndsEarly(kLongMs));
}

TEST_F(TransStatisTest, SlowUrlSourcesAreReplacedAfterFifteenSeconds) {
  StepPeer* http = Add(2, 1023);
  Add(1, 1 << 20);  // BitTorrent speed does not count
  task->Step(0);
  for (int i = 0; i < 15; ++i) task->Second();
  EXPECT_EQ(task->replaced, 1) << "the 16th slow second";
  http->counters.downloadRate = 1024;
  for (int i = 0; i < 20; ++i) task->Second();
  EXPECT_EQ(task->replaced, 1);
  http->counters.downloadRate = 0;
  for (int i = 0; i < 15; ++i) task->Second();
  EXPECT_EQ(task->replaced, 1) << "the count restarted";
  task->Second();
  EXPECT_EQ(task->replaced, 2);
  EXPECT_EQ(task->upkeeps, 52);
}

TEST_F(TransStatisTest, SharedLimitsTakeEffectFromTheNextStep) {
  MeteredTask other;
  task->swarm = {task.get(), &other};
  TWorkWithTransStatis::SetProcessLimits(100, 0);
  task->AddDownloaded(8192);
  other.AddDownloaded(24576);
  task->ShareLimits();
  TWorkWithTransStatis::SetProcessLimits(0, 0);
  EXPECT_EQ(task->DownloadBudget(), TRateMeter::kUnlimited) << "pending until the task applies it";
  task->Step(0);
  other.Step(0);
  EXPECT_EQ(task->DownloadBudget(), 24832);
  EXPECT_EQ(other.DownloadBudget(), 76048);
  EXPECT_EQ(task->UploadBudget(), TRateMeter::kUnlimited) << "no upload limit, no share";
  EXPECT_EQ(task->DownloadBudgetLeft(), 24832) << "nothing spent in the new second";

  task->ShareLimits();  // the process-wide limit is gone again
  task->Step(0);
  EXPECT_EQ(task->DownloadBudget(), TRateMeter::kUnlimited);
  EXPECT_EQ(other.DownloadBudget(), 76048) << "the other task has not stepped yet";
}

TEST_F(TransStatisTest, SharingRunsBesideTheTaskThread) {
  task->swarm = {task.get()};
  TWorkWithTransStatis::SetProcessLimits(64, 64);
  std::thread sharer([this] {
    for (int i = 0; i < 2000; ++i) task->ShareLimits();
  });
  for (int i = 0; i < 2000; ++i) {
    task->AddDownloaded(100);
    task->AddUploaded(100);
    task->Step(1);
  }
  sharer.join();
  task->Step(0);
  TWorkWithTransStatis::SetProcessLimits(0, 0);
  EXPECT_GE(task->DownloadBudget(), TRateMeter::kMinBudget);
  EXPECT_LE(task->DownloadBudget(), 64 * 1024);
  EXPECT_LE(task->UploadBudget(), 64 * 1024);
}

}  // namespace
}  // namespace bw
