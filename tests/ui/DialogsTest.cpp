#include <QApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/ui/CloseDialog.h"
#include "app/ui/MainWindow.h"
#include "app/ui/SettingsDialog.h"
#include "tests/ui/UiFakes.h"

namespace bw::app::ui {
namespace {

using test::FakeDesktop;
using test::FakeFront;

constexpr const char* kRangeWarning = "Warning 您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！";

void Type(QSpinBox* spin, const QString& text) {
  QLineEdit* edit = spin->findChild<QLineEdit*>();
  edit->selectAll();
  QTest::keyClicks(edit, text);
}

TEST(SettingsDialog, AcceptsOnlyLimitsInTheRange) {
  struct Case {
    const char* typed;
    bool accepted;
    int limit;
  };
  // The spin box refuses keys that leave the range for good, so "30001" arrives as "3000".
  const Case cases[] = {{"10", true, 10}, {"30000", true, 30000}, {"5", false, 0}, {"9", false, 0},
                        {"30001", true, 3000}, {"200", true, 200}};
  for (const Case& c : cases) {
    FakeDesktop desktop;
    SettingsDialog dialog(DownloaderSettings{}, desktop, nullptr);
    QSignalSpy applied(&dialog, &SettingsDialog::applied);
    dialog.show();
    dialog.limitBox()->setChecked(true);
    Type(dialog.limitSpin(), c.typed);
    QTest::mouseClick(dialog.applyButton(), Qt::LeftButton);
    ASSERT_EQ(applied.count(), c.accepted ? 1 : 0) << c.typed;
    if (c.accepted) {
      EXPECT_EQ(applied.at(0).at(0).value<DownloaderSettings>().speedLimit, c.limit) << c.typed;
      EXPECT_FALSE(dialog.isVisible());
    } else {
      EXPECT_EQ(desktop.calls, std::vector<std::string>{kRangeWarning}) << c.typed;
      EXPECT_TRUE(dialog.isVisible()) << c.typed << ": the dialog stays open";
    }
  }
}

TEST(SettingsDialog, OpensFromTheCurrentSettingsAndLiftsTheLimitWhenUnchecked) {
  FakeDesktop desktop;
  {
    SettingsDialog unlimited(DownloaderSettings{}, desktop, nullptr);
    unlimited.show();
    EXPECT_EQ(unlimited.limitSpin()->text(), "无限制");
    EXPECT_FALSE(unlimited.limitSpin()->isEnabled());
    unlimited.limitBox()->setChecked(true);
    EXPECT_EQ(unlimited.limitSpin()->value(), 200) << "a new limit starts at 200";
  }
  SettingsDialog dialog(DownloaderSettings{500, true, true}, desktop, nullptr);
  QSignalSpy applied(&dialog, &SettingsDialog::applied);
  dialog.show();
  EXPECT_TRUE(dialog.limitBox()->isChecked());
  EXPECT_EQ(dialog.limitSpin()->value(), 500);
  EXPECT_TRUE(dialog.shutdownBox()->isChecked());
  dialog.limitBox()->setChecked(false);
  EXPECT_FALSE(dialog.limitSpin()->isEnabled());
  EXPECT_EQ(dialog.limitSpin()->text(), "无限制");
  dialog.shutdownBox()->setChecked(false);
  QTest::mouseClick(dialog.applyButton(), Qt::LeftButton);
  ASSERT_EQ(applied.count(), 1);
  const auto settings = applied.at(0).at(0).value<DownloaderSettings>();
  EXPECT_EQ(settings.speedLimit, 0);
  EXPECT_FALSE(settings.shutdownAfterDownload);
}

TEST(SettingsDialog, WindowHandsTheAppliedSettingsToTheController) {
  FakeFront front;
  FakeDesktop desktop;
  front.view.p2pEnabled = false;  // switched off by the resource list
  MainWindow window(front, desktop);
  ASSERT_TRUE(window.Start());
  front.calls.clear();
  QTimer::singleShot(0, [] {
    auto* dialog = qobject_cast<SettingsDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->limitBox()->setChecked(true);
    Type(dialog->limitSpin(), "1500");
    dialog->shutdownBox()->setChecked(true);
    QTest::mouseClick(dialog->applyButton(), Qt::LeftButton);
  });
  QTest::mouseClick(window.findChild<QAbstractButton*>("settings"), Qt::LeftButton);
  EXPECT_EQ(front.calls, (std::vector<std::string>{"SetSpeedLimit 1500", "SetAutoShutdown 1", "SetP2PEnabled 0"}));
  EXPECT_EQ(window.Settings().speedLimit, 1500);
}

TEST(CloseDialog, ReturnsTheChoiceAndRemembersItOnlyWhenAsked) {
  struct Case {
    bool exit;
    bool remember;
    int choice;
    int remembered;
  };
  const Case cases[] = {{false, false, 1, 0}, {true, false, 2, 0}, {false, true, 1, 1}, {true, true, 2, 2}};
  for (const Case& c : cases) {
    CloseDialog dialog(nullptr);
    QSignalSpy remembered(&dialog, &CloseDialog::remember);
    dialog.show();
    EXPECT_TRUE(dialog.trayChoice()->isChecked()) << "the tray is the choice offered";
    if (c.exit) dialog.exitChoice()->setChecked(true);
    dialog.rememberBox()->setChecked(c.remember);
    QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), c.choice);
    ASSERT_EQ(remembered.count(), c.remembered ? 1 : 0);
    if (c.remembered) {
      EXPECT_EQ(remembered.at(0).at(0).toInt(), c.remembered);
    }
  }
}

TEST(CloseDialog, ClosedWithoutOkChoosesNothing) {
  FakeFront front;
  FakeDesktop desktop;
  MainWindow window(front, desktop);
  ASSERT_TRUE(window.Start());
  window.show();
  QSignalSpy exits(&window, &MainWindow::exitRequested);
  QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
  QTest::mouseClick(window.findChild<QAbstractButton*>("close"), Qt::LeftButton);
  EXPECT_EQ(exits.count(), 0);
  EXPECT_TRUE(window.isVisible());
}

TEST(KeySafeDialogs, EnterAndEscapeCloseNoDialog) {
  FakeDesktop desktop;
  SettingsDialog settings(DownloaderSettings{}, desktop, nullptr);
  CloseDialog close(nullptr);
  QSignalSpy applied(&settings, &SettingsDialog::applied);
  QSignalSpy remembered(&close, &CloseDialog::remember);
  for (QDialog* dialog : std::initializer_list<QDialog*>{&settings, &close}) {
    dialog->show();
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
      QTest::keyClick(dialog->focusWidget() ? dialog->focusWidget() : dialog, key);
      QTest::keyClick(dialog, key);
    }
    EXPECT_TRUE(dialog->isVisible()) << dialog->windowTitle().toStdString();
  }
  EXPECT_EQ(applied.count(), 0);
  settings.limitBox()->setChecked(true);
  Type(settings.limitSpin(), "300");
  QTest::keyClick(settings.limitSpin(), Qt::Key_Return);
  EXPECT_TRUE(settings.isVisible()) << "Enter in the limit does not apply and close";
  EXPECT_EQ(applied.count(), 0);
}

}  // namespace
}  // namespace bw::app::ui
