// A modal folder picker over the shell namespace below the desktop. The tree
// is read lazily, one level when its item is first expanded, so opening it
// never walks the disks; each item owns its shell IDs and parent folder.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <string>

#include "common/DialogHelpers.h"
#include "common/Raii.h"

namespace velmora {

// One per tree item, deleted with it.
struct FolderItemData {
  Microsoft::WRL::ComPtr<IShellFolder> parentFolder;
  UniqueIdList relativeId;  // single level, relative to parentFolder
  UniqueIdList absoluteId;  // from the desktop
  bool filled = false;      // children enumerated (at most once)
};

class FolderBrowserDialog : public ModalDialog {
 public:
  // IDOK with ResultPath() set, or IDCANCEL.
  INT_PTR Run(HWND owner);
  // The chosen folder's file-system path without a trailing backslash
  // ("C:" for the root of drive C:); empty until OK succeeds.
  const std::string& ResultPath() const { return result_; }

 protected:
  BOOL OnInitDialog() override;
  BOOL OnCommand(int controlId, int notifyCode) override;
  BOOL OnNotify(NMHDR* header) override;

 private:
  HRESULT FillLevel(IShellFolder* folder, LPCITEMIDLIST parentAbsolute, HTREEITEM parent);
  // The notification's answer: non-zero stops the expansion.
  LRESULT Expand(HTREEITEM item, FolderItemData* data);
  void Accept();
  FolderItemData* DataOf(HTREEITEM item) const;

  HWND tree_ = nullptr;
  std::string result_;
};

}  // namespace velmora
