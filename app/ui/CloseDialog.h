#pragma once
#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>

#include "app/ui/KeySafeDialog.h"

namespace bw::app::ui {

// Asks what the close button does: hide in the notification area (1) or exit (2), optionally
// remembered. exec() returns the choice, 0 when the dialog was closed without "确定".
class CloseDialog : public KeySafeDialog {
  Q_OBJECT
 public:
  static constexpr int kToTray = 1;
  static constexpr int kExit = 2;

  explicit CloseDialog(QWidget* parent);

  QRadioButton* trayChoice() const { return tray_; }
  QRadioButton* exitChoice() const { return exit_; }
  QCheckBox* rememberBox() const { return remember_; }
  QPushButton* okButton() const { return ok_; }

 signals:
  // Before the dialog closes, when the choice is to be remembered.
  void remember(int choice);

 private:
  QRadioButton* tray_;
  QRadioButton* exit_;
  QCheckBox* remember_;
  QPushButton* ok_;
};

}  // namespace bw::app::ui
