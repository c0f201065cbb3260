// The progress window of a long migration: files and bytes done of the
// total, the file being copied, and Cancel. The copy stays on the dialog's
// thread; while it runs, this pumps the thread's messages, keeps the
// owning dialog disabled so nothing in it can be pressed twice, and shows
// the (modeless) window only once the copy has lasted kProgressDelayMs, so
// a short migration shows no flicker of it.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

#include "workdir/FileMigration.h"

namespace velmora {

class MigrationProgressWindow : public MigrationProgress {
 public:
  // Disables `owner` (may be null) and starts the clock.
  explicit MigrationProgressWindow(HWND owner, unsigned delayMs = kProgressDelayMs);
  // Destroys the window and gives the owner back its input.
  ~MigrationProgressWindow() override;
  MigrationProgressWindow(const MigrationProgressWindow&) = delete;
  MigrationProgressWindow& operator=(const MigrationProgressWindow&) = delete;

  void Update(const MigrationCounts& counts, const std::wstring& current) override;
  bool Cancelled() override { return cancelled_; }

  HWND Window() const { return window_; }

  // How many progress windows this process has shown, for the tests that
  // make sure a short migration shows none.
  static long WindowsShown();

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
  static void CALLBACK OnTimer(HWND, UINT, UINT_PTR id, DWORD) noexcept;
  void Show();
  void Pump();
  void Refresh();

  HWND owner_;
  bool disabledOwner_ = false;
  HWND window_ = nullptr;
  UINT_PTR timer_ = 0;
  bool cancelled_ = false;
  MigrationCounts counts_;
  std::wstring current_;
  ULONGLONG lastPump_ = 0, lastRefresh_ = 0;
  std::exception_ptr fault_;  // from a handler the system called
};

}  // namespace velmora
