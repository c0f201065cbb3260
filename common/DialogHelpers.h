// What every dialog of the control needs: a modal dialog whose procedure
// reaches its C++ object through GWLP_USERDATA and lets no exception out,
// message boxes with the system's captions, control texts in the thread's
// ANSI code page, and the centring rule.
#pragma once

#include <windows.h>

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "common/SecretText.h"

namespace velmora {

// Captions of the control's message boxes.
extern const wchar_t kCaptionSystemPrompt[];  // "系统提示": login flow, working directory, migration
extern const wchar_t kCaptionSystem[];        // "系统": login and password dialogs

// Message box owned by `owner` (may be null); the text is multibyte.
int ShowMessage(HWND owner, const std::string& text, const wchar_t* caption, UINT type);
int ShowMessage(HWND owner, const std::wstring& text, const wchar_t* caption, UINT type);

// Control texts as the object's multibyte text.
void SetControlText(HWND dialog, int controlId, const std::string& text);
std::string GetControlText(HWND dialog, int controlId);
// A password edit's text, with no plain copy left on the way.
SecretText GetSecretControlText(HWND dialog, int controlId);

// The wait cursor from construction on; the cursor shown before comes back
// when the owner goes, on every way out. It moves, so a wait begun in a
// dialog's handler can last past the dialog; what it moved from shows and
// restores nothing.
class WaitCursor {
 public:
  WaitCursor();
  WaitCursor(WaitCursor&& other) noexcept : previous_(std::exchange(other.previous_, std::nullopt)) {}
  WaitCursor& operator=(WaitCursor&& other) noexcept;
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
  ~WaitCursor() { Restore(); }

  // Brings the previous cursor back now; the owner then restores nothing.
  void Restore();

 private:
  std::optional<HCURSOR> previous_;  // may be no cursor at all
};

// Centres on the owner, or on the work area when the owner is missing,
// hidden or minimised; then keeps the window inside the work area.
void CentreWindow(HWND window);

// A modal dialog from a template of the module that holds this code.
// Handlers return TRUE when they dealt with the message.
class ModalDialog {
 public:
  ModalDialog() = default;
  ModalDialog(const ModalDialog&) = delete;
  ModalDialog& operator=(const ModalDialog&) = delete;
  virtual ~ModalDialog() = default;

  // IDOK, IDCANCEL, or -1 when the dialog could not be created. A handler
  // that throws ends the dialog as if cancelled (no exception may pass
  // through the system's dialog code); Run then throws that exception to
  // its caller, so a fault never reads as the user's Cancel.
  INT_PTR Run(HWND owner, int templateId);
  HWND Window() const { return window_; }

 protected:
  virtual BOOL OnInitDialog() { return TRUE; }
  virtual BOOL OnCommand(int controlId, int notifyCode) = 0;
  // Sets the dialog's result (DWLP_MSGRESULT) and returns TRUE when handled.
  virtual BOOL OnNotify(NMHDR* header) { (void)header; return FALSE; }
  // Any other message (painting, mouse); TRUE when handled.
  virtual BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    (void)message, (void)wParam, (void)lParam;
    return FALSE;
  }
  void End(INT_PTR result) { EndDialog(window_, result); }

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
  HWND window_ = nullptr;
  std::exception_ptr fault_;
};

}  // namespace velmora
