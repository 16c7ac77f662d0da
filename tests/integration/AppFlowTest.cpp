// The downloader's whole flow without its window, from "ready" to "finished", against real
// servers: its mirrors, its resource list, its statistics collector.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>

#include "tests/integration/AppFixture.h"

namespace bw::test {
namespace {

class AppFlowTest : public AppFixture {};
// A task takes new mirrors when it hands its sources out, every 15 seconds.
class AppFlowSlow : public AppFixture {};

// The download server is slow; the resource list names a fast mirror of every file, which joins
// the tasks once data flows. Every file arrives whole and the events reach the collector.
TEST_F(AppFlowSlow, FromReadyToFinishedWithTheResourceListsMirrors) {
  NginxServer& base = StartMirror(kFolder, "limit_rate 100k;");
  NginxServer& extra = StartMirror("/m/");
  ServeResourceList(MirrorList(base, extra));
  BuildPackage(base);
  ASSERT_EQ(RunConsole({"--start", "--exit-when-finished", "--linger", "3"}, 90000), 0) << LastLog();
  const std::vector<std::string> states = States(1);
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.front(), "ready");
  EXPECT_NE(std::find(states.begin(), states.end(), "downloading"), states.end()) << LastLog();
  EXPECT_EQ(states.back(), "finished");
  ExpectSavedFilesAreThePackage();
  platform::SleepMs(300);  // nginx logs a request once its connection is closed
  EXPECT_GT(extra.BytesSent(), 0) << "the resource list's mirror took no part";

  const std::multiset<std::string> codes = ReportedCodes();
  EXPECT_EQ(codes.count("11010000"), 1u) << collector_->Log();
  EXPECT_EQ(codes.count("11080000"), 5u);
  EXPECT_EQ(codes.count("11060000"), 1u);

  // The next start finds the download finished, without a task.
  ASSERT_EQ(RunConsole({"--exit-when-finished", "--linger", "0"}), 0) << LastLog();
  EXPECT_EQ(States(2), std::vector<std::string>{"finished"});
}

// Killed outright at random moments, each start recovers what reached the disk and goes on.
TEST_F(AppFlowTest, KilledAtRandomMomentsItRecoversAndFinishes) {
  NginxServer& base = StartMirror(kFolder, "limit_rate 1m;");
  ServeResourceList("<project><configs><p2p-switch>off</p2p-switch></configs></project>");
  BuildPackage(base);
  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  std::ostringstream story;
  story << "seed " << seed << "\n";
  int killed = 0;
  while (killed < 3) {
    const int run = ++killed;
    std::unique_ptr<ChildProcess> console = StartConsole({"--start"});
    // A kill before the download began leaves nothing to recover: wait for it, however slow the
    // machine, then kill at a random moment of the transfer.
    for (int waited = 0; waited < 20000 && console->Wait(0) < 0; waited += 20) {
      const std::vector<std::string> reached = States(run);
      if (!reached.empty() && reached.back() != "ready") break;
      platform::SleepMs(20);
    }
    const int ms = static_cast<int>(random() % 1000);
    platform::SleepMs(ms);
    console->Signal(SIGKILL);
    console->Wait(10000);
    story << "run " << run << " killed " << ms << " ms into the download:";
    const std::vector<std::string> reached = States(run);
    for (const std::string& s : reached) story << " " << s;
    story << "\n";
    if (!reached.empty() && reached.back() == "finished") break;
  }
  ASSERT_EQ(RunConsole({"--start", "--exit-when-finished", "--linger", "0"}, 90000), 0) << story.str() << LastLog();
  const std::vector<std::string> states = States(killed + 1);
  ASSERT_FALSE(states.empty());
  // A run killed after its last byte reached the disk leaves a download that checks as finished.
  const std::string& first = states.front();
  EXPECT_TRUE(first == "recover" || first == "reload" || first == "finished") << story.str() << LastLog();
  EXPECT_EQ(states.back(), "finished");
  ExpectSavedFilesAreThePackage();
}

// A completed file changed on disk fails its fingerprint: the next start checks it and downloads
// it again.
TEST_F(AppFlowTest, AChangedFileIsFoundByItsFingerprintAndDownloadedAgain) {
  NginxServer& base = StartMirror(kFolder);
  ServeResourceList("<project><configs><p2p-switch>off</p2p-switch></configs></project>");
  BuildPackage(base);
  ASSERT_EQ(RunConsole({"--start", "--exit-when-finished", "--linger", "0"}), 0) << LastLog();
  {
    std::fstream file(Saved(2), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(1000);
    file.write("changed", 7);
  }
  std::filesystem::last_write_time(Saved(2), std::filesystem::last_write_time(Saved(2)) + std::chrono::seconds(5));
  ASSERT_EQ(RunConsole({"--exit-when-finished", "--linger", "0"}), 0) << LastLog();
  const std::vector<std::string> states = States(2);
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.front(), "reload") << LastLog();
  EXPECT_NE(LastLog().find("Recover P2SP Task"), std::string::npos) << LastLog();
  EXPECT_EQ(states.back(), "finished");
  ExpectSavedFilesAreThePackage();
}

// A captive portal answers the resource list's address with its login page: the download goes on.
TEST_F(AppFlowTest, ACaptivePortalPageAsTheResourceListChangesNothing) {
  NginxServer& base = StartMirror(kFolder, "limit_rate 1m;");
  ServeResourceList(
      "<html><head><title>Wi-Fi</title></head><body><form action=\"/login\"><input name=\"u\">"
      "</form></body></html>");
  BuildPackage(base);
  ASSERT_EQ(RunConsole({"--start", "--exit-when-finished", "--linger", "0"}), 0) << LastLog();
  EXPECT_EQ(States(1).back(), "finished");
  ExpectSavedFilesAreThePackage();
  EXPECT_GT(list_->Requests().size(), 0u) << "the resource list was never asked";
}

}  // namespace
}  // namespace bw::test
