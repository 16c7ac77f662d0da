// Pieces hashed beside the task thread: verdicts come back in hand-over order, a full verifier
// holds the caller back, and a map that hands pieces over shows its task what one that verifies
// inline shows.
#include "engine/storage/TPieceVerifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/storage/TPieces.h"
#include "platform/Thread.h"
#include "tests/storage/PiecesTestSupport.h"

namespace bw {
namespace {

constexpr int32_t kBlock = kBlockSize;

TPieceVerifier::Job JobFor(int32_t index, const std::string& data, bool good, int32_t split = 0) {
  TPieceVerifier::Job job;
  job.index = index;
  Sha1::Hash(data.data(), data.size(), job.expected);
  if (!good) job.expected[0] ^= 1;
  if (split > 0) {
    // The first `split` bytes were hashed before: the job continues their state.
    Sha1 sha;
    sha.Input(reinterpret_cast<const uint8_t*>(data.data()), static_cast<size_t>(split));
    sha.ExportState(job.state);
    job.fromState = true;
  }
  job.runs.push_back({reinterpret_cast<const uint8_t*>(data.data()) + split,
                      static_cast<int32_t>(data.size()) - split});
  return job;
}

TEST(PieceVerifierTest, VerdictsComeInHandOverOrderAndAFullVerifierMakesTheCallerWait) {
  std::vector<std::string> pieces;
  // More bytes than the verifier holds: the caller waits for room along the way.
  for (uint32_t i = 0; i < 24; ++i) pieces.push_back(test::Content((1 << 20) + i * kBlock, i + 1));
  TPieceVerifier verifier;
  std::vector<TPieceVerifier::Verdict> verdicts;
  for (int32_t i = 0; i < static_cast<int32_t>(pieces.size()); ++i) {
    TPieceVerifier::Verdict verdict;
    while (verifier.Full() && verifier.TakeOldest(&verdict)) verdicts.push_back(verdict);
    ASSERT_LT(verifier.BytesInFlight(), TPieceVerifier::kMaxBytesInFlight);
    verifier.HandOver(JobFor(i, pieces[static_cast<size_t>(i)], i % 3 != 1, i % 4 == 2 ? 128 * 1024 : 0));
  }
  for (const auto& verdict : verifier.TakeReady()) verdicts.push_back(verdict);
  TPieceVerifier::Verdict verdict;
  while (verifier.TakeOldest(&verdict)) verdicts.push_back(verdict);
  ASSERT_EQ(verdicts.size(), pieces.size());
  for (int32_t i = 0; i < static_cast<int32_t>(verdicts.size()); ++i) {
    EXPECT_EQ(verdicts[static_cast<size_t>(i)].index, i);
    EXPECT_EQ(verdicts[static_cast<size_t>(i)].passed, i % 3 != 1) << "piece " << i;
  }
  EXPECT_EQ(verifier.InFlight(), 0u);
  EXPECT_EQ(verifier.BytesInFlight(), 0);
}

TEST(PieceVerifierTest, CancelledPiecesNeverReportAndAFullVerifierStopsAtOnce) {
  std::vector<std::string> pieces;
  for (uint32_t i = 0; i < TPieceVerifier::kMaxBytesInFlight / (4 << 20); ++i) {
    pieces.push_back(test::Content(4 << 20, i + 1));
  }
  {
    TPieceVerifier verifier;
    for (int32_t i = 0; i < static_cast<int32_t>(pieces.size()); ++i) {
      verifier.HandOver(JobFor(i, pieces[static_cast<size_t>(i)], true));
    }
    EXPECT_TRUE(verifier.Full());
    verifier.Cancel(0);  // most likely being hashed: waits until its memory is no longer read
    verifier.Cancel(2);
    pieces[0].clear();
    pieces[2].clear();
    TPieceVerifier::Verdict verdict;
    std::vector<int32_t> seen;
    while (verifier.TakeOldest(&verdict)) seen.push_back(verdict.index);
    EXPECT_EQ(seen, (std::vector<int32_t>{1, 3}));
    for (int32_t i = 0; i < 2; ++i) verifier.HandOver(JobFor(i, pieces[1], true));
  }  // destroyed with pieces still queued
  TPieceVerifier verifier;
  for (int32_t i = 0; i < 3; ++i) verifier.HandOver(JobFor(i, pieces[3], true));
  verifier.CancelAll();
  EXPECT_EQ(verifier.InFlight(), 0u);
  EXPECT_EQ(verifier.BytesInFlight(), 0);
}

constexpr int64_t kPiece = 2 * kBlock;
constexpr int kPieces = 8;

// What the task of a map sees over one download with bad copies from three sources.
struct Seen {
  std::vector<std::string> reports;
  std::vector<int32_t> stateEvents;  // piece index, negative for "not complete"
  std::vector<int> failures;         // per source, at the end
  std::vector<int> refs;
  std::string record;
  std::string data;
  int reportedBeforeWritten = 0;
  bool operator==(const Seen&) const = default;
};

// Reads a piece back from the disk when the map reports it complete: its bytes must be there.
class CheckingTask : public test::FakeTask {
 public:
  CheckingTask(std::string path, const std::string& content) : path_(std::move(path)), content_(content) {}
  void OnPiecesEvent(const TPiecesEvent& e) override {
    FakeTask::OnPiecesEvent(e);
    if (e.type != TPiecesEvent::kPieceState || e.value != 1) return;
    int32_t index;
    std::memcpy(&index, e.data, sizeof index);
    const size_t at = static_cast<size_t>(index * kPiece);
    if (test::ReadAll(path_ + ".bwtmp").substr(std::min(at, content_.size()), kPiece) !=
        content_.substr(at, kPiece)) {
      ++reportedBeforeWritten;
    }
  }
  int reportedBeforeWritten = 0;

 private:
  std::string path_;
  const std::string& content_;
};

Seen Download(bool background, bool writeBehind = false) {
  test::TempDir dir;
  const std::string content = test::Content(kPieces * kPiece);
  CheckingTask task(dir.path + "f", content);
  test::FakeSource http(IPieceSource::kHttp, 0, 0, "http://mirror/f");
  test::FakeSource bt(IPieceSource::kBitTorrent, 0x0A000102, 6881, "");
  test::FakeSource ftp(IPieceSource::kFtp, 0, 0, "ftp://host/f");
  {
    TPieces map(task);
    map.HashInBackground(background);
    map.WriteInBackground(writeBehind);
    map.SetSaveDirectory(dir.path);
    if (!map.LoadInfo(*test::Parse(test::SingleInfo("f", kPieces * kPiece, kPiece,
                                                    test::PieceHashes(content, kPiece))))) {
      return {};
    }
    const auto give = [&](int piece, test::FakeSource* source, bool corrupt) {
      std::string data = content.substr(static_cast<size_t>(piece * kPiece), kPiece);
      if (corrupt) data[kBlock + 7] ^= 1;
      bool accepted;
      for (int b = 0; b < 2; ++b) {
        map.ReceiveBlock(piece * 2 + b, kBlock, reinterpret_cast<const uint8_t*>(data.data() + b * kBlock), source,
                         &accepted);
      }
    };
    // Bad copies first, out of index order: their verdicts, penalties and reports keep it.
    give(5, &bt, true);
    give(1, &ftp, true);
    give(3, &bt, true);
    give(6, &http, false);
    map.FlushPieces();
    give(0, &http, false);
    map.FlushPieces();
    for (int piece : {1, 2, 3, 4, 5, 7}) give(piece, piece == 3 ? &bt : &http, false);
    map.CloseFiles(false, true);
    EXPECT_TRUE(map.IsComplete());
  }
  Seen seen;
  seen.reports = task.reports;
  for (const auto& event : task.events) {
    if (event.type == TPiecesEvent::kPieceState) {
      int32_t index;
      std::memcpy(&index, event.bytes.data(), sizeof index);
      seen.stateEvents.push_back(event.value ? index : -1 - index);
    }
  }
  seen.failures = {http.failures, bt.failures, ftp.failures};
  seen.reportedBeforeWritten = task.reportedBeforeWritten;
  seen.refs = {http.refs, bt.refs, ftp.refs};
  // From the piece status on: the file facts before it name the folder and the time.
  if (const auto* record = task.Last(TPiecesEvent::kResumeRecord)) {
    seen.record = record->bytes.substr(std::min(record->bytes.find("11:PieceStatus"), record->bytes.size()));
  }
  seen.data = test::ReadAll(dir.path + "f");
  EXPECT_EQ(seen.data, content);
  return seen;
}

TEST(PieceHandOverTest, TheTaskSeesWhatInlineVerificationShows) {
  const Seen inline_ = Download(false);
  const Seen handedOver = Download(true);
  EXPECT_EQ(handedOver.reports,
            (std::vector<std::string>{"11500102 10.0.1.2 : 6881", "11500101 ftp://host/f", "11500102 10.0.1.2 : 6881"}));
  EXPECT_EQ(handedOver.failures, (std::vector<int>{0, 0, 1}));  // bt's good copy cleared its count
  EXPECT_EQ(handedOver.refs, (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(handedOver.reports, inline_.reports);
  EXPECT_EQ(handedOver.stateEvents, inline_.stateEvents);
  EXPECT_EQ(handedOver.failures, inline_.failures);
  EXPECT_EQ(handedOver.record, inline_.record);
  // Written beside the task too: a piece counts once its write is done, in the same order.
  const Seen writtenBeside = Download(true, true);
  EXPECT_EQ(writtenBeside.reportedBeforeWritten, 0);
  EXPECT_EQ(writtenBeside.stateEvents, inline_.stateEvents);
  EXPECT_EQ(writtenBeside, inline_);
}

// A piece being hashed is no longer wanted; dropping it (deselected, reset, the map gone) cancels
// it, and it is fetched again.
TEST(PieceHandOverTest, PiecesInFlightAreNotWantedAndDroppingThemCancels) {
  for (const bool writeBehind : {false, true}) {
  SCOPED_TRACE(writeBehind ? "written beside" : "written inline");
  test::TempDir dir;
  test::FakeTask task;
  const int64_t piece = 1 << 20;
  const std::string content = test::Content(static_cast<size_t>(6 * piece));
  auto map = std::make_unique<TPieces>(task);
  map->HashInBackground(true);
  map->WriteInBackground(writeBehind);
  map->SetSaveDirectory(dir.path);
  ASSERT_TRUE(map->LoadInfo(*test::Parse(test::SingleInfo("f", 6 * piece, piece, test::PieceHashes(content, piece)))));
  const auto give = [&](int64_t p) {
    bool accepted;
    for (int64_t b = p * piece / kBlock; b < (p + 1) * piece / kBlock; ++b) {
      map->ReceiveBlock(b, kBlock, reinterpret_cast<const uint8_t*>(content.data() + b * kBlock), nullptr, &accepted);
    }
  };
  for (int64_t p = 0; p < 6; ++p) give(p);
  EXPECT_FALSE(map->IsPieceWanted(5));
  map->ResetPiece(4);
  EXPECT_TRUE(map->IsPieceWanted(4));
  EXPECT_EQ(map->PieceBytesInMemory(4), 0);
  map->FlushPieces();
  for (int64_t p = 0; p < 6; ++p) EXPECT_EQ(map->IsPieceComplete(p), p != 4) << p;
  give(4);
  give(4);  // a late copy of a piece in flight is taken and dropped
  map.reset();  // with piece 4 in flight
  EXPECT_EQ(task.reports.size(), 0u);
  }
}

// A completed piece keeps the map awaiting results from its hand-over until its write's report is
// taken (its verdict taken and its write queued in between): the task loop, which nothing wakes
// for them, rests only briefly meanwhile. The first piece's write allocates the file, which waits
// for it at once: the second shows the write in flight.
TEST(PieceHandOverTest, ResultsAreAwaitedUntilTheWriteIsTaken) {
  test::TempDir dir;
  test::FakeTask task;
  const int64_t piece = 1 << 20;
  const std::string content = test::Content(static_cast<size_t>(2 * piece));
  TPieces map(task);
  map.HashInBackground(true);
  map.WriteInBackground(true);
  map.SetSaveDirectory(dir.path);
  ASSERT_TRUE(map.LoadInfo(*test::Parse(test::SingleInfo("f", 2 * piece, piece, test::PieceHashes(content, piece)))));
  EXPECT_FALSE(map.AwaitsResults());
  for (int64_t p = 0; p < 2; ++p) {
    SCOPED_TRACE(p);
    bool accepted;
    for (int64_t b = p * piece / kBlock; b < (p + 1) * piece / kBlock; ++b) {
      map.ReceiveBlock(b, kBlock, reinterpret_cast<const uint8_t*>(content.data() + b * kBlock), nullptr, &accepted);
    }
    for (int i = 0; i < 5000 && !map.IsPieceComplete(p); ++i) {
      ASSERT_TRUE(map.AwaitsResults());
      map.WriteVerified();
      platform::SleepMs(1);
    }
    EXPECT_TRUE(map.IsPieceComplete(p));
    EXPECT_FALSE(map.AwaitsResults());
  }
}

}  // namespace
}  // namespace bw
