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
// asking thread waits; the window's thread shows the box from its event loop, or from
// AnswerPending while it waits on the controller itself, and the box answers from whatever event
// loop runs: the box never holds the window's thread, so neither can wait on the other for ever.
class InstallQuestion : public QObject {
 public:
  InstallQuestion(IDesktop& desktop, std::string caption) : desktop_(desktop), caption_(std::move(caption)) {}

  void SetOwner(QWidget* owner) { owner_ = owner; }
  // On any thread but this object's: the user's answer, true for "yes". After Close, true
  // without asking: the check, never the installer, for a question nobody is left to answer.
  bool Ask(const char* text);
  // On this object's thread: shows the waiting question, if there is one.
  void AnswerPending();
  // True while a question waits for its answer: a caller that waits on the asking thread must
  // keep the event loop running meanwhile.
  bool Waiting();
  // Answers a waiting question with "yes" and every later one too; on this object's thread it
  // also takes an open box away.
  void Close();

 private:
  void Answer(bool yes);

  struct Pending {
    std::string text;
    std::promise<bool> answer;
  };

  IDesktop& desktop_;
  std::string caption_;
  QPointer<QWidget> owner_;
  QPointer<QWidget> box_;
  std::mutex lock_;
  std::unique_ptr<Pending> pending_;
  bool closed_ = false;
};

}  // namespace bw::app::ui
