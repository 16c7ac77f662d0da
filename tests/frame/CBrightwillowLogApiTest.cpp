#include "engine/frame/CBrightwillowLogApi.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/api/EngineApi.h"
#include "tests/support/TempDir.h"

namespace bw {
namespace {

using test::TempDir;
using testing::MatchesRegex;

class LogTest : public testing::Test {
 protected:
  void SetUp() override { log.SetBasePath(dir.Path("engine").c_str()); }

  std::string File(const char* suffix) const { return TempDir::Read(dir.Path(std::string("engine") + suffix)); }
  size_t FileCount() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir.Path()),
                                             std::filesystem::directory_iterator()));
  }

  TempDir dir;
  CBrightwillowLogApi log;
};

TEST_F(LogTest, CreationThresholdsSendOnlyHighChannelsToFiles) {
  struct Case {
    int channel;
    const char* file;  // null: no file line
    bool debugOutput;
  };
  const Case cases[] = {
      {23, nullptr, true},     // task channel: debugger output only
      {38, ".dump.log", true},
      {40, ".log", true},      // unlisted channels go to the main file
      {1, nullptr, false},     // below both thresholds
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channel);
    TempDir fresh;
    log.SetBasePath(fresh.Path("engine").c_str());
    log.SetLevels(38, 2);
    testing::internal::CaptureStderr();
    log.Write("hello", c.channel, c.channel);
    const std::string debug = testing::internal::GetCapturedStderr();
    EXPECT_EQ(!debug.empty(), c.debugOutput);
    if (c.debugOutput) {
      EXPECT_THAT(debug, MatchesRegex(R"(\[[0-9]{2}:[0-9]{2}:[0-9]{2}\] \[hello\])" "\n"));
    }
    const size_t files = std::distance(std::filesystem::directory_iterator(fresh.Path()), {});
    ASSERT_EQ(files, c.file ? 1u : 0u);
    if (c.file) {
      EXPECT_THAT(TempDir::Read(fresh.Path(std::string("engine") + c.file)),
                  MatchesRegex(R"(\[[0-9]{2}:[0-9]{2}:[0-9]{2}\] \[hello\])" "\n"));
    }
  }
}

TEST_F(LogTest, EachChannelReachesItsOwnFile) {
  log.SetLevels(0, 100);  // every channel to its file, nothing to the debugger output
  const std::vector<std::pair<int, const char*>> routes = {
      {4, ".req.log"},         {38, ".dump.log"},      {37, ".checktask.log"}, {18, ".peerprefer.log"},
      {28, ".dataupload.log"}, {25, ".httptrace.log"}, {9, ".checkpeer.log"},  {29, ".written.log"},
      {30, ".sha1check.log"},  {31, ".peerinfo.log"},  {7, ".log"}};
  testing::internal::CaptureStderr();
  for (const auto& [channel, suffix] : routes) log.Write(("channel " + std::to_string(channel)).c_str(), channel, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(FileCount(), routes.size());
  for (const auto& [channel, suffix] : routes) {
    EXPECT_THAT(File(suffix), MatchesRegex(".*\\[channel " + std::to_string(channel) + "\\]\n")) << suffix;
  }
}

TEST_F(LogTest, BothThresholdsAt39SilenceTheLog) {
  log.SetLevels(39, 39);
  testing::internal::CaptureStderr();
  log.Write("quiet", 40, 40);
  log.Write("quiet", 38, 38);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(FileCount(), 0u);
}

TEST_F(LogTest, DebugLevel39KeepsFilesShut) {
  log.SetLevels(0, 39);
  log.Write("to no file", 40, 40);
  EXPECT_EQ(FileCount(), 0u);
}

TEST_F(LogTest, LongLineIsCutToTheBuffer) {
  log.SetLevels(0, 100);
  const std::string text(10000, 'x');
  log.Write(text.c_str(), 40, 0);
  const std::string line = File(".log");
  EXPECT_EQ(line.size(), CBrightwillowLogApi::kLineSize - 1);
  EXPECT_EQ(line.back(), 'x');
}

TEST_F(LogTest, DebugPrintfGoesToTheDebuggerOutputOnly) {
  testing::internal::CaptureStderr();
  log.DebugPrintf("%s %d", "value", 7);
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              MatchesRegex(R"(\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] \[value 7\])" "\r\n"));
  EXPECT_EQ(FileCount(), 0u);
}

TEST_F(LogTest, ConcurrentWritersKeepLinesWhole) {
  log.SetLevels(0, 100);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) log.Write("0123456789", 40, 0);
    });
  }
  for (auto& w : writers) w.join();
  std::istringstream all(File(".log"));
  int lines = 0;
  for (std::string line; std::getline(all, line); ++lines) {
    ASSERT_THAT(line, MatchesRegex(R"(\[[0-9:]{8}\] \[0123456789\])"));
  }
  EXPECT_EQ(lines, 200);
}

TEST(EngineLog, FacadeWritesOnlyWhileTheLogExists) {
  TempDir dir;
  const std::string dump = dir.Path("app.dump.log");
  LogWrite("before", 38, 38);
  CreateEngineLog();
  SetEngineLogBasePath(dir.Path("app").c_str());
  testing::internal::CaptureStderr();
  LogPrintf(38, 38, "during %d", 1);
  LogWrite("task line", 23, 23);  // below the file threshold
  testing::internal::GetCapturedStderr();
  DeleteEngineLog();
  LogWrite("after", 38, 38);
  EXPECT_THAT(TempDir::Read(dump), MatchesRegex(R"(\[[0-9:]{8}\] \[during 1\])" "\n"));
}

}  // namespace
}  // namespace bw
