#pragma once
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "app/ui/DownloaderSettings.h"
#include "app/ui/IDesktop.h"
#include "app/ui/KeySafeDialog.h"

namespace bw::app::ui {

// The speed limit and the shutdown after the download. "设置" checks the limit, hands the new
// settings out by applied() and closes; "取消" closes without a change.
class SettingsDialog : public KeySafeDialog {
  Q_OBJECT
 public:
  SettingsDialog(const DownloaderSettings& settings, IDesktop& desktop, QWidget* parent);

  QCheckBox* limitBox() const { return limitBox_; }
  QSpinBox* limitSpin() const { return limitSpin_; }
  QCheckBox* shutdownBox() const { return shutdownBox_; }
  QPushButton* applyButton() const { return apply_; }
  QPushButton* cancelButton() const { return cancel_; }

 signals:
  void applied(const DownloaderSettings& settings);

 private:
  void OnLimitToggled(bool on);
  void OnApply();

  IDesktop& desktop_;
  DownloaderSettings settings_;
  QCheckBox* limitBox_;
  QSpinBox* limitSpin_;
  QCheckBox* shutdownBox_;
  QCheckBox* p2pBox_;
  QPushButton* apply_;
  QPushButton* cancel_;
};

}  // namespace bw::app::ui
