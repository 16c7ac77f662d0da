#include "app/ui/KeySafeDialog.h"

#include <QAbstractButton>
#include <QKeyEvent>
#include <QPushButton>

namespace bw::app::ui {

void KeySafeDialog::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
      event->accept();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (auto* button = qobject_cast<QPushButton*>(focusWidget())) button->click();
      event->accept();
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

void KeySafeDialog::showEvent(QShowEvent* event) {
  // A default button would take Enter from every field.
  for (QPushButton* button : findChildren<QPushButton*>()) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  QDialog::showEvent(event);
}

}  // namespace bw::app::ui
