#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/ui/IDesktop.h"
#include "app/ui/IDownloaderFront.h"

namespace bw::app::ui::test {

// A downloader whose view the test sets, and that notes every call the window makes.
class FakeFront : public IDownloaderFront {
 public:
  int Initialize() override { return Note("Initialize"), initResult; }
  bool CheckExpiry(std::string* message, std::string* url) override {
    Note("CheckExpiry");
    *message = expiryMessage;
    *url = expiryUrl;
    return expired;
  }
  ControllerView View() override { return view; }
  bool MainAction() override { return Note("MainAction"), diskSpaceLowAfterAction; }
  void SetSpeedLimit(int kBps) override { Note("SetSpeedLimit " + std::to_string(kBps)); }
  void SetAutoShutdown(bool on) override { Note(std::string("SetAutoShutdown ") + (on ? "1" : "0")); }
  void SetP2PEnabled(bool on) override { Note(std::string("SetP2PEnabled ") + (on ? "1" : "0")); }
  void SetSaveFolder(const std::string& folder) override { Note("SetSaveFolder " + folder); }
  std::string InstallerPath() override { return installerPath; }
  std::string GameVersionText() override { return "游戏版本: 1.0.0.29"; }
  int LoadCloseSelection() override { return closeSelection; }
  void SaveCloseSelection(int choice) override { Note("SaveCloseSelection " + std::to_string(choice)); }
  void MarkUserExit() override { Note("MarkUserExit"); }
  void ClearUserExit() override { Note("ClearUserExit"); }

  void Note(const std::string& call) { calls.push_back(call); }

  int initResult = 0;
  bool expired = false;
  std::string expiryMessage, expiryUrl;
  bool diskSpaceLowAfterAction = false;
  std::string installerPath;
  int closeSelection = 0;
  ControllerView view;
  std::vector<std::string> calls;
};

// The desktop's effects, noted instead of done; the folder browser answers `chosenFolder`.
class FakeDesktop : public IDesktop {
 public:
  void OpenFolder(const std::string& folder) override { calls.push_back("OpenFolder " + folder); }
  void ShowFile(const std::string& file) override { calls.push_back("ShowFile " + file); }
  void OpenUrl(const std::string& url) override { calls.push_back("OpenUrl " + url); }
  std::optional<std::string> ChooseFolder(QWidget*, const std::string& title, const std::string& start) override {
    calls.push_back("ChooseFolder " + title + " " + start);
    return chosenFolder;
  }
  void Message(QWidget*, const std::string& text, const std::string&) override { calls.push_back("Message " + text); }
  void Warning(QWidget*, const std::string& text, const std::string&) override { calls.push_back("Warning " + text); }
  // Answers at once with answerYes, or with openQuestions set leaves the box open: the test
  // answers it through `openQuestion`.
  QWidget* AskQuestion(QWidget*, const std::string& text, const std::string&,
                       std::function<void(bool)> answered) override {
    calls.push_back("Question " + text);
    if (openQuestions) {
      openQuestion = std::move(answered);
    } else {
      answered(answerYes);
    }
    return nullptr;
  }

  std::optional<std::string> chosenFolder;
  bool answerYes = true;
  bool openQuestions = false;
  std::function<void(bool)> openQuestion;
  std::vector<std::string> calls;
};

}  // namespace bw::app::ui::test
