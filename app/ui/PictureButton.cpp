#include "app/ui/PictureButton.h"

#include <QPainter>

#include "app/ui/Skin.h"

namespace bw::app::ui {

PictureButton::PictureButton(const QString& name, bool hasDisabledLook, bool shaped, QWidget* parent)
    : QAbstractButton(parent),
      normal_(skin::Picture(name + "-normal")),
      hover_(skin::Picture(name + "-hover")),
      pressed_(skin::Picture(name + "-pressed")),
      disabled_(hasDisabledLook ? skin::Picture(name + "-disabled") : normal_) {
  setObjectName(name);
  setFixedSize(normal_.size());
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::NoFocus);
  if (shaped) setMask(skin::ShapeOf(name + "-normal"));
}

void PictureButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QPixmap& look = !isEnabled() ? disabled_ : isDown() ? pressed_ : hovered_ ? hover_ : normal_;
  painter.drawPixmap(0, 0, look);
}

void PictureButton::enterEvent(QEnterEvent* event) {
  hovered_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void PictureButton::leaveEvent(QEvent* event) {
  hovered_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

}  // namespace bw::app::ui
