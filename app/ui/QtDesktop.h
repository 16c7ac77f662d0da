#pragma once
#include "app/ui/IDesktop.h"

namespace bw::app::ui {

// The desktop's own file manager, browser and dialogs.
class QtDesktop : public IDesktop {
 public:
  void OpenFolder(const std::string& folder) override;
  void ShowFile(const std::string& file) override;
  void OpenUrl(const std::string& url) override;
  std::optional<std::string> ChooseFolder(QWidget* owner, const std::string& title, const std::string& start) override;
  void Message(QWidget* owner, const std::string& text, const std::string& caption) override;
  void Warning(QWidget* owner, const std::string& text, const std::string& caption) override;
  QWidget* AskQuestion(QWidget* owner, const std::string& text, const std::string& caption,
                       std::function<void(bool)> answered) override;
};

}  // namespace bw::app::ui
