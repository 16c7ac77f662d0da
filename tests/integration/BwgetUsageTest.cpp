// What the download tool tells a user about the sources it takes, before any download starts.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tests/integration/BwgetProcess.h"
#include "tests/support/TempDir.h"

namespace bw::test {
namespace {

// The help names every kind of source line the engine takes.
TEST(BwgetUsage, TheHelpNamesEverySourceKind) {
  TempDir dir;
  BwgetProcess help({"--help"}, dir.Path("help.log"));
  ASSERT_EQ(help.Wait(10000), 0);
  for (const char* scheme : {"http://", "ftp://", "btnode://", "tracker://http://", "tracker://udp://"}) {
    EXPECT_NE(help.Output().find(scheme), std::string::npos) << scheme;
  }
}

}  // namespace
}  // namespace bw::test
