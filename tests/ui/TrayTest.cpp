// The tray under a real X server with a notification area (Xvfb and the trayer panel): the test
// program runs itself again on that display, where the window closes into the tray and the tray's
// menu reaches the controller. Skipped where no display can be made.
#include <QAbstractButton>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <cctype>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "app/ui/MainWindow.h"
#include "tests/net/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/ui/UiFakes.h"

namespace bw::app::ui {
namespace {

using bw::test::ChildProcess;
using bw::test::TempDir;

constexpr const char* kOnRealTray = "BW_TEST_ON_REAL_TRAY";

// The display number Xvfb wrote on its first line, once it did.
std::string DisplayOf(const std::string& log) {
  std::string line = TempDir::Read(log);
  line = line.substr(0, line.find('\n'));
  if (line.empty() || !std::all_of(line.begin(), line.end(), [](unsigned char c) { return std::isdigit(c); })) {
    return "";
  }
  return ":" + line;
}

TEST(Tray, MenuReachesTheControllerUnderARealTray) {
  const std::string xvfb = bw::test::FindProgram("Xvfb");
  const std::string trayer = bw::test::FindProgram("trayer");
  if (xvfb.empty() || trayer.empty()) GTEST_SKIP() << "Xvfb and trayer are needed (scripts/deps.sh)";
  TempDir dir;
  ChildProcess server({xvfb, "-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"},
                      dir.Path("xvfb.log"));
  std::string display;
  for (int i = 0; i < 100 && display.empty() && server.Wait(0) == -1; ++i) {
    QTest::qSleep(50);
    display = DisplayOf(dir.Path("xvfb.log"));
  }
  if (display.empty()) GTEST_SKIP() << "no display could be made: " << TempDir::Read(dir.Path("xvfb.log"));
  const std::string platform = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
  ::setenv("DISPLAY", display.c_str(), 1);
  ChildProcess panel({trayer, "--edge", "top", "--widthtype", "request", "--height", "24"}, dir.Path("trayer.log"));
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  ::setenv(kOnRealTray, "1", 1);
  ChildProcess test({"/proc/self/exe", "--gtest_filter=TrayOnDisplay.*"}, dir.Path("test.log"));
  const int status = test.Wait(60000);
  ::unsetenv(kOnRealTray);
  ::unsetenv("DISPLAY");
  ::setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
  const std::string log = TempDir::Read(dir.Path("test.log"));
  EXPECT_EQ(status, 0) << log;
  EXPECT_NE(log.find("[  PASSED  ] 1 test"), std::string::npos) << log;
}

// Runs only in the program that the test above starts on its display.
TEST(TrayOnDisplay, CloseGoesToTheTrayAndItsMenuReachesTheController) {
  if (!std::getenv(kOnRealTray)) GTEST_SKIP() << "run by Tray.MenuReachesTheControllerUnderARealTray";
  for (int i = 0; i < 100 && !QSystemTrayIcon::isSystemTrayAvailable(); ++i) QTest::qWait(50);
  ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
  test::FakeFront front;
  test::FakeDesktop desktop;
  MainWindow window(front, desktop);
  ASSERT_TRUE(window.Start());
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  front.closeSelection = 1;  // the remembered choice: to the tray
  window.findChild<QAbstractButton*>("close")->click();
  EXPECT_TRUE(window.isHidden()) << "hidden in the tray, not minimised";
  EXPECT_TRUE(window.Tray()->isVisible());
  ASSERT_EQ(window.Tray()->contextMenu()->actions().size(), 1);
  QAction* exit = window.Tray()->contextMenu()->actions().front();
  EXPECT_EQ(exit->text(), "退出(&X)");
  emit window.Tray()->activated(QSystemTrayIcon::Context);
  EXPECT_EQ(front.calls.back(), "MarkUserExit");
  emit window.Tray()->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_EQ(front.calls.back(), "ClearUserExit");
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.Tray()->isVisible());
  QSignalSpy exits(&window, &MainWindow::exitRequested);
  exit->trigger();
  EXPECT_EQ(exits.count(), 1);
}

}  // namespace
}  // namespace bw::app::ui
