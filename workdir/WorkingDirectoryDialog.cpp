#include "workdir/WorkingDirectoryDialog.h"

#include "common/Settings.h"
#include "common/Text.h"
#include "resources/resource.h"
#include "workdir/FileMigration.h"
#include "workdir/FolderBrowserDialog.h"

namespace velmora {
namespace {
constexpr char kTempFilePath[] = "TempFilePath";
}  // namespace

INT_PTR WorkingDirectoryDialog::Run(HWND owner) { return ModalDialog::Run(owner, IDD_WORKING_DIRECTORY); }

BOOL WorkingDirectoryDialog::OnInitDialog() {
  SetControlText(Window(), IDC_WORKDIR_PATH, current_);
  CentreWindow(Window());
  return TRUE;
}

void WorkingDirectoryDialog::Browse() {
  FolderBrowserDialog browser;
  if (browser.Run(Window()) != IDOK) return;
  previous_ = current_;
  current_ = browser.ResultPath() + "\\temp";
  SetControlText(Window(), IDC_WORKDIR_PATH, current_);
}

void WorkingDirectoryDialog::Accept() {
  if (current_.empty()) {
    ShowMessage(Window(), std::wstring(L"临时目录为空"), kCaptionSystemPrompt, MB_OK | MB_ICONINFORMATION);
    return;
  }
  if (current_ == previous_) {
    End(IDOK);
    return;
  }
  // Exact test: a neighbour such as temp.txt must not stop temp being made.
  if (!DirectoryExists(current_)) CreateDirectoryW(FileApiPath(current_).c_str(), nullptr);
  StoreSettingValue(kTempFilePath, current_);
  if (!previous_.empty() && PathExists(previous_)) {
    const std::wstring previous = ToWide(previous_);
    copying_ = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{copying_};
    const MigrationReport report = CopyCheckedOutFiles(previous, ToWide(current_), Window());
    // The new directory is already stored: what stayed behind must be told.
    if (!report.notMigrated.empty()) {
      ShowMessage(Window(), NotMigratedMessage(previous, report.notMigrated), kCaptionSystemPrompt,
                  MB_OK | MB_ICONINFORMATION);
    }
  }
  End(IDOK);
}

BOOL WorkingDirectoryDialog::OnCommand(int controlId, int) {
  // The window is disabled while the copy runs; a command that still comes
  // (posted, say) is dropped.
  if (copying_) return TRUE;
  switch (controlId) {
    case IDC_WORKDIR_BROWSE:
      Browse();
      return TRUE;
    case IDOK:
      Accept();
      return TRUE;
    case IDCANCEL:
      End(IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR ShowWorkingDirectorySettings() {
  WorkingDirectoryDialog dialog(ReadSettingValue(kTempFilePath));
  return dialog.Run(GetActiveWindow());
}

bool ChooseWorkingDirectory(std::string* chosen) {
  WorkingDirectoryDialog dialog;
  if (dialog.Run(GetActiveWindow()) != IDOK) return false;
  if (chosen) *chosen = dialog.CurrentChoice();
  return true;
}

}  // namespace velmora
