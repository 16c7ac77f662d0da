// The MD5 check of a finished package and the repair of a file changed on disk, against real
// mirrors.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "tests/integration/AppFixture.h"

namespace bw::test {
namespace {

class AppVerifyTest : public AppFixture {
 protected:
  // Changes a few bytes of saved file i and puts its time back, so that only its MD5 can tell.
  void CorruptKeepingTheTime(int i, int64_t offset) {
    const auto time = std::filesystem::last_write_time(Saved(i));
    {
      std::fstream file(Saved(i), std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(offset);
      file.write("changed", 7);
    }
    std::filesystem::last_write_time(Saved(i), time);
  }

  // The stored package keeps each file's MD5 digest as text at a fixed place of its row.
  static constexpr size_t DigestOffset(int i) {
    return 11 + static_cast<size_t>(i) * (2 * 4096 + 8 + 32) + 2 * 4096 + 8;
  }
};

// The run ends at once (--linger 0): the check's last events still reach the statistics.
TEST_F(AppVerifyTest, ACorruptedFileIsFoundByMd5AndRepairedFromItsBadPiecesOnly) {
  NginxServer& base = StartMirror(kFolder);
  ServeResourceList("<project><configs><p2p-switch>off</p2p-switch></configs></project>");
  BuildPackage(base);
  ASSERT_EQ(RunConsole({"--start", "--exit-when-finished", "--linger", "0"}), 0) << LastLog();
  CorruptKeepingTheTime(2, 1000);
  platform::SleepMs(300);  // nginx logs a request once its connection is closed
  const size_t requestsBefore = base.Requests().size();

  ASSERT_EQ(RunConsole({"--verify", "--exit-when-finished", "--linger", "0"}, 120000), 0) << LastLog();
  const std::vector<std::string> states = States(2);
  // The console prints the state it finds at each tick: a short check between two others may
  // pass unseen, the repair and the end may not.
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.front(), "finished") << LastLog();
  EXPECT_NE(std::find(states.begin(), states.end(), "checkrecover"), states.end()) << LastLog();
  EXPECT_EQ(states.back(), "checkfinished") << LastLog();
  ExpectSavedFilesAreThePackage();

  platform::SleepMs(300);
  const std::vector<AccessEntry> requests = base.Requests();
  int64_t repaired = 0;
  for (size_t k = requestsBefore; k < requests.size(); ++k) {
    EXPECT_NE(requests[k].uri.find(kNames[2]), std::string::npos) << "only the changed file is fetched";
    repaired += requests[k].bytesSent;
  }
  EXPECT_GT(repaired, 0);
  EXPECT_LE(repaired, 1048576) << "more than the one bad piece (of three)";
  const std::multiset<std::string> codes = ReportedCodes();
  EXPECT_EQ(codes.count("11500201"), 1u) << collector_->Log();
  EXPECT_EQ(codes.count("11100003"), 1u);
  EXPECT_EQ(codes.count("11100004"), 1u);
  // The user's exits: the first run's, when finished, goes unrecorded; the second's is recorded.
  EXPECT_EQ(codes.count("11040000"), 1u);
  EXPECT_EQ(codes.count("11990501"), 0u);
}

// The mirror's copy of a file is wrong, and its torrent agrees with it (built from it), so every
// repair completes in the engine and the MD5 check still fails: after five repairs the user is
// told, the failure is reported, and the downloader stops in "failed".
TEST_F(AppVerifyTest, AFileWhoseMirrorKeepsServingBadBytesFailsAfterFiveRepairs) {
  const std::string bad = dir_.Path("bad-package");
  std::filesystem::copy(BW_DEMO_PACKAGE_DIR, bad);
  {
    std::fstream file(bad + "/" + kNames[2], std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(1500000);  // the second piece
    file.write("served wrong", 12);
  }
  NginxServer& base = StartMirror(kFolder, "", bad);
  ServeResourceList("<project><configs><p2p-switch>off</p2p-switch></configs></project>");
  BuildPackage(base);
  const std::string rightDigest = TempDir::Read(Package()).substr(DigestOffset(2), 32);
  BuildPackage(base, bad);
  {
    std::fstream package(Package(), std::ios::in | std::ios::out | std::ios::binary);
    package.seekp(static_cast<std::streamoff>(DigestOffset(2)));
    package.write(rightDigest.data(), 32);
  }
  ASSERT_EQ(RunConsole({"--start", "--exit-when-finished", "--linger", "0"}), 0) << LastLog();
  CorruptKeepingTheTime(2, 1000);  // the first piece, which the first repair fetches again

  EXPECT_EQ(RunConsole({"--verify", "--exit-when-finished", "--linger", "0"}, 120000), 2) << LastLog();
  const std::vector<std::string> states = States(2);
  ASSERT_FALSE(states.empty());
  EXPECT_NE(std::find(states.begin(), states.end(), "checkrecover"), states.end()) << LastLog();
  EXPECT_EQ(states.back(), "failed") << LastLog();
  const std::string log = LastLog();
  size_t mismatches = 0;
  for (size_t at = log.find("MD5不匹配：tnw002.cab"); at != std::string::npos;
       at = log.find("MD5不匹配：tnw002.cab", at + 1)) {
    ++mismatches;
  }
  EXPECT_EQ(mismatches, 1u + 5u) << "the first check and one after each repair";
  EXPECT_NE(log.find("message: 修复失败：\r\n\r\n多次修复安装文件仍然出错"), std::string::npos) << log;
  EXPECT_EQ(log.find("MD5匹配：tnw003.cab"), std::string::npos) << "the check ends at the failing file";
  EXPECT_EQ(TempDir::Read(Saved(2)), TempDir::Read(bad + "/" + kNames[2])) << "the repair took the mirror's bytes";

  const std::multiset<std::string> codes = ReportedCodes();
  EXPECT_EQ(codes.count("11500201"), 1u) << collector_->Log();
  EXPECT_EQ(codes.count("11990501"), 1u);
  EXPECT_EQ(codes.count("11100003"), 0u);
  EXPECT_EQ(codes.count("11100004"), 0u);
}

}  // namespace
}  // namespace bw::test
