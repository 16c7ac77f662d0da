// The installer as a program of its own: a stand-in script records that it ran, with its argv and
// folder; the failures come back as the launch results of the reason table.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

#include "app/LaunchResult.h"
#include "app/ProgramLauncher.h"
#include "platform/Thread.h"
#include "tests/support/TempDir.h"

namespace bw::app {
namespace {

using bw::test::TempDir;

std::string WaitForFile(const std::string& path) {
  for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i) platform::SleepMs(10);
  platform::SleepMs(50);  // the script may still be writing
  return TempDir::Read(path);
}

TEST(ProgramLauncherTest, TheStandInInstallerRunsWithItsPathAsItsOnlyArgument) {
  TempDir dir;
  // A folder name a shell would act on: the path must reach the program untouched.
  const std::string folder = dir.Path("save $(touch shell-ran); x");
  std::filesystem::create_directories(folder);
  const std::string installer = folder + "/Inst.exe";
  // Downloaded: no execute permission.
  std::ofstream(installer) << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$#\" \"$PWD\" > ran.txt\n";
  ProgramLauncher launcher;
  EXPECT_EQ(launcher.StartInstaller(installer, folder), kLaunchStarted);
  EXPECT_EQ(WaitForFile(folder + "/ran.txt"), installer + "\n0\n" + folder + "\n");
  EXPECT_FALSE(std::filesystem::exists(dir.Path("shell-ran")));
  EXPECT_FALSE(std::filesystem::exists(folder + "/shell-ran"));
}

TEST(ProgramLauncherTest, InstallersThatCannotStartGiveTheirReasonCode) {
  TempDir dir;
  std::ofstream(dir.Path("not-a-program.exe")) << std::string(4096, 'M');
  std::ofstream(dir.Path("a-file")) << "x";
  std::filesystem::create_directories(dir.Path("a-folder.exe"));
  struct Case {
    const char* name;
    int result;
  };
  for (const Case c :
       {Case{"missing.exe", 2}, Case{"a-file/Inst.exe", 3}, Case{"a-folder.exe", 5}, Case{"not-a-program.exe", 11}}) {
    SCOPED_TRACE(c.name);
    const int result = ProgramLauncher().StartInstaller(dir.Path(c.name), dir.Path());
    EXPECT_EQ(result, c.result);
    EXPECT_FALSE(LaunchSucceeded(result));
  }
}

}  // namespace
}  // namespace bw::app
