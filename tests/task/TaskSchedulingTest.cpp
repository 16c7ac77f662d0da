#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/sources/TBTPeer.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TPieceRange.h"
#include "engine/task/TPieceScheduler.h"
#include "engine/task/TWorkThread.h"
#include "tests/sources/FakePeerTask.h"
#include "tests/task/TaskTestSupport.h"

namespace bw {
namespace {

constexpr int64_t kPiece = 32768;

// A task over one file of three pieces and 100 bytes whose first two pieces are present; it is
// never started, the test serves its read requests itself.
class SchedulingTask : public TWorkThread {
 public:
  SchedulingTask() : content(test::Content(3 * kPiece + 100)) {}
  ~SchedulingTask() override {
    Stop();
    for (TPeerId* id : urlSources) id->Release();
  }

  bool Load(const std::string& where) {
    folder = where;
    metadataLoaded = LoadMetadata();
    return pieces && pieces->IsPieceComplete(0) && pieces->IsPieceComplete(1);
  }
  void Reload() { ReloadMetadata(); }
  void Serve() { ServeReadRequests(); }
  TPieceScheduler& Scheduler() { return PieceScheduler(); }
  TPieces& Map() { return *pieces; }
  bool ReloadMarked() const { return reloadMetadata; }
  using TWorkWithPieces::SourceHasWork;

  std::string content;
  std::string folder;
  int64_t pieceLength = kPiece;
  std::vector<TPeerId*> urlSources;

 protected:
  std::vector<TPeerId*> UsableUrlSources() override { return urlSources; }
  // The first two pieces of the first piece length arrive with the metadata.
  bool LoadMetadata() override {
    TPieces& map = CreatePieceMap();
    map.SetSaveDirectory(folder);
    const auto info = test::Parse(test::SingleInfo("out.bin", static_cast<int64_t>(content.size()), pieceLength,
                                                   test::PieceHashes(content, pieceLength)));
    if (!info || !map.LoadInfo(*info)) return false;
    for (int64_t block = 0; pieceLength == kPiece && block < 2 * kPiece / kBlockSize; ++block) {
      bool accepted = false;
      map.ReceiveBlock(block, kBlockSize,
                       reinterpret_cast<const uint8_t*>(content.data() + block * kBlockSize), nullptr,
                       &accepted);
    }
    map.FlushPieces();
    return true;
  }
};

class TaskSchedulingTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    task = new SchedulingTask;  // EndTasks destroys it
    ASSERT_TRUE(task->Load(dir.path));
  }
  // Reads while a second thread plays the task thread's part.
  int64_t ServedRead(int32_t file, uint8_t* out, int64_t offset, int64_t length) {
    std::atomic<bool> done{false};
    std::thread server([&] {
      while (!done) {
        task->Serve();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    const int64_t result = task->ReadRange(file, out, offset, length);
    done = true;
    server.join();
    return result;
  }

  SchedulingTask* task = nullptr;
};

TEST_F(TaskSchedulingTest, ReadRangeServesPresentBytesAndRefusesTheRest) {
  struct Case {
    const char* name;
    int32_t file;
    int64_t offset;
    int64_t length;
    int64_t result;
  };
  const Case cases[] = {
      {"across two present pieces", 0, 100, kPiece, kPiece},
      {"a piece not yet verified", 0, 2 * kPiece - 10, 20, -3},
      {"past the end of the file", 0, 3 * kPiece, 200, -3},
      {"a length that wraps around", 0, 10, INT64_MAX, -3},
      {"no such file", 1, 0, 10, -3},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out(static_cast<size_t>(std::min<int64_t>(c.length, 2 * kPiece)));
    EXPECT_EQ(ServedRead(c.file, out.data(), c.offset, c.length), c.result) << c.name;
    if (c.result > 0) {
      EXPECT_EQ(std::string(out.begin(), out.end()), task->content.substr(100, kPiece)) << c.name;
      EXPECT_EQ(task->PeerTask().CurrentPosition(), 0) << c.name;
    }
  }
}

TEST_F(TaskSchedulingTest, ReadRangeGivesUpWhenNobodyServesIt) {
  uint8_t out[10];
  EXPECT_EQ(task->ReadRange(0, out, 0, sizeof out), -7);
}

TEST_F(TaskSchedulingTest, OnlyTheFirstDecodableTorrentFromASourceIsTaken) {
  EXPECT_FALSE(task->AcceptTorrent("d4:info"));
  EXPECT_FALSE(task->ReloadMarked());
  EXPECT_TRUE(task->AcceptTorrent("d4:infodee"));
  EXPECT_TRUE(task->ReloadMarked());
  EXPECT_FALSE(task->AcceptTorrent("d4:infod1:xi1eee"));
  EXPECT_EQ(task->InfoText("torrent"), "d4:infodee");
}

TEST_F(TaskSchedulingTest, AUrlPeerOfTheTaskGetsTheFirstMissingPieceOfItsSourcesRange) {
  task->urlSources.push_back(test::MakeIdentity(SOURCE_HTTP, 8080));
  auto* peer = new test::TestPeer(SOURCE_HTTP, &task->PeerTask());
  EXPECT_EQ(peer->NextPiece(), 2);
  ASSERT_NE(peer->Range(), nullptr);
  EXPECT_EQ(peer->Range()->Owner(), task->urlSources[0]);
  EXPECT_EQ(task->PeerTask().Ranges().size(), 1u);
  peer->Reset();
  peer->Release();
}

TEST_F(TaskSchedulingTest, ANewPieceLengthSplitsTheWorkAnew) {
  task->urlSources.push_back(test::MakeIdentity(SOURCE_HTTP, 8080));
  auto* peer = new test::TestPeer(SOURCE_HTTP, &task->PeerTask());
  ASSERT_EQ(peer->NextPiece(), 2);
  task->Scheduler().WantPiece(2, true, false);
  task->pieceLength = kPiece / 2;
  task->Reload();
  EXPECT_EQ(peer->Range(), nullptr);
  EXPECT_TRUE(task->Scheduler().WantedList().empty()) << "its indices named pieces of the former length";
  ASSERT_EQ(task->PeerTask().Ranges().size(), 2u);  // a run per five of the seven pieces
  EXPECT_EQ(task->PeerTask().Ranges().front()->first, 0);
  EXPECT_EQ(task->PeerTask().Ranges().back()->last, 6);
  EXPECT_EQ(task->Published().pieceCount, 7);
  peer->Reset();
  peer->Release();
}

// A source with one connection opens another for a free range of its own or of a source that was
// retired or has all the connections it may have, but leaves a range of a source that still has
// room to that source.
TEST_F(TaskSchedulingTest, AFreeRangeOfARetiredSourceIsWorkForTheOthers) {
  TPeerId* good = test::MakeIdentity(SOURCE_HTTP, 8080);
  TPeerId* other = test::MakeIdentity(SOURCE_HTTP, 8081);
  TPeerId* retired = test::MakeIdentity(SOURCE_FTP, 2121);
  task->urlSources = {good, other};
  other->allowance = 3;
  auto& ranges = task->PeerTask().Ranges();
  struct Case {
    const char* name;
    TPeerId* owner;
    int32_t ownerConnections;
    bool hasWork;
  };
  for (const Case& c : {Case{"its own", good, 0, true}, Case{"of a retired source", retired, 0, true},
                        Case{"of a source still serving", other, 2, false},
                        Case{"of a source with all the connections it may have", other, 3, true}}) {
    ranges.clear();
    ranges.push_back(std::make_unique<TPieceRange>(c.owner, 2, 2));
    c.owner->activeConnections = c.ownerConnections;
    EXPECT_EQ(task->SourceHasWork(*good), c.hasWork) << c.name;
    c.owner->activeConnections = 0;
  }
  ranges.clear();
  retired->Release();
}

// Piece 2 fails its check on the hashing thread after its mirror walked past it and the range was
// removed: the map tells the task, and the piece is work again for a mirror and a remote side that
// had nothing else to offer.
TEST_F(TaskSchedulingTest, APieceFailingAfterItsRangeWasRemovedIsWantedAgain) {
  task->urlSources.push_back(test::MakeIdentity(SOURCE_HTTP, 8080));
  IPeerTask& peers = task->PeerTask();
  TPieces& map = task->Map();
  map.HashInBackground(true);
  auto* mirror = new test::TestPeer(SOURCE_HTTP, &peers);
  auto* remote = new TBTPeer(&peers);
  peers.ActivePeers().push_back(TRef<TPeerObject>::Share(remote));
  remote->remoteHave = {0x20};  // piece 2 only
  remote->triedPieces = {0};
  ASSERT_EQ(mirror->NextPiece(), 2);
  std::string corrupt = task->content;
  corrupt[2 * kPiece + 9] ^= 1;
  for (int64_t block = 2 * kPiece / kBlockSize; block * kBlockSize < static_cast<int64_t>(corrupt.size()); ++block) {
    const int64_t at = block * kBlockSize;
    bool accepted = false;
    map.ReceiveBlock(block, static_cast<int32_t>(std::min<int64_t>(kBlockSize, corrupt.size() - at)),
                     reinterpret_cast<const uint8_t*>(corrupt.data() + at), nullptr, &accepted);
  }
  ASSERT_TRUE(map.Piece(2).Hashing);
  EXPECT_EQ(remote->NextPiece(), -1);
  EXPECT_TRUE(remote->nothingToOffer) << "its only piece is being hashed";
  EXPECT_EQ(mirror->NextPiece(), -1);
  ASSERT_TRUE(peers.Ranges().empty()) << "walked through while its pieces were hashed";

  map.HashInBackground(false);  // the verdicts: piece 2 failed, piece 3 passed
  ASSERT_TRUE(map.IsPieceWanted(2));
  EXPECT_FALSE(remote->nothingToOffer);
  ASSERT_EQ(peers.Ranges().size(), 1u);
  EXPECT_EQ(peers.Ranges().front()->first, 2);
  EXPECT_EQ(peers.Ranges().front()->last, 2);
  EXPECT_EQ(remote->NextPiece(), 2);
  peers.ActivePeers().clear();
  for (TPeerObject* peer : {static_cast<TPeerObject*>(mirror), static_cast<TPeerObject*>(remote)}) {
    peer->Reset();
    peer->Release();
  }
}

}  // namespace
}  // namespace bw
