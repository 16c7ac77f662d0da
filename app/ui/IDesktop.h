#pragma once
#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace bw::app::ui {

// The window's effects outside the program and its modal boxes: the program passes QtDesktop,
// tests a stand-in, so that no test opens a file manager or a browser.
class IDesktop {
 public:
  virtual ~IDesktop() = default;
  virtual void OpenFolder(const std::string& folder) = 0;
  // Shows the folder of `file` with the file picked out where the file manager can.
  virtual void ShowFile(const std::string& file) = 0;
  virtual void OpenUrl(const std::string& url) = 0;
  virtual std::optional<std::string> ChooseFolder(QWidget* owner, const std::string& title,
                                                  const std::string& start) = 0;
  virtual void Message(QWidget* owner, const std::string& text, const std::string& caption) = 0;
  virtual void Warning(QWidget* owner, const std::string& text, const std::string& caption) = 0;
  // A yes/no box that leaves the caller running: answered(true) for "yes" once the user has
  // chosen. Returns the open box (null when it was answered at once), which may be closed unanswered.
  virtual QWidget* AskQuestion(QWidget* owner, const std::string& text, const std::string& caption,
                               std::function<void(bool)> answered) = 0;
};

}  // namespace bw::app::ui
