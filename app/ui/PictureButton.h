#pragma once
#include <QAbstractButton>
#include <QPixmap>

namespace bw::app::ui {

// A button drawn from pictures: normal, hover, pressed and (where it has one) disabled.
class PictureButton : public QAbstractButton {
  Q_OBJECT
 public:
  // `name` picks the pictures "name-normal" and so on; shaped: the button's outline follows the
  // key colour of its normal picture.
  PictureButton(const QString& name, bool hasDisabledLook, bool shaped, QWidget* parent);
  QSize sizeHint() const override { return normal_.size(); }

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;

 private:
  QPixmap normal_, hover_, pressed_, disabled_;
  bool hovered_ = false;
};

}  // namespace bw::app::ui
