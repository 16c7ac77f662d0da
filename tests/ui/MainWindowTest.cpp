#include "app/ui/MainWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>

#include "tests/support/TempDir.h"
#include "tests/ui/UiFakes.h"

namespace bw::app::ui {
namespace {

using test::FakeDesktop;
using test::FakeFront;

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    front_.view.saveFolder = "/home/player/TNW0223";
    for (int i = 0; i < kFileCount; ++i) front_.view.fileNames[i] = "tnw00" + std::to_string(i) + ".cab";
  }

  // The window after its start-up and a tick in `state`.
  void StartIn(int state, bool diskSpaceLow = false) {
    ASSERT_TRUE(window_.Start());
    SetState(state, diskSpaceLow);
  }

  void SetState(int state, bool diskSpaceLow = false) {
    front_.view.state = state;
    front_.view.diskSpaceLow = diskSpaceLow;
    window_.FastTick();
    window_.SlowTick();
  }

  QAbstractButton* ButtonNamed(const char* name) { return window_.findChild<QAbstractButton*>(name); }
  bool Shown(const char* name) { return !ButtonNamed(name)->isHidden(); }
  bool Called(const FakeFront& front, const std::string& call) {
    return std::find(front.calls.begin(), front.calls.end(), call) != front.calls.end();
  }

  FakeFront front_;
  FakeDesktop desktop_;
  MainWindow window_{front_, desktop_};
};

TEST_F(MainWindowTest, StartUpShowsTheButtonThatFitsTheInitialisation) {
  struct Case {
    int initResult;
    bool expired;
    bool starts;
    const char* shown;
  };
  const Case cases[] = {{0, false, true, "start"}, {1, false, true, "pause"}, {-1, false, false, ""},
                        {0, true, false, ""}};
  for (const Case& c : cases) {
    FakeFront front;
    FakeDesktop desktop;
    front.initResult = c.initResult;
    front.expired = c.expired;
    front.expiryMessage = "该下载器已过期";
    front.expiryUrl = "http://127.0.0.1:9/new";
    MainWindow window(front, desktop);
    EXPECT_EQ(window.Start(), c.starts) << c.initResult;
    if (*c.shown) {
      EXPECT_FALSE(window.findChild<QAbstractButton*>(c.shown)->isHidden()) << c.shown;
    }
    EXPECT_EQ(Called(front, "MarkUserExit"), !c.starts) << c.initResult;
    if (c.expired) {
      EXPECT_EQ(desktop.calls, (std::vector<std::string>{"Message 该下载器已过期", "OpenUrl http://127.0.0.1:9/new"}));
    }
  }
}

TEST_F(MainWindowTest, MainButtonFollowsTheStateAndReachesTheController) {
  StartIn(kStateReady);
  QTest::mouseClick(ButtonNamed("start"), Qt::LeftButton);
  EXPECT_TRUE(Called(front_, "MainAction"));
  EXPECT_TRUE(Shown("pause")) << "the pause button shows at once after a start with enough space";
  EXPECT_FALSE(Shown("start"));

  SetState(kStateDownloading);
  EXPECT_TRUE(Shown("openFolder"));
  EXPECT_FALSE(Shown("chooseFolder"));
  SetState(kStatePause);
  EXPECT_TRUE(Shown("continue"));
  EXPECT_FALSE(Shown("pause"));
  front_.calls.clear();
  QTest::mouseClick(ButtonNamed("continue"), Qt::LeftButton);
  EXPECT_EQ(front_.calls, std::vector<std::string>{"MainAction"});
  SetState(kStateFinished);
  EXPECT_TRUE(Shown("install"));
  EXPECT_TRUE(ButtonNamed("install")->isEnabled());
  SetState(kStateMd5Checking);
  EXPECT_FALSE(ButtonNamed("install")->isEnabled());
}

// A finish between two ticks must not leave the last texts of the download on screen; after that
// a finished state's texts stay as they were drawn.
TEST_F(MainWindowTest, FinishedStatesDrawTheirTextsOnceOnEntering) {
  ASSERT_TRUE(window_.Start());
  for (const int finished : {kStateFinished, kStateCheckFinished}) {
    SCOPED_TRACE(finished);
    front_.view.sizeText = "4.4 MB/7.7 MB";
    SetState(5);
    EXPECT_EQ(window_.SizeText(), "4.4 MB/7.7 MB");
    front_.view.sizeText = "7.7 MB/7.7 MB";
    SetState(finished);
    EXPECT_EQ(window_.SizeText(), "7.7 MB/7.7 MB");
    front_.view.sizeText = "0 B/7.7 MB";
    SetState(finished);
    EXPECT_EQ(window_.SizeText(), "7.7 MB/7.7 MB");
  }
}

TEST_F(MainWindowTest, StartWithoutDiskSpaceKeepsTheStartButton) {
  front_.diskSpaceLowAfterAction = true;
  StartIn(kStateReady);
  QTest::mouseClick(ButtonNamed("start"), Qt::LeftButton);
  EXPECT_TRUE(Shown("start"));
  EXPECT_FALSE(Shown("pause"));
  SetState(kStateBack, true);
  EXPECT_FALSE(ButtonNamed("start")->isEnabled());
}

TEST_F(MainWindowTest, FolderChoiceAppendsTheGameFolderAndTellsTheController) {
  StartIn(kStateReady);
  const std::pair<const char*, const char*> cases[] = {{"/data/Games", "/data/Games/TNW0223"},
                                                       {"/data/Games/", "/data/Games/TNW0223"},
                                                       {"/", "/TNW0223"}};
  for (const auto& [chosen, folder] : cases) {
    desktop_.chosenFolder = chosen;
    QTest::mouseClick(ButtonNamed("chooseFolder"), Qt::LeftButton);
    EXPECT_EQ(window_.FolderText(), folder);
    EXPECT_EQ(front_.calls.back(), std::string("SetSaveFolder ") + folder);
  }
  // The browser opens at the parent of the folder shown.
  EXPECT_EQ(desktop_.calls.back(), "ChooseFolder 请选择安装包存放目录: /data/Games");
  desktop_.chosenFolder.reset();
  front_.calls.clear();
  QTest::mouseClick(ButtonNamed("chooseFolder"), Qt::LeftButton);
  EXPECT_EQ(window_.FolderText(), "/TNW0223") << "a cancelled choice changes nothing";
  EXPECT_TRUE(front_.calls.empty());
}

TEST_F(MainWindowTest, FolderButtonAtTheEndShowsTheInstallerOrItsFolder) {
  bw::test::TempDir dir;
  front_.view.saveFolder = dir.Path("TNW0223");
  front_.installerPath = dir.Path("Inst.exe");
  StartIn(kStateFinished);
  QTest::mouseClick(ButtonNamed("openFolder"), Qt::LeftButton);
  EXPECT_EQ(desktop_.calls.back(), "OpenFolder " + dir.Path("TNW0223")) << "installer missing: the folder opens";
  { std::ofstream(front_.installerPath) << "MZ"; }
  QTest::mouseClick(ButtonNamed("openFolder"), Qt::LeftButton);
  EXPECT_EQ(desktop_.calls.back(), "ShowFile " + front_.installerPath);
}

TEST_F(MainWindowTest, EnterAndEscapeNeverCloseTheWindow) {
  StartIn(kStateDownloading);
  window_.show();
  QSignalSpy exits(&window_, &MainWindow::exitRequested);
  front_.calls.clear();
  for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(&window_, key);
  EXPECT_TRUE(window_.isVisible());
  EXPECT_EQ(exits.count(), 0);
  EXPECT_TRUE(front_.calls.empty());
}

TEST_F(MainWindowTest, RememberedCloseChoiceSkipsTheDialog) {
  StartIn(kStateDownloading);
  window_.show();
  front_.closeSelection = 2;
  QSignalSpy exits(&window_, &MainWindow::exitRequested);
  QTest::mouseClick(ButtonNamed("close"), Qt::LeftButton);
  EXPECT_EQ(exits.count(), 1);
  EXPECT_TRUE(Called(front_, "MarkUserExit"));
  EXPECT_FALSE(window_.isVisible());
}

TEST_F(MainWindowTest, RememberedTrayChoiceLeavesTheProgramRunning) {
  StartIn(kStateDownloading);
  window_.show();
  front_.closeSelection = 1;
  QSignalSpy exits(&window_, &MainWindow::exitRequested);
  QTest::mouseClick(ButtonNamed("close"), Qt::LeftButton);
  EXPECT_EQ(exits.count(), 0);
  EXPECT_FALSE(Called(front_, "MarkUserExit"));
  // Offscreen there is no notification area: the window is minimised rather than lost.
  EXPECT_TRUE(window_.isHidden() || window_.isMinimized());
}

TEST_F(MainWindowTest, TrayActionsReachTheController) {
  StartIn(kStateDownloading);
  QSignalSpy exits(&window_, &MainWindow::exitRequested);
  window_.OnTrayActivated(QSystemTrayIcon::Context);
  EXPECT_EQ(front_.calls.back(), "MarkUserExit");
  window_.OnTrayActivated(QSystemTrayIcon::DoubleClick);
  EXPECT_EQ(front_.calls.back(), "ClearUserExit");
  EXPECT_TRUE(window_.isVisible());
  EXPECT_EQ(window_.TrayExitAction()->text(), "退出(&X)");
  EXPECT_EQ(window_.Tray()->toolTip(), "Tanwyn下载器");
  window_.TrayExitAction()->trigger();
  EXPECT_EQ(exits.count(), 1);
}

TEST_F(MainWindowTest, ToggleAreaOpensAndClosesTheFileList) {
  StartIn(kStateDownloading);
  window_.show();
  EXPECT_EQ(window_.size(), QSize(411, 307));
  QTest::mouseClick(&window_, Qt::LeftButton, {}, QPoint(200, 290));
  EXPECT_EQ(window_.size(), QSize(411, 385));
  QTest::mouseClick(&window_, Qt::LeftButton, {}, QPoint(150, 290));
  EXPECT_EQ(window_.size(), QSize(411, 385)) << "outside the toggle";
  QTest::mouseClick(&window_, Qt::LeftButton, {}, QPoint(200, 290));
  EXPECT_EQ(window_.size(), QSize(411, 307));
}

}  // namespace
}  // namespace bw::app::ui
