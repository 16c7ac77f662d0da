#include "app/ui/ButtonTable.h"

#include "app/CDownloadController.h"

namespace bw::app::ui {

MainButtons InitialButtons(int initResult) {
  MainButtons b;
  b.chooseFolder.shown = true;
  if (initResult == 0) b.start.shown = true;
  if (initResult > 0) b.pause.shown = true;
  return b;
}

void ApplyButtonTable(int state, bool diskSpaceLow, MainButtons* b) {
  const auto hideDownloadButtons = [b] { b->start.shown = b->pause.shown = b->resume.shown = false; };
  switch (state) {
    case kStateBack:
      b->start.enabled = !diskSpaceLow;
      break;
    case kStatePreparing:
      b->pause = {true, true};
      b->start.shown = false;
      b->chooseFolder.enabled = false;
      break;
    case kStateDownloading:
    case kStateResume:
      b->resume.shown = false;
      b->pause = {true, !diskSpaceLow};
      break;
    case kStatePause:
      b->pause.shown = false;
      b->resume = {true, !diskSpaceLow};
      break;
    case kStateFailed:
      b->pause.enabled = b->resume.enabled = b->install.enabled = b->start.enabled = false;
      break;
    case kStateFinished:
    case kStateCheckFinished:
      hideDownloadButtons();
      b->install = {true, true};
      break;
    case kStateMd5Checking:
    case kStateCheckRecover:
      hideDownloadButtons();
      b->install = {true, false};
      break;
    case kStateRecover:
    case kStateReload:
      b->pause.enabled = b->chooseFolder.enabled = false;
      break;
    default:
      break;
  }
  switch (state) {
    case kStateDownloading:
    case kStatePause:
    case kStateResume:
    case kStateFailed:
    case kStateFinished:
    case kStateMd5Checking:
    case kStateCheckRecover:
    case kStateCheckFinished:
      b->chooseFolder.shown = false;
      b->openFolder.shown = true;
      break;
    default:
      break;
  }
}

FolderAction FolderActionFor(int state) {
  switch (state) {
    case kStateBack:
    case kStateReady:
      return FolderAction::kChoose;
    case kStateFinished:
    case kStateMd5Checking:
    case kStateCheckRecover:
    case kStateCheckFinished:
      return FolderAction::kShowInstaller;
    default:
      return FolderAction::kOpenFolder;
  }
}

}  // namespace bw::app::ui
