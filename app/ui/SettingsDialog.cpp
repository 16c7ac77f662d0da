#include "app/ui/SettingsDialog.h"

#include <QGroupBox>
#include <algorithm>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace bw::app::ui {
namespace {

constexpr int kSpinStart = 200;
constexpr const char* kNoLimit = "无限制";

}  // namespace

SettingsDialog::SettingsDialog(const DownloaderSettings& settings, IDesktop& desktop, QWidget* parent)
    : KeySafeDialog(parent), desktop_(desktop), settings_(settings) {
  setWindowTitle("下载设置");
  auto* speedGroup = new QGroupBox("速度设置", this);
  limitBox_ = new QCheckBox("下载速度限制:", speedGroup);
  limitSpin_ = new QSpinBox(speedGroup);
  limitSpin_->setRange(kMinSpeedLimit, kMaxSpeedLimit);
  // Without a limit the box shows a word: the one value below the range stands for it.
  limitSpin_->setSpecialValueText(kNoLimit);
  auto* speedRow = new QHBoxLayout(speedGroup);
  speedRow->addWidget(limitBox_);
  speedRow->addWidget(limitSpin_, 1);
  speedRow->addWidget(new QLabel("KB/s", speedGroup));

  auto* moreGroup = new QGroupBox("高级设置", this);
  shutdownBox_ = new QCheckBox("下载完成后关机", moreGroup);
  p2pBox_ = new QCheckBox("启用P2P", moreGroup);
  p2pBox_->hide();
  auto* moreColumn = new QVBoxLayout(moreGroup);
  moreColumn->addWidget(shutdownBox_);
  moreColumn->addWidget(p2pBox_);

  apply_ = new QPushButton("设置", this);
  cancel_ = new QPushButton("取消", this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(apply_);
  buttons->addWidget(cancel_);
  auto* column = new QVBoxLayout(this);
  column->addWidget(speedGroup);
  column->addWidget(moreGroup);
  column->addLayout(buttons);

  limitSpin_->setValue(settings_.speedLimit > 0 ? settings_.speedLimit : kSpinStart);
  limitBox_->setChecked(settings_.speedLimit > 0);
  OnLimitToggled(settings_.speedLimit > 0);
  shutdownBox_->setChecked(settings_.shutdownAfterDownload);
  p2pBox_->setChecked(settings_.p2p);
  connect(limitBox_, &QCheckBox::toggled, this, [this](bool on) {
    if (on) limitSpin_->setValue(kSpinStart);
    OnLimitToggled(on);
  });
  connect(apply_, &QPushButton::clicked, this, &SettingsDialog::OnApply);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void SettingsDialog::OnLimitToggled(bool on) {
  limitSpin_->setEnabled(on);
  if (on) {
    const int value = std::max(limitSpin_->value(), kMinSpeedLimit);
    limitSpin_->setMinimum(kMinSpeedLimit);
    limitSpin_->setValue(value);
  } else {
    limitSpin_->setMinimum(kMinSpeedLimit - 1);
    limitSpin_->setValue(kMinSpeedLimit - 1);
  }
}

void SettingsDialog::OnApply() {
  int limit = 0;
  if (limitBox_->isChecked()) {
    // The text as typed: the spin box alone would quietly keep its last value in range.
    bool number = false;
    limit = limitSpin_->findChild<QLineEdit*>()->text().trimmed().toInt(&number);
    if (!number || limit < kMinSpeedLimit || limit > kMaxSpeedLimit) {
      desktop_.Warning(this, "您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！", "警告");
      return;
    }
  }
  settings_.speedLimit = limit;
  settings_.shutdownAfterDownload = shutdownBox_->isChecked();
  settings_.p2p = p2pBox_->isChecked();
  emit applied(settings_);
  accept();
}

}  // namespace bw::app::ui
