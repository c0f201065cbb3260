#include "workdir/MigrationProgressWindow.h"

#include <commctrl.h>

#include <atomic>
#include <utility>

#include "common/DialogHelpers.h"
#include "common/Module.h"
#include "resources/resource.h"

namespace velmora {
namespace {

// Between pumps the copy runs on; often enough for the window to answer.
constexpr ULONGLONG kPumpEveryMs = 40;
constexpr ULONGLONG kRefreshEveryMs = 100;

std::atomic<long> g_windowsShown{0};

// The thread's migration whose timer is running: a thread timer's
// procedure has no other way back to it, and one thread runs one
// migration at a time.
thread_local MigrationProgressWindow* t_active = nullptr;

}  // namespace

MigrationProgressWindow::MigrationProgressWindow(HWND owner, unsigned delayMs) : owner_(owner) {
  // The owner's buttons must not run a second migration, nor close the
  // dialog under this one, while messages are pumped.
  if (owner_ && IsWindowEnabled(owner_)) disabledOwner_ = !EnableWindow(owner_, FALSE);
  // A thread timer fires in any message loop of the thread, a replace
  // question's included.
  t_active = this;
  timer_ = SetTimer(nullptr, 0, delayMs, &MigrationProgressWindow::OnTimer);
  lastPump_ = GetTickCount64();
}

MigrationProgressWindow::~MigrationProgressWindow() {
  if (timer_) KillTimer(nullptr, timer_);
  if (t_active == this) t_active = nullptr;
  // The owner first, so that activation goes back to it and not elsewhere.
  if (disabledOwner_) EnableWindow(owner_, TRUE);
  if (window_) DestroyWindow(window_);
}

long MigrationProgressWindow::WindowsShown() { return g_windowsShown.load(); }

void MigrationProgressWindow::Update(const MigrationCounts& counts, const std::wstring& current) {
  if (fault_) std::rethrow_exception(std::exchange(fault_, nullptr));
  // Kept each time: the window may come up in any message loop, and must
  // show where the copy is then.
  counts_ = counts;
  current_ = current;
  const ULONGLONG now = GetTickCount64();
  if (now - lastPump_ < kPumpEveryMs) return;
  lastPump_ = now;
  if (window_ && now - lastRefresh_ >= kRefreshEveryMs) {
    lastRefresh_ = now;
    Refresh();
  }
  Pump();
  if (fault_) std::rethrow_exception(std::exchange(fault_, nullptr));
}

void MigrationProgressWindow::Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // For the loop that waits for it; the migration stops.
      PostQuitMessage(static_cast<int>(message.wParam));
      cancelled_ = true;
      return;
    }
    if (window_ && IsDialogMessageW(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void MigrationProgressWindow::OnTimer(HWND, UINT, UINT_PTR id, DWORD) noexcept {
  MigrationProgressWindow* self = t_active;
  if (!self || id != self->timer_) return;
  KillTimer(nullptr, id);
  self->timer_ = 0;
  try {
    self->Show();
  } catch (...) {
    // Raised again by the migration's next update, outside user32.
    self->fault_ = std::current_exception();
  }
}

void MigrationProgressWindow::Show() {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  window_ = CreateDialogParamW(ModuleHandle(), MAKEINTRESOURCEW(IDD_MIGRATION_PROGRESS), owner_,
                               &MigrationProgressWindow::Procedure, reinterpret_cast<LPARAM>(this));
  if (!window_) return;  // the copy goes on without it
  ++g_windowsShown;
  SendDlgItemMessageW(window_, IDC_MIGRATION_BAR, PBM_SETRANGE32, 0, 1000);
  Refresh();
  CentreWindow(window_);
  // A replace question that is open stays in front and keeps the focus.
  HWND active = GetActiveWindow();
  if (active && active != owner_) {
    SetWindowPos(window_, active, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
  } else {
    ShowWindow(window_, SW_SHOW);
  }
}

void MigrationProgressWindow::Refresh() {
  SetDlgItemTextW(window_, IDC_MIGRATION_COUNTS, ProgressText(counts_).c_str());
  SetDlgItemTextW(window_, IDC_MIGRATION_FILE, current_.c_str());
  SendDlgItemMessageW(window_, IDC_MIGRATION_BAR, PBM_SETPOS, static_cast<WPARAM>(ProgressPermille(counts_)), 0);
}

INT_PTR CALLBACK MigrationProgressWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
    return TRUE;
  }
  auto* self = reinterpret_cast<MigrationProgressWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return FALSE;
  const bool cancel = (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) || message == WM_CLOSE;
  if (!cancel) return FALSE;
  // Stops between files; the window stays until the migration ends.
  self->cancelled_ = true;
  EnableWindow(GetDlgItem(window, IDCANCEL), FALSE);
  return TRUE;
}

}  // namespace velmora
