#include "app/Verification.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "app/CDownloadController.h"
#include "app/FileDigest.h"
#include "engine/common/Md5.h"
#include "tests/support/TempDir.h"

namespace bw::app {
namespace {

std::string Md5Of(const std::string& text) {
  uint8_t digest[Md5::kDigestSize];
  Md5::Hash(text.data(), text.size(), digest);
  return Md5::Hex(digest);
}

// Five small files on disk; a repair rewrites a file with its good content once the engine is
// made to "succeed", or leaves it, fails or stalls as the case asks.
class FakeTarget : public IVerificationTarget {
 public:
  FakeTarget() {
    for (int i = 0; i < kFileCount; ++i) {
      names[i] = "file" + std::to_string(i);
      good[i] = std::string(5000 + i, static_cast<char>('a' + i));
      Write(i, good[i]);
    }
  }
  void Write(int i, const std::string& content) { std::ofstream(dir.Path(names[i]), std::ios::binary) << content; }

  std::string FilePath(int i) override { return dir.Path(names[i]); }
  std::string ExpectedMd5(int i) override { return Md5Of(good[i]); }
  const std::string& FileName(int i) override { return names[i]; }
  void SetState(int s) override { states.push_back(s); }
  bool RestartForRepair(int i) override {
    ++restarts;
    if (!recoverWorks) return false;
    if (restarts >= repairsToFix) Write(i, good[i]);
    return true;
  }
  RepairStatus PollRepair(int, int* progress, uint32_t*) override {
    *progress = 0;
    return repairStatus;
  }
  void RecordFingerprint(int) override {}
  void ReportFileEvent(const char* code, const std::string&, const std::string& text) override {
    reports.push_back(std::string(code) + " " + text);
  }
  void ReportEvent(const char* code) override { reports.push_back(code); }
  void ShowMessage(const char* text) override { messages.push_back(text); }
  void Log(const std::string&) override {}

  ::bw::test::TempDir dir;
  std::string names[kFileCount];
  std::string good[kFileCount];
  int repairsToFix = 1;
  bool recoverWorks = true;
  RepairStatus repairStatus = RepairStatus::kComplete;
  int restarts = 0;
  std::vector<int> states;
  std::vector<std::string> reports;
  std::vector<std::string> messages;
};

Verification::Timing Fast() { return {std::chrono::milliseconds(1), std::chrono::milliseconds(30)}; }

TEST(VerificationTest, RepairOutcomes) {
  using RS = IVerificationTarget::RepairStatus;
  struct Case {
    const char* name;
    bool corrupt;
    int repairsToFix;
    bool recoverWorks;
    RS status;
    int result;
    int finalState;
    int restarts;
  };
  const Case cases[] = {
      {"all match", false, 1, true, RS::kComplete, Verification::kAllMatched, kStateCheckFinished, 0},
      {"fixed on second repair", true, 2, true, RS::kComplete, Verification::kAllMatched, kStateCheckFinished, 2},
      {"fixed on fifth repair", true, 5, true, RS::kComplete, Verification::kAllMatched, kStateCheckFinished, 5},
      {"never fixed", true, 99, true, RS::kComplete, Verification::kRepairGaveUp, kStateFailed, 5},
      {"task stops on an error", true, 1, true, RS::kFailed, Verification::kRecoverFailed, kStateFailed, 1},
      {"task stalls", true, 1, true, RS::kRunning, Verification::kRecoverFailed, kStateFailed, 1},
      {"cannot recover", true, 1, false, RS::kComplete, Verification::kRecoverFailed, kStateCheckRecover, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTarget target;
    target.repairsToFix = c.repairsToFix;
    target.recoverWorks = c.recoverWorks;
    target.repairStatus = c.status;
    if (c.corrupt) target.Write(2, "damaged");
    Verification verification(target, Fast());
    EXPECT_EQ(verification.Run(), c.result);
    ASSERT_FALSE(target.states.empty());
    EXPECT_EQ(target.states.back(), c.finalState);
    EXPECT_EQ(target.restarts, c.restarts);
    EXPECT_EQ(verification.mismatchSeen.load(), c.corrupt ? 1 : 0);
    if (c.result == Verification::kAllMatched) {
      EXPECT_TRUE(target.messages.empty());
      EXPECT_EQ(target.reports.back(), "11100004");
    } else {
      EXPECT_EQ(target.messages.size(), 1u);
    }
  }
}

TEST(VerificationTest, ReportsNameTheRepairCount) {
  FakeTarget target;
  target.repairsToFix = 2;
  target.Write(1, "damaged");
  Verification verification(target, Fast());
  ASSERT_EQ(verification.Run(), Verification::kAllMatched);
  const std::vector<std::string> expected = {"11500201 MD5 unmatched (" + Md5Of("damaged") + ")",
                                             "11100003 修复次数：2", "11100004"};
  EXPECT_EQ(target.reports, expected);
}

TEST(VerificationTest, ReadErrorFailsWithoutRepairs) {
  FakeTarget target;
  std::filesystem::remove(target.FilePath(3));
  std::filesystem::create_directory(target.FilePath(3));  // opens, but every read fails
  Verification verification(target, Fast());
  EXPECT_EQ(verification.Run(), Verification::kRepairGaveUp);
  EXPECT_EQ(target.restarts, 0);
  EXPECT_EQ(target.states.back(), kStateFailed);
  EXPECT_EQ(target.messages.size(), 1u);
}

TEST(FileDigestTest, DigestAndProgress) {
  ::bw::test::TempDir dir;
  struct Case {
    uint64_t size;
    int progress;
  };
  // Under one block there is no whole block to divide by; the installer's size ends at 10004.
  const Case cases[] = {{0, 0}, {100, 10000}, {4096, 10000}, {8299520, 10004}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string path = dir.Path(std::to_string(c.size) + ".bin");
    std::filesystem::resize_file((std::ofstream(path), path), c.size);
    std::atomic<int> progress{-1};
    const FileDigest digest = ComputeFileMd5(path, progress);
    EXPECT_EQ(digest.outcome, FileDigest::Outcome::kDigest);
    EXPECT_EQ(digest.hex, Md5Of(std::string(c.size, '\0')));
    EXPECT_EQ(progress.load(), c.progress);
  }
  std::atomic<int> progress{0};
  EXPECT_EQ(ComputeFileMd5(dir.Path("missing"), progress).outcome, FileDigest::Outcome::kUnopenable);
  const std::atomic<bool> stop{true};
  EXPECT_EQ(ComputeFileMd5(dir.Path("4096.bin"), progress, &stop).outcome, FileDigest::Outcome::kStopped);
}

}  // namespace
}  // namespace bw::app
