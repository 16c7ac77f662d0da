#include "app/ui/QtDesktop.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

namespace bw::app::ui {

void QtDesktop::OpenFolder(const std::string& folder) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder)));
}

void QtDesktop::ShowFile(const std::string& file) {
  // The file managers' common interface picks the file out; without one, its folder opens.
  const QString path = QString::fromStdString(file);
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                     "org.freedesktop.FileManager1", "ShowItems");
  call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
  if (QDBusConnection::sessionBus().isConnected() &&
      QDBusConnection::sessionBus().call(call, QDBus::Block, 2000).type() == QDBusMessage::ReplyMessage) {
    return;
  }
  QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

void QtDesktop::OpenUrl(const std::string& url) { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); }

std::optional<std::string> QtDesktop::ChooseFolder(QWidget* owner, const std::string& title, const std::string& start) {
  const QString chosen = QFileDialog::getExistingDirectory(owner, QString::fromStdString(title),
                                                           QString::fromStdString(start), QFileDialog::ShowDirsOnly);
  if (chosen.isEmpty()) return std::nullopt;
  return chosen.toStdString();
}

void QtDesktop::Message(QWidget* owner, const std::string& text, const std::string& caption) {
  QMessageBox::information(owner, QString::fromStdString(caption), QString::fromStdString(text));
}

void QtDesktop::Warning(QWidget* owner, const std::string& text, const std::string& caption) {
  QMessageBox::warning(owner, QString::fromStdString(caption), QString::fromStdString(text));
}

QWidget* QtDesktop::AskQuestion(QWidget* owner, const std::string& text, const std::string& caption,
                                std::function<void(bool)> answered) {
  // Shown, not run: no nested event loop of its own, so nothing waits beneath it.
  auto* box = new QMessageBox(QMessageBox::Question, QString::fromStdString(caption), QString::fromStdString(text),
                              QMessageBox::Yes | QMessageBox::No, owner);
  box->setDefaultButton(QMessageBox::Yes);
  box->setWindowModality(Qt::ApplicationModal);
  box->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(box, &QDialog::finished, box,
                   [answered = std::move(answered)](int button) { answered(button == QMessageBox::Yes); });
  box->show();
  return box;
}

}  // namespace bw::app::ui
