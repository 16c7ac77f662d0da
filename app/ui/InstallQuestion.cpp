#include "app/ui/InstallQuestion.h"

#include <QMetaObject>

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
  const bool yes = desktop_.Question(owner_, text, caption_);
  std::lock_guard guard(lock_);
  if (!pending_) return;  // closed meanwhile
  pending_->answer.set_value(yes);
  pending_.reset();
}

void InstallQuestion::Close() {
  std::lock_guard guard(lock_);
  closed_ = true;
  if (pending_) pending_->answer.set_value(true);
  pending_.reset();
}

}  // namespace bw::app::ui
