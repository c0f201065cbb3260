#include "tests/workdir/WorkdirTestSupport.h"

#include "common/Raii.h"
#include "common/Text.h"
#include "tools/uidriver/UiDriver.h"

namespace velmora::test {

std::wstring LongPath(const std::wstring& path) {
  return path.compare(0, 4, L"\\\\?\\") == 0 ? path : L"\\\\?\\" + path;
}

std::string Mb(const std::wstring& text) { return ToMultiByte(text.data(), static_cast<int>(text.size())); }

std::wstring FreshDirectory(const std::wstring& tag) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  std::wstring dir = std::wstring(temp) + L"velmora-" + tag;
  RemoveTree(dir);
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

void MakeTree(const std::wstring& root, const std::vector<std::pair<std::wstring, std::string>>& entries) {
  for (const auto& [relative, text] : entries) {
    std::wstring path = LongPath(root + L"\\" + relative);
    if (path.back() == L'\\') {
      path.pop_back();
      CreateDirectoryW(path.c_str(), nullptr);
      continue;
    }
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

namespace {

// Calls `visit(relative, isDirectory)` for every entry below root, parents
// before children, without recursion (the trees may be very deep).
template <typename Visit>
void Walk(const std::wstring& root, Visit visit) {
  std::vector<std::wstring> pending{L""};
  while (!pending.empty()) {
    std::wstring relative = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAW found{};
    std::wstring base = relative.empty() ? root : root + L"\\" + relative;
    UniqueFindHandle search(FindFirstFileW(LongPath(base + L"\\*").c_str(), &found));
    if (!search) continue;
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = relative.empty() ? name : relative + L"\\" + name;
      const bool dir = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      visit(child, dir);
      if (dir) pending.push_back(child);
    } while (FindNextFileW(search.get(), &found));
  }
}

}  // namespace

std::map<std::wstring, std::string> ReadTree(const std::wstring& root) {
  std::map<std::wstring, std::string> tree;
  Walk(root, [&](const std::wstring& relative, bool dir) {
    if (dir) {
      tree[relative] = "<dir>";
      return;
    }
    std::string text(4096, '\0');
    DWORD read = 0;
    UniqueFile file(CreateFileW(LongPath(root + L"\\" + relative).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (file) ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
    text.resize(read);
    tree[relative] = text;
  });
  return tree;
}

void RemoveTree(const std::wstring& root) {
  std::vector<std::wstring> dirs;
  Walk(root, [&](const std::wstring& relative, bool dir) {
    const std::wstring path = LongPath(root + L"\\" + relative);
    if (dir) {
      dirs.push_back(path);
    } else {
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(path.c_str());
    }
  });
  // Parents were found before their children: remove the other way round.
  for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) RemoveDirectoryW(it->c_str());
  RemoveDirectoryW(LongPath(root).c_str());
}

namespace {
UniqueHkey SorvikKey() {
  UniqueHkey key;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sorvik", 0, KEY_ALL_ACCESS, key.put());
  return key;
}
}  // namespace

void SetTempFilePath(DWORD type, const std::string& bytes) {
  UniqueHkey key = SorvikKey();
  RegSetValueExA(key.get(), "TempFilePath", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                 static_cast<DWORD>(bytes.size()));
}

void DeleteTempFilePath() {
  UniqueHkey key = SorvikKey();
  RegDeleteValueA(key.get(), "TempFilePath");
}

std::optional<std::string> StoredTempFilePath() {
  UniqueHkey key = SorvikKey();
  char buffer[1024] = {};
  DWORD type = 0;
  DWORD size = sizeof(buffer) - 1;
  if (RegQueryValueExA(key.get(), "TempFilePath", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::nullopt;
  }
  return std::string(buffer);
}

std::pair<HTREEITEM, HTREEITEM> FindComputerAndDriveC(HWND tree) {
  for (const auto& [root, label] : ui::TreeChildren(tree, nullptr)) {
    ui::ExpandTreeItem(tree, root);
    for (const auto& [child, name] : ui::TreeChildren(tree, root)) {
      if (name.find(L"C:") != std::wstring::npos) return {root, child};
    }
  }
  return {nullptr, nullptr};
}

bool SelectFolderOnC(HWND tree, const std::vector<std::wstring>& folders) {
  HTREEITEM item = FindComputerAndDriveC(tree).second;
  for (const std::wstring& name : folders) {
    if (!item) return false;
    ui::ExpandTreeItem(tree, item);
    item = ui::FindTreeChild(tree, item, name);
  }
  return item && ui::SelectTreeItem(tree, item);
}

}  // namespace velmora::test
