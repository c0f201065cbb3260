#include "common/DialogHelpers.h"

#include <algorithm>
#include <utility>

#include "common/Barrier.h"
#include "common/Centring.h"
#include "common/Text.h"
#include "common/Trace.h"
#include "common/Module.h"

namespace velmora {

const wchar_t kCaptionSystemPrompt[] = L"系统提示";
const wchar_t kCaptionSystem[] = L"系统";

// Every message box of the control passes here; the trace notes it as it
// shows.
int ShowMessage(HWND owner, const std::wstring& text, const wchar_t* caption, UINT type) {
  trace::Event("box", [&](std::string& d) {
    std::string utf8;
    trace::AppendUtf8(utf8, caption ? caption : L"");
    d = "caption=";
    trace::AppendQuoted(d, utf8);
    utf8.clear();
    trace::AppendUtf8(utf8, text);
    d += " text=";
    trace::AppendQuoted(d, utf8);
  });
  return MessageBoxW(owner, text.c_str(), caption, type);
}

int ShowMessage(HWND owner, const std::string& text, const wchar_t* caption, UINT type) {
  return ShowMessage(owner, ToWide(text), caption, type);
}

WaitCursor::WaitCursor() : previous_(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}

WaitCursor& WaitCursor::operator=(WaitCursor&& other) noexcept {
  if (this != &other) {
    Restore();
    previous_ = std::exchange(other.previous_, std::nullopt);
  }
  return *this;
}

void WaitCursor::Restore() {
  if (previous_) SetCursor(*std::exchange(previous_, std::nullopt));
}

void SetControlText(HWND dialog, int controlId, const std::string& text) {
  SetDlgItemTextW(dialog, controlId, ToWide(text).c_str());
}

std::string GetControlText(HWND dialog, int controlId) {
  HWND control = GetDlgItem(dialog, controlId);
  if (!control) return {};
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  int n = GetWindowTextW(control, &text[0], static_cast<int>(text.size()));
  return ToMultiByte(text.data(), n);
}

SecretText GetSecretControlText(HWND dialog, int controlId) {
  HWND control = GetDlgItem(dialog, controlId);
  if (!control) return {};
  const int length = GetWindowTextLengthW(control);
  if (length <= 0) return {};
  SecretWideText text;
  wchar_t* buffer = text.Overwrite(static_cast<size_t>(length) + 1);
  const int n = GetWindowTextW(control, buffer, length + 1);
  return ToSecretMultiByte(buffer, n);
}

namespace {

// A password edit keeps its text in a buffer of its own until it is
// destroyed, and frees it unwiped. The text is overwritten in place, a
// piece at a time from a buffer on the stack (no allocation that could
// fail), then the edit is emptied. Called by user32: throws nothing.
BOOL CALLBACK WipePasswordEdit(HWND child, LPARAM) noexcept {
  wchar_t className[8] = {};
  if (!GetClassNameW(child, className, 8) || lstrcmpiW(className, L"Edit") != 0) return TRUE;
  if (!(GetWindowLongW(child, GWL_STYLE) & ES_PASSWORD)) return TRUE;
  constexpr int kPiece = 64;
  wchar_t filler[kPiece + 1];
  const int length = GetWindowTextLengthW(child);
  for (int at = 0; at < length; at += kPiece) {
    const int n = std::min(kPiece, length - at);
    std::fill_n(filler, n, L'*');
    filler[n] = L'\0';
    SendMessageW(child, EM_SETSEL, static_cast<WPARAM>(at), static_cast<LPARAM>(at + n));
    SendMessageW(child, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(filler));
  }
  SendMessageW(child, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  SendMessageW(child, EM_EMPTYUNDOBUFFER, 0, 0);
  return TRUE;
}

Box ToBox(const RECT& r) { return Box{r.left, r.top, r.right, r.bottom}; }
}  // namespace

void CentreWindow(HWND window) {
  RECT own{};
  if (!GetWindowRect(window, &own)) return;
  HWND owner = GetWindow(window, GW_OWNER);
  RECT anchor{};
  const bool useOwner = owner && IsWindowVisible(owner) && !IsIconic(owner) && GetWindowRect(owner, &anchor);

  // The work area of the monitor the anchor is on.
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  HMONITOR screen = useOwner ? MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST)
                             : MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY);
  RECT work{};
  if (screen && GetMonitorInfoW(screen, &monitor)) {
    work = monitor.rcWork;
  } else {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  }
  const Box ownerBox = ToBox(anchor);
  Box placed = CentreDialog(ToBox(own), useOwner ? &ownerBox : nullptr, ToBox(work));
  SetWindowPos(window, nullptr, placed.left, placed.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR ModalDialog::Run(HWND owner, int templateId) {
  const INT_PTR result = DialogBoxParamW(ModuleHandle(), MAKEINTRESOURCEW(templateId), owner,
                                         &ModalDialog::Procedure, reinterpret_cast<LPARAM>(this));
  if (fault_) std::rethrow_exception(std::exchange(fault_, nullptr));
  return result;
}

INT_PTR CALLBACK ModalDialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<ModalDialog*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
    self->window_ = window;
  }
  auto* self = reinterpret_cast<ModalDialog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return FALSE;
  INT_PTR answer = FALSE;
  std::exception_ptr fault;
  const HRESULT hr = Barrier(
      [&] {
        answer = self->Dispatch(message, wParam, lParam);
        return S_OK;
      },
      &fault);
  if (SUCCEEDED(hr)) return answer;
  // Unhandled, as far as the dialog manager knows; the dialog ends as if
  // cancelled, and Run raises the first fault again once it is out of the
  // system's frames.
  if (!self->fault_) self->fault_ = fault;
  EndDialog(window, IDCANCEL);
  return FALSE;
}

INT_PTR ModalDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      return OnCommand(LOWORD(wParam), HIWORD(wParam));
    case WM_NOTIFY:
      return OnNotify(reinterpret_cast<NMHDR*>(lParam));
    case WM_CLOSE:  // the close box
      End(IDCANCEL);
      return TRUE;
    case WM_DESTROY:  // the children still exist
      EnumChildWindows(window_, &WipePasswordEdit, 0);
      return OnMessage(message, wParam, lParam);
    case WM_NCDESTROY:
      SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
      window_ = nullptr;
      return FALSE;
    default:
      return OnMessage(message, wParam, lParam);
  }
}

}  // namespace velmora
