// The dialog in which the user picks the local working directory. On OK the
// directory is created, stored as TempFilePath and the previous directory's
// files follow it; the two openers below are what the login code calls.
#pragma once

#include <windows.h>

#include <string>

#include "common/DialogHelpers.h"

namespace velmora {

class WorkingDirectoryDialog : public ModalDialog {
 public:
  explicit WorkingDirectoryDialog(std::string currentChoice = {}) : current_(std::move(currentChoice)) {}

  // IDOK or IDCANCEL.
  INT_PTR Run(HWND owner);
  const std::string& CurrentChoice() const { return current_; }
  const std::string& PreviousDirectory() const { return previous_; }

 protected:
  BOOL OnInitDialog() override;
  BOOL OnCommand(int controlId, int notifyCode) override;

 private:
  void Browse();
  void Accept();

  std::string current_;   // shown in the edit, stored on OK
  std::string previous_;  // before the last browse: the copy's source
  bool copying_ = false;  // the copy pumps messages: nothing may start twice
};

// The login dialog's settings button: starts from the stored TempFilePath,
// owned by the active window. The dialog's result.
INT_PTR ShowWorkingDirectorySettings();

// Login without a usable directory: starts empty, owned by the active
// window. On OK, true with the chosen directory in `chosen`.
bool ChooseWorkingDirectory(std::string* chosen);

}  // namespace velmora
