#pragma once
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "app/ui/IDesktop.h"

namespace bw::app::ui {

// The controller's yes/no question, asked from its thread and answered on the window's. The
// asking thread waits; the window's thread answers from its event loop, or from AnswerPending
// while it waits on the controller itself, so neither can wait on the other for ever.
class InstallQuestion : public QObject {
 public:
  InstallQuestion(IDesktop& desktop, std::string caption) : desktop_(desktop), caption_(std::move(caption)) {}

  void SetOwner(QWidget* owner) { owner_ = owner; }
  // On any thread but this object's: the user's answer, true for "yes". After Close, true
  // without asking: the check, never the installer, for a question nobody is left to answer.
  bool Ask(const char* text);
  // On this object's thread: shows the waiting question, if there is one.
  void AnswerPending();
  // Answers a waiting question with "yes" and every later one too.
  void Close();

 private:
  struct Pending {
    std::string text;
    std::promise<bool> answer;
  };

  IDesktop& desktop_;
  std::string caption_;
  QPointer<QWidget> owner_;
  std::mutex lock_;
  std::unique_ptr<Pending> pending_;
  bool closed_ = false;
};

}  // namespace bw::app::ui
