// uidriver_sample.exe: shows a window for uidriver.exe to drive from
// another process, and reports how it ended.
//   uidriver_sample dialog   the test dialog; on OK prints the name (UTF-8)
//   uidriver_sample yesno    a question box
// The exit status is the dialog's or box's result.
#include <windows.h>

#include <string>

#include "tests/uidriver/TestDialog.h"

using velmora::ui::test::DialogRecord;

int main() {
  const std::wstring commandLine = GetCommandLineW();
  const bool yesNo = commandLine.size() >= 5 && commandLine.compare(commandLine.size() - 5, 5, L"yesno") == 0;
  if (yesNo) return MessageBoxW(nullptr, L"是否保存修改？", L"系统 询问", MB_YESNO | MB_ICONQUESTION);

  DialogRecord record;
  INT_PTR result = velmora::ui::test::ShowTestDialog(record);
  std::string name(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, record.name.c_str(), -1, nullptr, 0,
                                                           nullptr, nullptr)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, record.name.c_str(), -1, name.data(), static_cast<int>(name.size()),
                      nullptr, nullptr);
  name.back() = '\n';
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), name.data(), static_cast<DWORD>(name.size()), &written, nullptr);
  return static_cast<int>(result);
}
