#include "workdir/FileMigration.h"

#include <vector>

#include "common/DialogHelpers.h"
#include "common/Raii.h"
#include "common/Text.h"
#include "workdir/MigrationPlan.h"

namespace velmora {
namespace {

std::wstring LongForm(std::wstring path) {
  if (path.size() < MAX_PATH - 12 || path.compare(0, 4, L"\\\\?\\") == 0) return path;
  if (path.size() > 2 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return path;  // relative: left to the system's own limit
}

class Win32FileSystem : public MigrationFileSystem {
 public:
  std::vector<DirEntry> List(const std::string& directory) override {
    std::vector<DirEntry> entries;
    WIN32_FIND_DATAW found{};
    UniqueFindHandle search(FindFirstFileW(FileApiPath(directory + "\\*.*").c_str(), &found));
    if (!search) return entries;
    do {
      entries.push_back(DirEntry{ToMultiByte(found.cFileName, static_cast<int>(wcslen(found.cFileName))),
                                 (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(search.get(), &found));
    return entries;
  }
  bool IsDirectory(const std::string& path) override { return DirectoryExists(path); }
  bool Exists(const std::string& path) override {
    return GetFileAttributesW(FileApiPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
};

}  // namespace

std::wstring FileApiPath(const std::string& path) { return LongForm(ToWide(path)); }

bool PathExists(const std::string& path) {
  if (path.empty()) return false;
  WIN32_FIND_DATAW found{};
  UniqueFindHandle search(FindFirstFileW(FileApiPath(path + "*").c_str(), &found));
  return search.valid();
}

bool DirectoryExists(const std::string& path) {
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesW(FileApiPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void CopyCheckedOutFiles(const std::string& source, const std::string& destination, int depth, HWND owner) {
  Win32FileSystem fs;
  for (const MigrationStep& step : PlanMigration(source, destination, fs, depth)) {
    const std::wstring to = FileApiPath(step.destination);
    if (step.kind == MigrationStep::kCreateDirectory) {
      CreateDirectoryW(to.c_str(), nullptr);
      continue;
    }
    if (step.kind == MigrationStep::kAskThenCopy) {
      const std::wstring question =
          ToWide(step.destination) + L"下目录已经有" + ToWide(step.name) + L"文件\n是否替换！";
      if (ShowMessage(owner, question, kCaptionSystemPrompt, MB_YESNO | MB_ICONINFORMATION) == IDYES) {
        DeleteFileW(to.c_str());
      }
    }
    // Fail-if-exists: after No the file already there stays untouched.
    CopyFileW(FileApiPath(step.source).c_str(), to.c_str(), TRUE);
  }
}

}  // namespace velmora
