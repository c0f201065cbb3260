// Drives real Win32 dialogs and message boxes from a test: finds windows by
// caption, types into edits, presses buttons, picks combo items, reads what
// a message box says, and captures windows as pictures.
//
// The driver always runs on a thread other than the one showing the window
// (another thread of the test, or another process). Two rules keep it from
// ever waiting on a window forever:
//  - Presses are posted (BM_CLICK in the window's queue, as a click would
//    arrive), so a handler that opens a modal box does not hold the driver.
//  - Everything else is sent with SendMessageTimeout and kReplyTimeoutMs, so
//    it has finished when the call returns, and a hung window is a failure.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmora::ui {

// Longest wait for a window to answer one sent message.
constexpr DWORD kReplyTimeoutMs = 5000;

// Visible top-level window whose caption is exactly `caption` (and whose
// class is `className`, when given; L"#32770" for dialogs and message
// boxes), polled until `timeoutMs` passes. nullptr on timeout. A nonzero
// `threadId` looks only at that thread's windows, so another program on
// the same display showing the same caption is not taken for it.
HWND WaitForWindow(const std::wstring& caption, DWORD timeoutMs,
                   const wchar_t* className = nullptr, DWORD threadId = 0);

// True once `window` has been destroyed (not merely hidden), within timeoutMs.
bool WaitForWindowGone(HWND window, DWORD timeoutMs);

// Text of any window (caption, control text); empty when it does not answer.
std::wstring WindowText(HWND window);

// Replaces an edit's contents the way typing them would end up: the edit
// gets the focus (WM_NEXTDLGCTL to its dialog), all of its text is selected
// and replaced with EM_REPLACESEL. The edit itself then honours its length
// limit and notifies its parent (EN_UPDATE, EN_CHANGE) as it does for typing.
// False when the edit, or the window it sits in, is disabled or read-only.
bool TypeInto(HWND dialog, int controlId, const std::wstring& text);
bool TypeInto(HWND edit, const std::wstring& text);

// Types `text` one character at a time (WM_CHAR), after the edit got the
// focus; the edit's own filters (ES_NUMBER, length limit) apply per key.
// Existing text is kept; the caret is put at its end first.
bool TypeKeys(HWND dialog, int controlId, const std::wstring& text);

std::wstring ReadText(HWND dialog, int controlId);

// Posts BM_CLICK to the button, so its dialog gets WM_COMMAND/BN_CLICKED
// through the ordinary path; returns once the click is queued. False when
// the button is missing, hidden or disabled, or its window is disabled
// (for instance behind a message box): a person could not press it either.
bool PressButton(HWND dialog, int controlId);

// The same, for the button whose label matches `text`: '&' accelerator
// marks are ignored, and so is a trailing "(&Y)"-style accelerator, so
// L"是", L"是(Y)" and L"是(&Y)" all find "是(&Y)".
bool PressButtonByText(HWND dialog, const std::wstring& text);
HWND FindButtonByText(HWND dialog, const std::wstring& text);

// Label as compared by PressButtonByText.
std::wstring NormalizeLabel(const std::wstring& label);

// Selects item `index` and sends the dialog CBN_SELCHANGE, as the combo box
// does when a person picks an item; done when the call returns.
bool SelectComboItem(HWND dialog, int controlId, int index);
std::vector<std::wstring> ComboItems(HWND dialog, int controlId);
// Index of the selected item; -1 when none is selected or the combo is gone.
int ComboSelection(HWND dialog, int controlId);

// Tree views, through the same messages a person's clicks cause: the items
// under `parent` (null: the root items) with their labels, in tree order;
// TVM_EXPAND with `action`, which notifies the dialog of a first
// expansion; selecting an item (null clears the selection).
std::vector<std::pair<HTREEITEM, std::wstring>> TreeChildren(HWND tree, HTREEITEM parent);
HTREEITEM FindTreeChild(HWND tree, HTREEITEM parent, const std::wstring& text);
bool ExpandTreeItem(HWND tree, HTREEITEM item, UINT action = TVE_EXPAND);
bool TreeItemExpanded(HWND tree, HTREEITEM item);
bool SelectTreeItem(HWND tree, HTREEITEM item);
HTREEITEM SelectedTreeItem(HWND tree);

enum class MessageIcon { None, Information, Question, Warning, Error, Other };

struct MessageBoxInfo {
  HWND hwnd = nullptr;
  std::wstring caption;
  std::wstring text;
  std::vector<std::wstring> buttons;  // labels as shown, left to right
  std::vector<int> buttonIds;         // IDOK, IDYES, ... in the same order
  bool hasIcon = false;
  // Which standard icon, when the box runs in this process; a box in
  // another process shows a handle this process cannot compare: Other.
  MessageIcon icon = MessageIcon::None;
};

std::optional<MessageBoxInfo> WaitForMessageBox(const std::wstring& caption, DWORD timeoutMs,
                                                DWORD threadId = 0);
std::optional<MessageBoxInfo> ReadMessageBox(HWND box);

// Presses the box's button with that id (IDOK, IDYES, IDNO, IDCANCEL...).
bool AnswerMessageBox(HWND box, int buttonId);

// Captures the window, frame included, into a 24-bit BMP file.
bool SaveWindowBitmap(HWND window, const std::wstring& bmpPath);

// Runs `body` (typically a call that shows a modal dialog) on its own
// thread. Destroying it while the thread still shows windows closes them
// (WM_CLOSE, then Cancel/No/OK) before joining, so a test that failed half
// way still ends its dialogs and its process can exit.
class UiThread {
 public:
  explicit UiThread(std::function<INT_PTR()> body);
  UiThread(const UiThread&) = delete;
  UiThread& operator=(const UiThread&) = delete;
  ~UiThread();

  DWORD ThreadId() const;
  // The body's result once it has returned within timeoutMs.
  std::optional<INT_PTR> Wait(DWORD timeoutMs);
  // The same, answering on the way each message box of `caption` that the
  // thread shows with `buttonId`: for a notice that depends on the machine
  // (a low-disk warning) and may come at any moment, or not at all.
  std::optional<INT_PTR> WaitAnswering(DWORD timeoutMs, const std::wstring& caption, int buttonId);
  // Closes whatever the thread still shows, waits for the body to return.
  bool Dismiss(DWORD timeoutMs);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace velmora::ui
