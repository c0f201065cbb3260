#include "tools/uidriver/UiDriver.h"

#include <chrono>
#include <future>
#include <initializer_list>
#include <thread>

namespace velmora::ui {

struct UiThread::State {
  std::promise<DWORD> idPromise;
  std::shared_future<DWORD> id = idPromise.get_future().share();
  std::promise<INT_PTR> resultPromise;
  std::shared_future<INT_PTR> result = resultPromise.get_future().share();
  std::thread thread;
};

namespace {

constexpr DWORD kDismissRoundMs = 300;
constexpr DWORD kDismissTimeoutMs = 10000;

BOOL CALLBACK AddShown(HWND window, LPARAM list) noexcept {
  try {
    if (IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

std::vector<HWND> ShownWindows(DWORD threadId) {
  std::vector<HWND> windows;
  EnumThreadWindows(threadId, AddShown, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

// One attempt at ending a window the way a person would give up on it.
void GiveUp(HWND window) {
  // Behind a modal box: that box goes first, and this one follows.
  if (!IsWindowEnabled(window)) return;
  for (int id : {IDCANCEL, IDNO, IDOK, IDABORT}) {
    if (PressButton(window, id)) return;
  }
  PostMessageW(window, WM_CLOSE, 0, 0);
}

}  // namespace

UiThread::UiThread(std::function<INT_PTR()> body) : state_(std::make_shared<State>()) {
  state_->thread = std::thread([state = state_, body = std::move(body)] {
    state->idPromise.set_value(GetCurrentThreadId());
    INT_PTR result = -1;
    try {
      result = body();
    } catch (...) {
      // A throwing body counts as a failed showing, not a dead process.
    }
    state->resultPromise.set_value(result);
  });
}

UiThread::~UiThread() {
  Dismiss(kDismissTimeoutMs);
  if (!state_->thread.joinable()) return;
  if (Wait(0)) {
    state_->thread.join();
  } else {
    // Still stuck: leave it to process exit rather than hang the test.
    state_->thread.detach();
  }
}

DWORD UiThread::ThreadId() const {
  return state_->id.get();
}

std::optional<INT_PTR> UiThread::Wait(DWORD timeoutMs) {
  if (state_->result.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
    return std::nullopt;
  }
  return state_->result.get();
}

bool UiThread::Dismiss(DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (Wait(0)) return true;
    for (HWND window : ShownWindows(ThreadId())) GiveUp(window);
    if (GetTickCount64() >= deadline) return Wait(0).has_value();
    Wait(kDismissRoundMs);
  }
}

std::optional<INT_PTR> UiThread::WaitAnswering(DWORD timeoutMs, const std::wstring& caption, int buttonId) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (std::optional<INT_PTR> result = Wait(100)) return result;
    if (HWND box = WaitForWindow(caption, 0, L"#32770", ThreadId())) AnswerMessageBox(box, buttonId);
    if (GetTickCount64() >= deadline) return Wait(0);
  }
}

}  // namespace velmora::ui
