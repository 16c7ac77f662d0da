#pragma once

namespace bw::app::ui {

struct ButtonLook {
  bool shown = false;
  bool enabled = true;
  bool operator==(const ButtonLook&) const = default;
};

// The main buttons (one of start, pause, continue and install is shown at a time) and the two
// folder buttons (choose before the start, open after it).
struct MainButtons {
  ButtonLook start, pause, resume, install, chooseFolder, openFolder;
  bool operator==(const MainButtons&) const = default;
};

// Before the first tick: start after a fresh start-up (initResult 0), pause after recovered tasks.
MainButtons InitialButtons(int initResult);
// After every change of the controller state or of its disk-space flag; states without a row
// leave the buttons as they are.
void ApplyButtonTable(int state, bool diskSpaceLow, MainButtons* buttons);

enum class FolderAction { kChoose, kShowInstaller, kOpenFolder };
FolderAction FolderActionFor(int state);

}  // namespace bw::app::ui
