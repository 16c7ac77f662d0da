#include "app/SingleInstance.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

#include "platform/ProcessCheck.h"
#include "tests/net/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace bw::app {
namespace {

using bw::test::ChildProcess;
using bw::test::TempDir;
using Outcome = SingleInstance::Outcome;

class FakeChannel : public IInstanceChannel {
 public:
  explicit FakeChannel(bool answers) : answers_(answers) {}
  bool Listen(const std::string& path) override {
    listened = path;
    return true;
  }
  bool Ask(const std::string&, std::chrono::milliseconds) override { return answers_; }

  std::string listened;

 private:
  bool answers_;
};

// The lock held by another process that wrote its own id into it and never lets go.
std::unique_ptr<ChildProcess> HoldLock(const std::string& python, const std::string& lock, const TempDir& dir) {
  auto holder = std::make_unique<ChildProcess>(
      std::vector<std::string>{python, "-c",
                               "import fcntl,os,sys,time\nf=open(sys.argv[1],'w')\nfcntl.flock(f,fcntl.LOCK_EX)\n"
                               "f.write(str(os.getpid()));f.flush();print('held',flush=True);time.sleep(60)",
                               lock},
      dir.Path("holder.log"));
  for (int i = 0; i < 200 && TempDir::Read(dir.Path("holder.log")).find("held") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return holder;
}

TEST(SingleInstance, FirstStartTakesTheLockAndTheChannel) {
  TempDir dir;
  std::filesystem::create_directories(dir.Path("run"));
  FakeChannel channel(false);
  SingleInstance instance(channel, "pkg", dir.Path("run"), platform::OwnProgramPath());
  EXPECT_EQ(instance.Start(), Outcome::kFirst);
  EXPECT_EQ(channel.listened, instance.ChannelPath());
  EXPECT_EQ(std::stoi(TempDir::Read(instance.LockPath())), getpid());
  // A second start in the same folder finds it held.
  FakeChannel answered(true);
  EXPECT_EQ(SingleInstance(answered, "pkg", dir.Path("run"), platform::OwnProgramPath()).Start(), Outcome::kAnswered);
  EXPECT_EQ(answered.listened, "");
}

// A running instance that answers is left alone; one that does not is ended only when it runs
// this program.
TEST(SingleInstance, RunningInstanceIsEndedOnlyWhenHungAndThisProgram) {
  // The system's own, not a wrapper that would leave another program in the holder's process.
  const std::string python = "/usr/bin/python3";
  if (access(python.c_str(), X_OK) != 0) GTEST_SKIP() << "python3 is needed";
  struct Case {
    const char* name;
    bool answers;
    bool holderIsThisProgram;
    Outcome outcome;
    bool holderEnded;
  };
  const Case cases[] = {
      {"answers", true, true, Outcome::kAnswered, false},
      {"hung, this program", false, true, Outcome::kReplaced, true},
      {"hung, another program", false, false, Outcome::kRefused, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FakeChannel channel(c.answers);
    SingleInstance instance(channel, "pkg", dir.path, c.holderIsThisProgram ? python : platform::OwnProgramPath(),
                            std::chrono::milliseconds(100));
    auto holder = HoldLock(python, instance.LockPath(), dir);
    EXPECT_EQ(instance.Start(), c.outcome);
    EXPECT_EQ(holder->Wait(c.holderEnded ? 5000 : 200), c.holderEnded ? 128 + SIGKILL : -1);
    EXPECT_EQ(channel.listened, c.outcome == Outcome::kReplaced ? instance.ChannelPath() : "");
  }
}

}  // namespace
}  // namespace bw::app
