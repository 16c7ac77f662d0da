// brightwillow: the downloader's window around the application core.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <cstdio>

#include "app/BuiltInPackage.h"
#include "app/ControllerThread.h"
#include "app/AppTexts.h"
#include "app/EngineCalls.h"
#include "app/ProgramLauncher.h"
#include "app/SingleInstance.h"
#include "app/ui/ControllerFront.h"
#include "app/ui/LocalSocketChannel.h"
#include "app/ui/MainWindow.h"
#include "app/ui/QtDesktop.h"
#include "app/ui/program/ProgramOptions.h"
#include "engine/api/EngineApi.h"
#include "platform/CrashReport.h"
#include "platform/File.h"
#include "platform/ProcessCheck.h"
#include "platform/StopSignal.h"
#include "platform/UserFolders.h"

namespace bw::app::ui {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;
constexpr int kSignalPollMs = 100;
constexpr int kScreenshotMs = 1000;

QPointer<MainWindow> g_window;
QtDesktop g_desktop;

// The engine's message boxes come from the controller's thread; they show on this one.
void ShowEngineMessage(void*, const char* text, const char* caption, unsigned) {
  QMetaObject::invokeMethod(
      qApp, [text = std::string(text), caption = std::string(caption ? caption : "")] {
        g_desktop.Message(g_window, text, caption);
      },
      Qt::QueuedConnection);
}

bool LoadPackage(const std::string& file, Package* loaded) {
  std::string stored;
  return platform::ReadWholeFile(file, &stored) && DecodePackage(stored.data(), stored.size(), loaded);
}

// Saved beside and renamed, so that a reader never sees half a picture.
void SaveScreenshot(MainWindow& window, const QString& file) {
  const QString partial = file + ".part.png";
  if (window.grab().save(partial)) std::rename(partial.toLocal8Bit().constData(), file.toLocal8Bit().constData());
}

bool PressButton(MainWindow& window, const char* name) {
  auto* button = window.findChild<QAbstractButton*>(name);
  if (!button || !button->isVisible() || !button->isEnabled()) return false;
  button->click();
  return true;
}

// Presses "yes" in the open question box, if there is one.
bool AnswerYes() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box && box->isVisible() && box->button(QMessageBox::Yes)) {
      box->button(QMessageBox::Yes)->click();
      return true;
    }
  }
  return false;
}

int Run(const ProgramOptions& options) {
  Package loaded;
  const Package* package = &BuiltInPackage();
  if (!options.packageFile.empty()) {
    if (!LoadPackage(options.packageFile, &loaded)) {
      std::fprintf(stderr, "brightwillow: %s is not a package\n", options.packageFile.c_str());
      return kExitUsage;
    }
    package = &loaded;
  }
  const std::string identifier = package->rows[0].digest.empty() ? "unpackaged" : package->rows[0].digest;
  LocalSocketChannel channel;
  SingleInstance instance(channel, identifier, platform::RuntimeFolder(), platform::OwnProgramPath());
  switch (instance.Start()) {
    case SingleInstance::Outcome::kAnswered:
      return kExitOk;
    case SingleInstance::Outcome::kRefused:
      std::fprintf(stderr, "brightwillow: another program holds %s\n", instance.LockPath().c_str());
      return kExitFailed;
    case SingleInstance::Outcome::kReplaced:
      std::fprintf(stderr, "brightwillow: replaced an instance that did not answer\n");
      break;
    case SingleInstance::Outcome::kFirst:
      break;
  }

  if (std::string error; !ApplyLanDiscovery(options.lan, &error)) {
    std::fprintf(stderr, "brightwillow: %s\n", error.c_str());
    return kExitUsage;
  }
  platform::CatchStopSignals();
  SetMessageBoxHook(&ShowEngineMessage);
  EngineCalls engine;
  ProgramLauncher launcher;           // outlives the controller's thread
  InstallQuestion question(g_desktop, kCaption);
  ControllerThread controller(engine, *package);
  ControllerFront front(controller, options.mapPort ? CDownloadController::kMapListenPort : options.listenPort,
                        launcher, question);
  MainWindow window(front, g_desktop);
  g_window = &window;
  question.SetOwner(&window);
  QObject::connect(&channel, &LocalSocketChannel::activationRequested, &window, [&window] {
    std::fprintf(stderr, "brightwillow: brought to the front by another start\n");
    window.Activate();
  });
  // exit, not quit: quit would first ask the window to close, and its close button means "ask".
  // An open install question is answered first, with the check: an exit never starts the installer.
  const auto exitProgram = [&question] {
    question.Close();
    QCoreApplication::exit(kExitOk);
  };
  QObject::connect(&window, &MainWindow::exitRequested, qApp, exitProgram, Qt::QueuedConnection);
  if (!window.Start()) {
    front.Finish();
    controller.Stop();
    return kExitFailed;
  }
  if (options.expanded) window.ToggleList();
  window.show();
  std::fprintf(stderr, "brightwillow: window shown\n");

  bool pressStart = options.start;
  bool pressInstall = options.install;
  QTimer stopPoll;
  QObject::connect(&stopPoll, &QTimer::timeout, qApp, [&] {
    if (platform::StopSignal()) exitProgram();
    // The same buttons a user would press, once they are there to press.
    if (pressStart) pressStart = !PressButton(window, "start");
    if (pressInstall) pressInstall = !PressButton(window, "install");
  });
  // A timer of its own: the install button's click waits for the answer inside the other's slot.
  QTimer questionPoll;
  QObject::connect(&questionPoll, &QTimer::timeout, qApp, [&questionPoll] {
    if (AnswerYes()) questionPoll.stop();
  });
  if (options.install) questionPoll.start(kSignalPollMs);
  stopPoll.start(kSignalPollMs);
  QTimer screenshot;
  if (!options.screenshot.empty()) {
    const QString file = QString::fromStdString(options.screenshot);
    QObject::connect(&screenshot, &QTimer::timeout, &window, [&window, file] { SaveScreenshot(window, file); });
    screenshot.start(kScreenshotMs);
  }
  const int status = QApplication::exec();
  window.hide();
  front.Finish();
  controller.Stop();
  SetMessageBoxHook(nullptr);
  return status;
}

}  // namespace
}  // namespace bw::app::ui

int main(int argc, char** argv) {
  platform::InstallCrashReport();
  bw::app::ui::ProgramOptions options;
  std::string error;
  // Read before the application object, which needs a display: --help and a mistake need none.
  switch (bw::app::ui::ParseProgramOptions(argc, argv, &options, &error)) {
    case bw::app::ui::ProgramCommand::kHelp:
      std::fputs(bw::app::ui::ProgramHelp(), stdout);
      return bw::app::ui::kExitOk;
    case bw::app::ui::ProgramCommand::kUsageError:
      std::fprintf(stderr, "brightwillow: %s\nTry 'brightwillow --help'.\n", error.c_str());
      return bw::app::ui::kExitUsage;
    case bw::app::ui::ProgramCommand::kRun:
      break;
  }
  QApplication app(argc, argv);
  return bw::app::ui::Run(options);
}
