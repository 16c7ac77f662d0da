#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <stdlib.h>
#include <string>

#include "app/AppFolders.h"
#include "tests/support/TempDir.h"

namespace bw::app {
namespace {

TEST(AppFolders, TheRecordLivesInTheUsersDataFolder) {
  bw::test::TempDir dir;
  ::setenv("XDG_DATA_HOME", dir.Path("data").c_str(), 1);
  const AppFolders folders = BuildFolders("0123abcd");
  EXPECT_EQ(folders.appFolder, dir.Path("data") + "/TAVI/Brightwillow/Brightwillow0123abcd");
  EXPECT_EQ(folders.iniPath, folders.appFolder + "/0123abcd.bwconf");
  EXPECT_EQ(folders.logBase, folders.appFolder + "/0123abcd");
  ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
  ::setenv("HOME", dir.Path("home").c_str(), 1);
  EXPECT_EQ(BuildFolders("x").appFolder, dir.Path("home") + "/.local/share/TAVI/Brightwillow/Brightwillowx");
  ::unsetenv("XDG_DATA_HOME");
}

TEST(AppFolders, TheSaveFolderGoesWhereMostSpaceIsTheEarlierOnATie) {
  const std::map<std::string, uint64_t> free = {{"/home/u", 100}, {"/media/u/a", 300}, {"/media/u/b", 300}};
  const auto freeBytes = [&](const std::string& folder) { return free.at(folder); };
  EXPECT_EQ(ChooseSaveFolder({"/home/u", "/media/u/a", "/media/u/b"}, freeBytes), "/media/u/a/TNW0223");
  EXPECT_EQ(ChooseSaveFolder({"/home/u"}, freeBytes), "/home/u/TNW0223");
  EXPECT_EQ(ChooseSaveFolder({"/home/u", "/media/u/a"}, [](const std::string&) { return uint64_t{0}; }),
            "/home/u/TNW0223");
}

TEST(AppFolders, ThePeerBudgetOfTheLinkFileIsTakenFrom10To200) {
  bw::test::TempDir dir;
  struct Case {
    const char* value;
    int budget;
  } cases[] = {{"9", 35}, {"10", 10}, {"200", 200}, {"201", 35}, {"abc", 35}, {"-50", 35}};
  for (const Case& c : cases) {
    std::ofstream(dir.Path("link.ini"), std::ios::trunc)
        << "[BrightwillowTask]\nBrightwillowTaskLink=" << c.value << "\n";
    EXPECT_EQ(ReadPeerBudget(dir.Path("link.ini")), c.budget) << c.value;
  }
  EXPECT_EQ(ReadPeerBudget(dir.Path("missing.ini")), 35);
}

}  // namespace
}  // namespace bw::app
