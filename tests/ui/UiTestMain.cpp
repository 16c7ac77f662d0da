// The window tests need an application object; they run on the offscreen platform unless told
// otherwise, so that they need no display.
#include <QApplication>
#include <gtest/gtest.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
