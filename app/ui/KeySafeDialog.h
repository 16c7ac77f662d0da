#pragma once
#include <QDialog>

namespace bw::app::ui {

// A dialog that Enter and Escape never close by accident: Escape does nothing, and Enter presses
// only the button that has the focus. Its buttons are closed by a click or the title bar.
class KeySafeDialog : public QDialog {
  Q_OBJECT
 public:
  using QDialog::QDialog;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;
};

}  // namespace bw::app::ui
