#include "app/ui/InstallQuestion.h"

#include <QMetaObject>
#include <QThread>

namespace bw::app::ui {

bool InstallQuestion::Ask(const char* text) {
  std::future<bool> answer;
  {
    std::lock_guard guard(lock_);
    if (closed_) return true;
    pending_ = std::make_unique<Pending>();
    pending_->text = text;
    answer = pending_->answer.get_future();
  }
  QMetaObject::invokeMethod(this, [this] { AnswerPending(); }, Qt::QueuedConnection);
  return answer.get();
}

void InstallQuestion::AnswerPending() {
  std::string text;
  {
    std::lock_guard guard(lock_);
    if (!pending_ || pending_->text.empty()) return;
    // Taken, so that a second pump while the box is open does not show it twice.
    text.swap(pending_->text);
  }
  box_ = desktop_.AskQuestion(owner_, text, caption_, [this](bool yes) { Answer(yes); });
}

void InstallQuestion::Answer(bool yes) {
  std::lock_guard guard(lock_);
  if (!pending_) return;  // closed meanwhile
  pending_->answer.set_value(yes);
  pending_.reset();
}

bool InstallQuestion::Waiting() {
  std::lock_guard guard(lock_);
  return pending_ != nullptr;
}

void InstallQuestion::Close() {
  {
    std::lock_guard guard(lock_);
    closed_ = true;
    if (pending_) pending_->answer.set_value(true);
    pending_.reset();
  }
  if (QThread::currentThread() == thread()) delete box_.data();
}

}  // namespace bw::app::ui
