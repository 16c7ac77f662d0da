#include "app/ui/CloseDialog.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace bw::app::ui {

CloseDialog::CloseDialog(QWidget* parent) : KeySafeDialog(parent) {
  setWindowTitle("关闭");
  auto* group = new QGroupBox("您点击了关闭按钮，您是想：", this);
  tray_ = new QRadioButton("最小化到系统托盘，不退出程序", group);
  exit_ = new QRadioButton("退出程序", group);
  tray_->setChecked(true);
  auto* choices = new QVBoxLayout(group);
  choices->addWidget(tray_);
  choices->addWidget(exit_);
  remember_ = new QCheckBox("记住我的选择", this);
  ok_ = new QPushButton("确定", this);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(remember_);
  bottom->addStretch(1);
  bottom->addWidget(ok_);
  auto* column = new QVBoxLayout(this);
  column->addWidget(group);
  column->addLayout(bottom);
  connect(ok_, &QPushButton::clicked, this, [this] {
    const int choice = tray_->isChecked() ? kToTray : kExit;
    if (remember_->isChecked()) emit remember(choice);
    done(choice);
  });
}

}  // namespace bw::app::ui
