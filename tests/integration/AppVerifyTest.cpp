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
}

}  // namespace
}  // namespace bw::test
