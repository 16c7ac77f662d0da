#include <QDir>
#include <QFontDatabase>
#include <QFontInfo>
#include <QImage>
#include <gtest/gtest.h>

#include "app/ui/CloseDialog.h"
#include "app/ui/MainWindow.h"
#include "app/ui/SettingsDialog.h"
#include "app/ui/Skin.h"
#include "tests/ui/UiFakes.h"

namespace bw::app::ui {
namespace {

using test::FakeDesktop;
using test::FakeFront;

// Pixels in the text colour (give or take the anti-aliasing) inside a box.
int TextPixels(const QImage& image, const QRect& box) {
  int count = 0;
  for (int y = box.top(); y <= box.bottom(); ++y) {
    for (int x = box.left(); x <= box.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (std::abs(c.red() - 0x68) < 24 && std::abs(c.green() - 0x2D) < 24 && std::abs(c.blue() - 0x0D) < 24) ++count;
    }
  }
  return count;
}

// The window as a user sees it mid-download, saved for people to look at (README) and checked
// where a broken drawing would show: the bar's fill, the texts in their boxes, a CJK face.
TEST(WindowScreenshot, DownloadInProgressShowsItsBarTextsAndList) {
  FakeFront front;
  FakeDesktop desktop;
  front.initResult = 1;
  MainWindow window(front, desktop);
  front.view.state = kStateDownloading;
  front.view.overallProgress = 4567;
  front.view.speedText = "1.5 MB/s";
  front.view.sizeText = "3.5 MB/7.7 MB";
  front.view.saveFolder = "/home/player/TNW0223";
  const char* names[] = {"Inst.exe", "tnw001.cab", "tnw002.cab", "tnw003.cab", "tnw004.cab"};
  for (int i = 0; i < kFileCount; ++i) {
    front.view.fileNames[i] = names[i];
    front.view.rowTexts[i] = i < 2 ? "100.00%" : "12.34%";
  }
  ASSERT_TRUE(window.Start());
  window.show();

  const QImage collapsed = window.grab().toImage();
  window.ToggleList();
  const QImage expanded = window.grab().toImage();
  QDir().mkpath(BW_SCREENSHOT_DIR);
  ASSERT_TRUE(collapsed.save(QString(BW_SCREENSHOT_DIR) + "/window-downloading.png"));
  ASSERT_TRUE(expanded.save(QString(BW_SCREENSHOT_DIR) + "/window-file-list.png"));

  ASSERT_EQ(collapsed.size(), QSize(411, 307));
  ASSERT_EQ(expanded.size(), QSize(411, 385));
  // 45.67 % of the 286-pixel bar is filled from its left edge at 11.
  const int fillEnd = 11 + 286 * 4567 / 10000;
  const QColor filled = collapsed.pixelColor(fillEnd - 4, 250);
  const QColor empty = collapsed.pixelColor(fillEnd + 6, 250);
  EXPECT_GT(filled.red() - filled.blue(), 120) << "the download fill is orange";
  EXPECT_LT(empty.red() - empty.blue(), 80) << "past the fill the trough shows";
  // Every text box holds drawn text.
  const std::pair<const char*, QRect> boxes[] = {
      {"version", QRect(9, 205, 121, 25)}, {"folder label", QRect(190, 205, 60, 25)},
      {"folder", QRect(255, 205, 112, 25)}, {"size", QRect(9, 260, 115, 20)},
      {"speed", QRect(129, 260, 75, 20)},  {"progress label", QRect(209, 260, 50, 20)},
      {"progress value", QRect(262, 260, 50, 20)}};
  for (const auto& [what, box] : boxes) EXPECT_GT(TextPixels(collapsed, box), 8) << what;
  // The texts' face covers simplified Chinese, so no character stands as an empty box.
  const QString family = QFontInfo(skin::TextFont()).family();
  EXPECT_TRUE(QFontDatabase::writingSystems(family).contains(QFontDatabase::SimplifiedChinese))
      << family.toStdString();
}

// The two dialogs as they open, saved beside the window for people to look at.
TEST(WindowScreenshot, DialogsShowTheirTexts) {
  FakeDesktop desktop;
  SettingsDialog settings(DownloaderSettings{}, desktop, nullptr);
  CloseDialog close(nullptr);
  QDir().mkpath(BW_SCREENSHOT_DIR);
  for (auto [dialog, name] : {std::pair<QDialog*, const char*>{&settings, "settings-dialog"}, {&close, "close-dialog"}}) {
    dialog->show();
    const QImage image = dialog->grab().toImage();
    ASSERT_TRUE(image.save(QString(BW_SCREENSHOT_DIR) + "/" + name + ".png"));
    EXPECT_GE(image.width(), dialog->sizeHint().width()) << name << ": nothing cut off";
  }
}

}  // namespace
}  // namespace bw::app::ui
