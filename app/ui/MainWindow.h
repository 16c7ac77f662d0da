#pragma once
#include <QPoint>
#include <QRegion>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <string>

#include "app/ui/ButtonTable.h"
#include "app/ui/DownloaderSettings.h"
#include "app/ui/IDesktop.h"
#include "app/ui/IDownloaderFront.h"
#include "app/ui/PictureButton.h"

class QAction;
class QMenu;

namespace bw::app::ui {

// The downloader's only window: borderless and skinned, one download of five files with a main
// button whose meaning follows the controller state. Two ticks on this thread read the
// controller's view: the buttons and the bar every 100 ms, the texts and the list every second.
class MainWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 411;
  static constexpr int kCollapsedHeight = 307;
  static constexpr int kListHeight = 78;

  MainWindow(IDownloaderFront& front, IDesktop& desktop, QWidget* parent = nullptr);

  // Initialises the controller and starts the ticks; false when the program is to end at once
  // (the downloader could not start, or it has expired).
  bool Start();
  void FastTick();
  void SlowTick();

  // A second start of the program asks for the window.
  void Activate();
  void ToggleList();
  const std::string& FolderText() const { return folderText_; }
  const std::string& SizeText() const { return sizeText_; }
  const DownloaderSettings& Settings() const { return settings_; }
  QSystemTrayIcon* Tray() const { return tray_; }
  QAction* TrayExitAction() const { return trayExit_; }
  void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);

 signals:
  // The user chose to end the program.
  void exitRequested();

 protected:
  void paintEvent(QPaintEvent*) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  PictureButton* Button(const char* name, bool hasDisabledLook, bool shaped, int left, int top);
  void ShowButtons();
  void OnMainButton(bool isStart);
  void OnFolderButton();
  void OnCloseButton();
  void OpenSettings();
  void ApplySettings(const DownloaderSettings& settings);
  void ToTray();
  void Exit();
  void FillList();

  IDownloaderFront& front_;
  IDesktop& desktop_;
  PictureButton *start_, *pause_, *resume_, *install_, *chooseFolder_, *openFolder_;
  QTreeWidget* list_;
  QSystemTrayIcon* tray_;
  QMenu* trayMenu_;
  QAction* trayExit_;
  QTimer fastTick_, slowTick_;
  QRegion collapsedShape_;

  MainButtons buttons_;
  ControllerView view_;
  int shownState_ = -1;
  bool shownDiskLow_ = false;
  int barProgress_ = -1;
  int barState_ = -1;
  int repairTick_ = 0;
  bool textsFinal_ = false;  // the texts of a finished state were drawn once
  bool collapsed_ = true;
  bool exiting_ = false;
  bool dragging_ = false;
  QPoint dragOffset_;
  DownloaderSettings settings_;

  std::string versionText_, folderText_, sizeText_, speedText_, progressLabel_, progressValue_, finishedText_;
};

}  // namespace bw::app::ui
