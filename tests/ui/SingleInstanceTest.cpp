#include "app/ui/LocalSocketChannel.h"

#include <QTest>

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <stdlib.h>
#include <thread>

#include "app/SingleInstance.h"
#include "tests/net/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace bw::app::ui {
namespace {

using bw::app::SingleInstance;
using bw::test::ChildProcess;
using bw::test::TempDir;
using Outcome = SingleInstance::Outcome;


// Real instances of the program on the offscreen platform, each with the user's folders in the
// test's folder, so that they meet only one another.
class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"run", "data", "home"}) std::filesystem::create_directories(dir_.Path(folder));
    std::filesystem::permissions(dir_.Path("run"), std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", dir_.Path("run").c_str(), 1);
    ::setenv("XDG_DATA_HOME", dir_.Path("data").c_str(), 1);
    ::setenv("HOME", dir_.Path("home").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }

  std::unique_ptr<ChildProcess> StartProgram(const std::string& log) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{BW_BRIGHTWILLOW}, dir_.Path(log));
  }

  // True once the program's log says `text`, within `seconds`.
  bool WaitForLog(const std::string& log, const std::string& text, int seconds = 30) {
    for (int i = 0; i < seconds * 20; ++i) {
      if (TempDir::Read(dir_.Path(log)).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // The lock and socket names the program uses: the one file "brightwillow-*.lock" it made.
  std::string Identifier() {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path("run"))) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with(".lock")) return name.substr(13, name.size() - 13 - 5);
    }
    return "";
  }

  TempDir dir_;
};

TEST_F(SingleInstanceTest, SecondStartBringsTheFirstToTheFrontAndEnds) {
  auto first = StartProgram("first.log");
  ASSERT_TRUE(WaitForLog("first.log", "window shown")) << TempDir::Read(dir_.Path("first.log"));
  auto second = StartProgram("second.log");
  EXPECT_EQ(second->Wait(15000), 0) << TempDir::Read(dir_.Path("second.log"));
  EXPECT_TRUE(WaitForLog("first.log", "brought to the front by another start", 5));
  EXPECT_EQ(TempDir::Read(dir_.Path("second.log")).find("window shown"), std::string::npos);
  EXPECT_EQ(first->Wait(0), -1) << "the first instance runs on";
}

TEST_F(SingleInstanceTest, HungInstanceOfThisProgramIsReplacedAndTheReplacementAnswers) {
  auto first = StartProgram("first.log");
  ASSERT_TRUE(WaitForLog("first.log", "window shown")) << TempDir::Read(dir_.Path("first.log"));
  first->Signal(SIGSTOP);
  {
    LocalSocketChannel channel;
    SingleInstance replacing(channel, Identifier(), dir_.Path("run"), BW_BRIGHTWILLOW, std::chrono::milliseconds(500));
    EXPECT_EQ(replacing.Start(), Outcome::kReplaced);
    EXPECT_EQ(first->Wait(5000), 128 + SIGKILL);
    // The replacement owns the socket now: a third start reaches it.
    bool asked = false;
    QObject::connect(&channel, &LocalSocketChannel::activationRequested, [&] { asked = true; });
    auto third = StartProgram("third.log");
    for (int i = 0; i < 300 && third->Wait(0) == -1; ++i) {
      QTest::qWait(50);
    }
    EXPECT_EQ(third->Wait(0), 0) << TempDir::Read(dir_.Path("third.log"));
    EXPECT_TRUE(asked);
  }
}

TEST_F(SingleInstanceTest, FirstInstanceOwnsTheLockAndALaterOneInTheSameFolderIsAnswered) {
  LocalSocketChannel firstChannel;
  SingleInstance first(firstChannel, "pair", dir_.Path("run"), BW_BRIGHTWILLOW, std::chrono::milliseconds(2000));
  ASSERT_EQ(first.Start(), Outcome::kFirst);
  int asked = 0;
  QObject::connect(&firstChannel, &LocalSocketChannel::activationRequested, [&] { ++asked; });
  Outcome outcome = Outcome::kFirst;
  std::thread later([&] {
    LocalSocketChannel secondChannel;
    SingleInstance second(secondChannel, "pair", dir_.Path("run"), BW_BRIGHTWILLOW, std::chrono::milliseconds(2000));
    outcome = second.Start();
  });
  for (int i = 0; i < 100 && asked == 0; ++i) QTest::qWait(50);
  later.join();
  EXPECT_EQ(outcome, Outcome::kAnswered);
  EXPECT_EQ(asked, 1);
}

}  // namespace
}  // namespace bw::app::ui
