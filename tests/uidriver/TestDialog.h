// A login-like dialog built in memory, for driving the driver against a real
// modal dialog: a name edit, a server combo, a digits-only code edit, a
// read-only edit, a disabled button, OK and Cancel.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

namespace velmora::ui::test {

inline const std::wstring kDialogCaption = L"系统 测试";
inline const std::wstring kEmptyNameCaption = L"系统";
inline const std::wstring kEmptyNameText = L"用户名不能为空！";

enum : int {
  kNameEdit = 1001,
  kServerCombo = 1002,
  kCodeEdit = 1003,  // digits only, at most kCodeLimit
  kNoteEdit = 1004,  // read-only
  kHelpButton = 1005,  // disabled
};
constexpr int kCodeLimit = 6;

// What the dialog procedure saw; counters are read while the dialog runs.
struct DialogRecord {
  std::atomic<int> nameChanges{0};
  std::atomic<int> selectionChanges{0};
  std::atomic<int> selectionSeen{-1};  // CB_GETCURSEL inside CBN_SELCHANGE
  // Copied from the controls on OK, just before EndDialog.
  std::wstring name;
  std::wstring code;
  int server = -1;
};

// Shows the dialog modally on the calling thread. OK with an empty name
// shows kEmptyNameText in a message box and keeps the dialog open.
INT_PTR ShowTestDialog(DialogRecord& record);

}  // namespace velmora::ui::test
