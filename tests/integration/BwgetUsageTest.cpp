// What the download tool tells a user about the sources it takes, before any download starts.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tests/integration/BwgetProcess.h"
#include "tests/support/TempDir.h"

namespace bw::test {
namespace {

// Lines the engine reads but cannot fetch from yet are refused at once, with the reason, instead
// of a run that waits for data that never comes; the help names only what works.
TEST(BwgetUsage, SourcesItCannotFetchFromYetAreRefusedWithTheReason) {
  TempDir dir;
  const std::string out = dir.Path("out.bin");
  BwgetProcess help({"--help"}, dir.Path("help.log"));
  ASSERT_EQ(help.Wait(10000), 0);
  EXPECT_EQ(help.Output().find("tracker://"), std::string::npos);
  EXPECT_NE(help.Output().find("btnode://"), std::string::npos);
  EXPECT_NE(help.Output().find("http://"), std::string::npos);
  EXPECT_NE(help.Output().find("ftp://"), std::string::npos);
  const std::string source = "tracker://http://127.0.0.1:1/announce";
  BwgetProcess run({"-o", out, "--progress", "none", "http://127.0.0.1:1/f.bin", source}, dir.Path("run.log"));
  ASSERT_EQ(run.Wait(10000), 1) << run.Output();
  EXPECT_NE(run.Output().find("tracker:// sources are not supported yet: " + source), std::string::npos)
      << run.Output();
}

}  // namespace
}  // namespace bw::test
