#include "tests/workdir/WorkdirTestSupport.h"

#include "common/Raii.h"
#include "common/Settings.h"
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

enum class Kind { kFile, kDirectory, kLink };

// Calls `visit(relative, kind)` for every entry below root, parents before
// children, without recursion (the trees may be very deep). Links are
// leaves: a loop must not be walked forever, nor a target removed through
// its link.
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
      const Kind kind = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? Kind::kLink
                        : (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? Kind::kDirectory
                                                                                : Kind::kFile;
      visit(child, kind);
      if (kind == Kind::kDirectory) pending.push_back(child);
    } while (FindNextFileW(search.get(), &found));
  }
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// The Unix path Wine maps a Windows path to; the last part need not exist.
std::wstring UnixPath(const std::wstring& path) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  auto toUnix = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
  if (!unix) return L"";
  std::wstring wide = ToWide(unix, CP_UTF8);
  HeapFree(GetProcessHeap(), 0, unix);
  return wide;
}

// Starts a Unix program under Wine. Wine cannot wait for it, so the caller
// polls for what it does.
bool StartUnixCommand(const std::wstring& commandLine) {
  std::wstring line = commandLine;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

bool Listed(const std::wstring& path) {
  WIN32_FIND_DATAW found{};
  UniqueFindHandle search(FindFirstFileW(LongPath(path).c_str(), &found));
  return search.valid();
}

template <typename Done>
bool PollUntil(Done done) {
  for (DWORD waited = 0; waited < kWaitMs; waited += 20) {
    if (done()) return true;
    Sleep(20);
  }
  return done();
}

void RemoveLink(const std::wstring& path) {
  if (RemoveDirectoryW(LongPath(path).c_str()) || DeleteFileW(LongPath(path).c_str())) return;
  if (UnderWine() && StartUnixCommand(L"/bin/rm -f \"" + UnixPath(path) + L"\"")) {
    PollUntil([&] { return !Listed(path); });
  }
}

}  // namespace

bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
  if (!UnderWine()) {
    return CreateSymbolicLinkW(link.c_str(), target.c_str(),
                               SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  }
  const std::wstring from = UnixPath(target), at = UnixPath(link);
  if (from.empty() || at.empty() || !StartUnixCommand(L"/bin/ln -s \"" + from + L"\" \"" + at + L"\"")) return false;
  return PollUntil([&] {
    const DWORD attributes = GetFileAttributesW(LongPath(link).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  });
}

std::map<std::wstring, std::string> ReadTree(const std::wstring& root) {
  std::map<std::wstring, std::string> tree;
  Walk(root, [&](const std::wstring& relative, Kind kind) {
    if (kind != Kind::kFile) {
      tree[relative] = kind == Kind::kLink ? "<link>" : "<dir>";
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
  // A link to the tree is removed, never walked.
  const DWORD attributes = GetFileAttributesW(LongPath(root).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    RemoveLink(root);
    return;
  }
  std::vector<std::wstring> dirs;
  Walk(root, [&](const std::wstring& relative, Kind kind) {
    const std::wstring path = root + L"\\" + relative;
    if (kind == Kind::kLink) {
      RemoveLink(path);
    } else if (kind == Kind::kDirectory) {
      dirs.push_back(LongPath(path));
    } else {
      SetFileAttributesW(LongPath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(LongPath(path).c_str());
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

namespace {

LONG OrdinaryUser(HKEY root, const char* path, REGSAM access, HKEY* key) {
  constexpr REGSAM kGranted = KEY_READ | KEY_SET_VALUE | KEY_WOW64_32KEY | KEY_WOW64_64KEY;
  if (access & ~kGranted) return ERROR_ACCESS_DENIED;
  return RegOpenKeyExA(root, path, 0, access, key);
}

LONG NoRights(HKEY, const char*, REGSAM, HKEY*) { return ERROR_ACCESS_DENIED; }

}  // namespace

KeyRightsScope::KeyRightsScope(Rights rights) { SetKeyOpenerForTests(rights == kNone ? NoRights : OrdinaryUser); }
KeyRightsScope::~KeyRightsScope() { SetKeyOpenerForTests(nullptr); }

}  // namespace velmora::test
