#include "app/ui/ButtonTable.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "app/CDownloadController.h"

namespace bw::app::ui {
namespace {

// The buttons a user sees: shown ones by name, "(off)" when disabled.
std::string Seen(const MainButtons& b) {
  std::string seen;
  const std::pair<const char*, const ButtonLook*> looks[] = {{"start", &b.start},   {"pause", &b.pause},
                                                             {"resume", &b.resume}, {"install", &b.install},
                                                             {"choose", &b.chooseFolder}, {"open", &b.openFolder}};
  for (const auto& [name, look] : looks) {
    if (!look->shown) continue;
    if (!seen.empty()) seen += " ";
    seen += std::string(name) + (look->enabled ? "" : "(off)");
  }
  return seen;
}

struct Walk {
  const char* what;
  int initResult;
  std::vector<int> states;
  bool diskSpaceLow;
  const char* seen;
};

TEST(ButtonTable, FollowsTheControllerThroughADownloadsLife) {
  const Walk walks[] = {
      {"fresh start", 0, {kStateReady}, false, "start choose"},
      {"too little space before the start", 0, {kStateBack}, true, "start(off) choose"},
      {"space found again", 0, {kStateBack, kStateBack}, false, "start choose"},
      {"preparing", 0, {kStateReady, kStatePreparing}, false, "pause choose(off)"},
      {"downloading", 0, {kStateReady, kStatePreparing, kStateDownloading}, false, "pause open"},
      {"downloading, disk filling up", 0, {kStateReady, kStatePreparing, kStateDownloading}, true, "pause(off) open"},
      {"paused", 0, {kStateReady, kStatePreparing, kStateDownloading, kStatePause}, false, "resume open"},
      {"paused for disk space", 0, {kStateReady, kStatePreparing, kStateDownloading, kStatePause}, true,
       "resume(off) open"},
      {"resumed", 0, {kStateReady, kStatePreparing, kStateDownloading, kStatePause, kStateResume}, false, "pause open"},
      {"failed", 0, {kStateReady, kStatePreparing, kStateDownloading, kStateFailed}, false, "pause(off) open"},
      {"finished", 0, {kStateReady, kStatePreparing, kStateDownloading, kStateFinished}, false, "install open"},
      {"verifying", 0, {kStateFinished, kStateMd5Checking}, false, "install(off) open"},
      {"repairing", 0, {kStateFinished, kStateMd5Checking, kStateCheckRecover}, false, "install(off) open"},
      {"verified", 0, {kStateFinished, kStateMd5Checking, kStateCheckFinished}, false, "install open"},
      {"recovered tasks", 1, {kStateRecover}, false, "pause(off) choose(off)"},
      {"recovered, then flowing", 1, {kStateReload, kStateDownloading}, false, "pause open"},
      {"a state without a row changes nothing", 0, {kStateReady, kStatePreparing, kStateDownloading, kStateRetry},
       false, "pause open"},
      {"recovered finished download", 1, {kStateFinished}, false, "install open"},
  };
  for (const Walk& walk : walks) {
    MainButtons buttons = InitialButtons(walk.initResult);
    for (int state : walk.states) ApplyButtonTable(state, walk.diskSpaceLow, &buttons);
    EXPECT_EQ(Seen(buttons), walk.seen) << walk.what;
  }
}

TEST(ButtonTable, BeforeTheFirstTickOnlyTheFolderChoiceShowsUnlessStarted) {
  EXPECT_EQ(Seen(InitialButtons(-1)), "choose");
  EXPECT_EQ(Seen(InitialButtons(0)), "start choose");
  EXPECT_EQ(Seen(InitialButtons(1)), "pause choose");
}

TEST(ButtonTable, FolderButtonChoosesBeforeTheStartAndShowsTheInstallerAtTheEnd) {
  const std::pair<int, FolderAction> cases[] = {
      {kStateBack, FolderAction::kChoose},           {kStateReady, FolderAction::kChoose},
      {kStatePreparing, FolderAction::kOpenFolder},  {kStateDownloading, FolderAction::kOpenFolder},
      {kStatePause, FolderAction::kOpenFolder},      {kStateRecover, FolderAction::kOpenFolder},
      {kStateFinished, FolderAction::kShowInstaller}, {kStateMd5Checking, FolderAction::kShowInstaller},
      {kStateCheckRecover, FolderAction::kShowInstaller}, {kStateCheckFinished, FolderAction::kShowInstaller},
      {kStateInstalling, FolderAction::kOpenFolder},
  };
  for (const auto& [state, action] : cases) EXPECT_EQ(FolderActionFor(state), action) << "state " << state;
}

}  // namespace
}  // namespace bw::app::ui
