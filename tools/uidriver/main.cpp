// uidriver.exe: the driver for shell and script tests, one action per run.
//   uidriver wait CAPTION [TIMEOUT_MS] [CLASS]   prints the window handle
//   uidriver type CAPTION ID TEXT
//   uidriver read CAPTION ID                      prints the control's text
//   uidriver press CAPTION ID|LABEL
//   uidriver msgbox-text CAPTION                  prints text, buttons, icon
//   uidriver shot CAPTION OUT.bmp
// Windows are looked for up to 10 s (wait: TIMEOUT_MS), and a press waits as
// long for its button to be usable. Output is UTF-8.
// Exit status: 0 done, 1 window missing or action refused, 2 usage.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "tools/uidriver/UiDriver.h"

namespace {

using namespace velmora::ui;

constexpr DWORD kFindTimeoutMs = 10000;

void Print(const std::wstring& line) {
  std::wstring text = line + L"\n";
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string bytes(size > 0 ? size : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

bool IsNumber(const std::wstring& s) {
  if (s.empty()) return false;
  for (wchar_t c : s) {
    if (!std::iswdigit(c)) return false;
  }
  return true;
}

const wchar_t* IconName(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::None: return L"none";
    case MessageIcon::Information: return L"information";
    case MessageIcon::Question: return L"question";
    case MessageIcon::Warning: return L"warning";
    case MessageIcon::Error: return L"error";
    case MessageIcon::Other: return L"present";
  }
  return L"present";
}

int Run(const std::vector<std::wstring>& args) {
  if (args.size() < 3) return 2;
  const std::wstring& command = args[1];
  const std::wstring& caption = args[2];

  if (command == L"wait") {
    DWORD timeout = args.size() > 3 ? std::wcstoul(args[3].c_str(), nullptr, 10) : kFindTimeoutMs;
    HWND window = WaitForWindow(caption, timeout, args.size() > 4 ? args[4].c_str() : nullptr);
    if (!window) return 1;
    wchar_t handle[32];
    swprintf(handle, 32, L"%p", static_cast<void*>(window));
    Print(handle);
    return 0;
  }

  HWND window = WaitForWindow(caption, kFindTimeoutMs);
  if (!window) return 1;
  const int id = args.size() > 3 && IsNumber(args[3]) ? std::stoi(args[3]) : -1;

  if (command == L"type" && args.size() == 5 && id >= 0) {
    return TypeInto(window, id, args[4]) ? 0 : 1;
  }
  if (command == L"read" && args.size() == 4 && id >= 0) {
    Print(ReadText(window, id));
    return 0;
  }
  if (command == L"press" && args.size() == 4) {
    // A button may be briefly unusable (its window busy or behind a box
    // that is closing): it is tried for as long as a window is looked for.
    const ULONGLONG deadline = GetTickCount64() + kFindTimeoutMs;
    for (;;) {
      if (id >= 0 ? PressButton(window, id) : PressButtonByText(window, args[3])) return 0;
      if (GetTickCount64() >= deadline) break;
      Sleep(100);
    }
    HWND button = id >= 0 ? GetDlgItem(window, id) : FindButtonByText(window, args[3]);
    Print(!button                      ? L"no such button"
          : !IsWindowVisible(button)   ? L"the button is hidden"
          : !IsWindowEnabled(button)   ? L"the button is disabled"
                                       : L"its window is disabled (a box or dialog in front?)");
    return 1;
  }
  if (command == L"msgbox-text" && args.size() == 3) {
    std::optional<MessageBoxInfo> box = ReadMessageBox(window);
    if (!box) return 1;
    std::wstring buttons;
    for (const std::wstring& label : box->buttons) buttons += (buttons.empty() ? L"" : L"|") + label;
    Print(box->text);
    Print(L"buttons: " + buttons);
    Print(std::wstring(L"icon: ") + IconName(box->icon));
    return 0;
  }
  if (command == L"shot" && args.size() == 4) {
    return SaveWindowBitmap(window, args[3]) ? 0 : 1;
  }
  return 2;
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** raw = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!raw) return 2;
  std::vector<std::wstring> args(raw, raw + count);
  LocalFree(raw);
  int status = Run(args);
  if (status == 2) {
    Print(L"usage: uidriver wait|type|read|press|msgbox-text|shot CAPTION ...");
  }
  return status;
}
