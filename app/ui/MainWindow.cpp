#include "app/ui/MainWindow.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <filesystem>

#include "app/AppTexts.h"
#include "app/ui/CloseDialog.h"
#include "app/ui/SettingsDialog.h"
#include "app/ui/Skin.h"
#include "app/ui/WindowTexts.h"

namespace bw::app::ui {
namespace {

constexpr int kFastPeriodMs = 100;
constexpr int kSlowPeriodMs = 1000;
constexpr int kDragHeight = 38;
constexpr int kListTop = 322;

// A rectangle by its edges, right and bottom exclusive.
QRect Box(int left, int top, int right, int bottom) { return QRect(left, top, right - left, bottom - top); }

const QRect kVersionBox = Box(9, 205, 130, 230);
const QRect kFolderLabelBox = Box(190, 205, 250, 230);
const QRect kFolderBox = Box(255, 205, 367, 230);
const QRect kBarBox = Box(11, 244, 297, 256);
const QRect kSizeBox = Box(9, 260, 124, 280);
const QRect kSpeedBox = Box(129, 260, 204, 280);
const QRect kLabelBox = Box(209, 260, 259, 280);
const QRect kValueBox = Box(262, 260, 312, 280);
const QRect kFinishedBox = Box(129, 260, 312, 280);
const QRect kToggleBox = Box(186, 278, 218, 308);
// The rows of the collapsed background whose key colour is cut out of the window.
constexpr int kShapeFirstRow = 283;
constexpr int kShapeLastRow = 308;

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

MainWindow::MainWindow(IDownloaderFront& front, IDesktop& desktop, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), front_(front), desktop_(desktop) {
  setWindowTitle(kCaption);
  setWindowIcon(QIcon(skin::Picture("icon")));
  setFixedSize(kWidth, kCollapsedHeight);
  setFont(skin::TextFont());

  connect(Button("settings", false, false, 318, 10), &QAbstractButton::clicked, this, &MainWindow::OpenSettings);
  connect(Button("minimise", false, false, 346, 10), &QAbstractButton::clicked, this, &QWidget::showMinimized);
  connect(Button("close", false, false, 374, 10), &QAbstractButton::clicked, this, &MainWindow::OnCloseButton);
  start_ = Button("start", true, true, 318, 244);
  pause_ = Button("pause", true, true, 318, 244);
  resume_ = Button("continue", true, true, 318, 244);
  install_ = Button("install", true, true, 318, 244);
  chooseFolder_ = Button("folder", true, false, 372, 203);
  openFolder_ = Button("folder", true, false, 372, 203);
  start_->setObjectName("start");
  pause_->setObjectName("pause");
  resume_->setObjectName("continue");
  install_->setObjectName("install");
  chooseFolder_->setObjectName("chooseFolder");
  openFolder_->setObjectName("openFolder");
  connect(start_, &QAbstractButton::clicked, this, [this] { OnMainButton(true); });
  for (PictureButton* button : {pause_, resume_, install_}) {
    connect(button, &QAbstractButton::clicked, this, [this] { OnMainButton(false); });
  }
  for (PictureButton* button : {chooseFolder_, openFolder_}) {
    connect(button, &QAbstractButton::clicked, this, &MainWindow::OnFolderButton);
  }
  buttons_ = InitialButtons(-1);
  ShowButtons();

  list_ = new QTreeWidget(this);
  list_->setColumnCount(2);
  list_->setHeaderLabels({"Name", "Percent"});
  list_->setColumnWidth(0, 280);
  list_->setColumnWidth(1, 128);
  list_->setRootIsDecorated(false);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setStyleSheet("QTreeWidget { background: white; }");
  list_->setFocusPolicy(Qt::NoFocus);
  // The window ends 78 pixels below its collapsed height: the list fills that strip.
  list_->setGeometry(0, kListTop, 408, kCollapsedHeight + kListHeight - kListTop);
  list_->hide();
  for (int i = 0; i < kFileCount; ++i) new QTreeWidgetItem(list_);

  collapsedShape_ = skin::ShapeOf("bg", kShapeFirstRow, kShapeLastRow);
  setMask(collapsedShape_);

  tray_ = new QSystemTrayIcon(QIcon(skin::Picture("icon")), this);
  tray_->setToolTip(kCaption);
  trayMenu_ = new QMenu(this);
  trayExit_ = trayMenu_->addAction("退出(&X)");
  tray_->setContextMenu(trayMenu_);
  connect(trayExit_, &QAction::triggered, this, &MainWindow::Exit);
  connect(tray_, &QSystemTrayIcon::activated, this, &MainWindow::OnTrayActivated);

  fastTick_.setInterval(kFastPeriodMs);
  slowTick_.setInterval(kSlowPeriodMs);
  connect(&fastTick_, &QTimer::timeout, this, &MainWindow::FastTick);
  connect(&slowTick_, &QTimer::timeout, this, &MainWindow::SlowTick);
}

PictureButton* MainWindow::Button(const char* name, bool hasDisabledLook, bool shaped, int left, int top) {
  auto* button = new PictureButton(name, hasDisabledLook, shaped, this);
  button->move(left, top);
  return button;
}

bool MainWindow::Start() {
  const int initResult = front_.Initialize();
  if (initResult < 0) {
    front_.MarkUserExit();
    return false;
  }
  if (initResult == 0) {
    std::string message, url;
    if (front_.CheckExpiry(&message, &url)) {
      desktop_.Message(this, message, kCaption);
      desktop_.OpenUrl(url);
      front_.MarkUserExit();
      return false;
    }
  }
  buttons_ = InitialButtons(initResult);
  ShowButtons();
  view_ = front_.View();
  folderText_ = view_.saveFolder;
  versionText_ = front_.GameVersionText();
  FillList();
  fastTick_.start();
  slowTick_.start();
  FastTick();
  SlowTick();
  return true;
}

void MainWindow::FastTick() {
  view_ = front_.View();
  const int bar = BarProgress(view_);
  if (bar != barProgress_ || view_.state != barState_) {
    barProgress_ = bar;
    barState_ = view_.state;
    update(kBarBox);
  }
  if (view_.state != shownState_ || view_.diskSpaceLow != shownDiskLow_) {
    shownState_ = view_.state;
    shownDiskLow_ = view_.diskSpaceLow;
    ApplyButtonTable(shownState_, shownDiskLow_, &buttons_);
    ShowButtons();
  }
}

void MainWindow::SlowTick() {
  view_ = front_.View();
  finishedText_ = FinishedText(view_);
  if (view_.state == kStateCheckRecover) {
    ++repairTick_;
  } else {
    repairTick_ = 0;
  }
  // A finished state keeps its texts, drawn once on entering it: the tick before may have shown
  // a download still on its way.
  const bool finished = view_.state == kStateFinished || view_.state == kStateCheckFinished;
  if (!finished || !textsFinal_) {
    speedText_ = SpeedShown(view_, repairTick_);
    sizeText_ = view_.sizeText;
    progressLabel_ = ProgressLabel(view_.state);
    progressValue_ = ProgressValue(view_);
  }
  textsFinal_ = finished;
  FillList();
  update();
}

void MainWindow::FillList() {
  for (int i = 0; i < kFileCount; ++i) {
    QTreeWidgetItem* row = list_->topLevelItem(i);
    row->setText(0, Text(view_.fileNames[i]));
    row->setText(1, Text(view_.rowTexts[i]));
  }
}

void MainWindow::ShowButtons() {
  const std::pair<PictureButton*, const ButtonLook*> looks[] = {
      {start_, &buttons_.start},          {pause_, &buttons_.pause},
      {resume_, &buttons_.resume},        {install_, &buttons_.install},
      {chooseFolder_, &buttons_.chooseFolder}, {openFolder_, &buttons_.openFolder}};
  for (const auto& [button, look] : looks) {
    button->setVisible(look->shown);
    button->setEnabled(look->enabled);
  }
}

void MainWindow::OnMainButton(bool isStart) {
  const bool diskSpaceLow = front_.MainAction();
  if (isStart && !diskSpaceLow) {
    buttons_.start.shown = false;
    buttons_.pause.shown = true;
    ShowButtons();
  }
}

void MainWindow::OnFolderButton() {
  switch (FolderActionFor(view_.state)) {
    case FolderAction::kChoose: {
      const std::string start = std::filesystem::path(folderText_).parent_path().string();
      const std::optional<std::string> chosen = desktop_.ChooseFolder(this, "请选择安装包存放目录:", start);
      if (!chosen || chosen->empty()) return;
      std::string folder = *chosen;
      if (folder.back() != '/') folder += '/';
      folder += kDefaultFolderName;
      folderText_ = folder;
      update(kFolderBox);
      front_.SetSaveFolder(folder);
      return;
    }
    case FolderAction::kShowInstaller: {
      const std::string installer = front_.InstallerPath();
      if (folderText_.empty() && installer.empty()) break;
      std::error_code ignored;
      if (std::filesystem::exists(installer, ignored)) {
        desktop_.ShowFile(installer);
      } else {
        desktop_.OpenFolder(folderText_);
      }
      return;
    }
    case FolderAction::kOpenFolder:
      if (folderText_.empty()) break;
      desktop_.OpenFolder(folderText_);
      return;
  }
  desktop_.Message(this, "下载位置不存在", kCaption);
}

void MainWindow::OpenSettings() {
  // The resource list may have switched peers off since: the dialog hands back what holds now.
  settings_.p2p = front_.View().p2pEnabled;
  SettingsDialog dialog(settings_, desktop_, this);
  connect(&dialog, &SettingsDialog::applied, this, &MainWindow::ApplySettings);
  dialog.exec();
}

void MainWindow::ApplySettings(const DownloaderSettings& settings) {
  settings_ = settings;
  front_.SetSpeedLimit(settings_.speedLimit);
  front_.SetAutoShutdown(settings_.shutdownAfterDownload);
  front_.SetP2PEnabled(settings_.p2p);
}

void MainWindow::OnCloseButton() {
  int choice = front_.LoadCloseSelection();
  if (choice != CloseDialog::kToTray && choice != CloseDialog::kExit) {
    CloseDialog dialog(this);
    connect(&dialog, &CloseDialog::remember, this, [this](int chosen) { front_.SaveCloseSelection(chosen); });
    choice = dialog.exec();
  }
  if (choice == CloseDialog::kToTray) ToTray();
  if (choice == CloseDialog::kExit) {
    front_.MarkUserExit();
    Exit();
  }
}

void MainWindow::ToTray() {
  // Without a notification area the window could not come back: it is minimised instead.
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    showMinimized();
    return;
  }
  tray_->show();
  hide();
}

void MainWindow::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::DoubleClick) {
    front_.ClearUserExit();
    Activate();
  } else if (reason == QSystemTrayIcon::Context) {
    front_.MarkUserExit();
  }
}

void MainWindow::Activate() {
  tray_->hide();
  showNormal();
  raise();
  activateWindow();
}

void MainWindow::Exit() {
  exiting_ = true;
  fastTick_.stop();
  slowTick_.stop();
  tray_->hide();
  close();
  emit exitRequested();
}

void MainWindow::ToggleList() {
  collapsed_ = !collapsed_;
  if (collapsed_) {
    setFixedSize(kWidth, kCollapsedHeight);
    setMask(collapsedShape_);
    list_->hide();
  } else {
    setFixedSize(kWidth, kCollapsedHeight + kListHeight);
    clearMask();
    list_->show();
  }
  update();
}

void MainWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawPixmap(0, 0, skin::Picture(collapsed_ ? "bg" : "bg-expanded"));
  if (barProgress_ > 0) {
    const QPixmap fill = skin::Picture(ShowsVerification(barState_) ? "progress-verify" : "progress-download");
    painter.drawPixmap(kBarBox.topLeft(), fill, QRect(0, 0, kBarBox.width() * barProgress_ / 10000, kBarBox.height()));
  }
  painter.setPen(skin::kTextColour);
  const auto line = [&](const QRect& box, const std::string& text, int align = Qt::AlignLeft) {
    // A text a little wider than its box runs on, as the original drawing did, rather than losing its end.
    painter.drawText(box, align | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip, Text(text));
  };
  line(kVersionBox, versionText_);
  line(kFolderLabelBox, "保存位置:");
  line(kFolderBox, painter.fontMetrics().elidedText(Text(folderText_), Qt::ElideMiddle, kFolderBox.width()).toStdString());
  line(kSizeBox, sizeText_);
  if (!finishedText_.empty()) {
    line(kFinishedBox, finishedText_);
  } else {
    line(kSpeedBox, speedText_);
    line(kLabelBox, progressLabel_);
    line(kValueBox, progressValue_, Qt::AlignHCenter);
  }
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && event->position().y() < kDragHeight) {
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
  }
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
  if (dragging_) move(event->globalPosition().toPoint() - dragOffset_);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
  dragging_ = false;
  if (event->button() == Qt::LeftButton && kToggleBox.contains(event->position().toPoint())) ToggleList();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (exiting_ || !event->spontaneous()) {
    event->accept();
    return;
  }
  // The window manager's close goes the way of the close button.
  event->ignore();
  OnCloseButton();
}

}  // namespace bw::app::ui
