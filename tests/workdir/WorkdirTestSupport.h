// Shared by the working-directory tests: real directory trees in the Wine
// prefix, the TempFilePath value, and tree-view steps for the driver.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmora::test {

constexpr DWORD kWaitMs = 10000;

// A fresh, empty directory under the temporary directory.
std::wstring FreshDirectory(const std::wstring& tag);

// Relative paths; a trailing backslash makes a directory, anything else a
// file holding the given text.
void MakeTree(const std::wstring& root, const std::vector<std::pair<std::wstring, std::string>>& entries);
// Relative path -> file text ("<dir>" for a directory, "<link>" for a
// junction or symbolic link, not followed); empty when missing.
std::map<std::wstring, std::string> ReadTree(const std::wstring& root);
// Removes links, never what they point to.
void RemoveTree(const std::wstring& root);
// A link at `link` to the directory `target` (full paths): a directory
// symbolic link on Windows. Wine 8 makes neither junctions nor symbolic
// links; there a Unix symbolic link stands in, which Wine shows as a
// reparse point the way Windows shows a junction. False when it fails.
bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target);
std::wstring LongPath(const std::wstring& path);

std::string Mb(const std::wstring& text);

// HKLM\SOFTWARE\Sorvik\TempFilePath.
void SetTempFilePath(DWORD type, const std::string& bytes);
void DeleteTempFilePath();
std::optional<std::string> StoredTempFilePath();  // REG_SZ text only

// Registry rights as Windows enforces them on the installed settings key
// (Wine enforces none): an ordinary user's, reading and setting values
// only, and none at all. While one lives, every key the settings helpers
// open goes through it.
class KeyRightsScope {
 public:
  enum Rights { kOrdinaryUser, kNone };
  explicit KeyRightsScope(Rights rights);
  ~KeyRightsScope();
  KeyRightsScope(const KeyRightsScope&) = delete;
  KeyRightsScope& operator=(const KeyRightsScope&) = delete;
};

// The root item that lists drive C: (the computer), and that drive's item.
std::pair<HTREEITEM, HTREEITEM> FindComputerAndDriveC(HWND tree);
// Expands the computer, C: and each name in `folders`, selecting the last.
bool SelectFolderOnC(HWND tree, const std::vector<std::wstring>& folders);

}  // namespace velmora::test
