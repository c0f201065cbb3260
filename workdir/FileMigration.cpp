#include "workdir/FileMigration.h"

#include <vector>

#include "common/DialogHelpers.h"
#include "common/Raii.h"
#include "common/Text.h"

namespace velmora {
namespace {

std::wstring LongForm(std::wstring path) {
  if (path.size() < MAX_PATH - 12 || path.compare(0, 4, L"\\\\?\\") == 0) return path;
  if (path.size() > 2 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return path;  // relative: left to the system's own limit
}

// Junctions and symbolic links are name surrogates; other reparse points
// (cloud placeholders, deduplicated files) stand for the file itself and
// are copied. Wine shows a Unix symbolic link with no tag at all.
bool IsLink(const WIN32_FIND_DATAW& found) {
  if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  return found.dwReserved0 == 0 || IsReparseTagNameSurrogate(found.dwReserved0);
}

class Win32FileSystem : public MigrationFileSystem {
 public:
  std::optional<std::vector<DirEntry>> List(const std::wstring& directory) override {
    std::vector<DirEntry> entries;
    WIN32_FIND_DATAW found{};
    UniqueFindHandle search(FindFirstFileW(FileApiPath(directory + L"\\*.*").c_str(), &found));
    if (!search) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return entries;
      return std::nullopt;
    }
    do {
      entries.push_back(DirEntry{found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                 IsLink(found)});
    } while (FindNextFileW(search.get(), &found));
    return entries;
  }
  bool IsDirectory(const std::wstring& path) override {
    const DWORD attributes = GetFileAttributesW(FileApiPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
};

// A file we made under a temporary name; deleted unless handed on.
struct StagedFileTraits {
  static std::wstring invalid() { return {}; }
  static void close(const std::wstring& path) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only source made it read-only
    DeleteFileW(path.c_str());
  }
};
using UniqueStagedFile = UniqueHandleT<std::wstring, StagedFileTraits>;

// Size and time of last write first: they are cheap, and one entry always
// agrees with itself, while the identity costs a volume query per file.
bool SameFile(const std::wstring& a, const std::wstring& b) {
  WIN32_FILE_ATTRIBUTE_DATA x{}, y{};
  if (GetFileAttributesExW(a.c_str(), GetFileExInfoStandard, &x) &&
      GetFileAttributesExW(b.c_str(), GetFileExInfoStandard, &y) &&
      (x.nFileSizeLow != y.nFileSizeLow || x.nFileSizeHigh != y.nFileSizeHigh ||
       CompareFileTime(&x.ftLastWriteTime, &y.ftLastWriteTime) != 0)) {
    return false;
  }
  return SameEntry(IdentityOf(a), IdentityOf(b));
}

class Migration {
 public:
  explicit Migration(const ReplaceQuestion& ask) : ask_(ask) {}

  // False when the file stayed behind; a file the user kept is not that.
  bool MoveInto(const MigrationStep& step) {
    const std::wstring from = FileApiPath(step.source);
    const std::wstring to = FileApiPath(step.destination);
    UniqueStagedFile staged;
    DWORD attributes = GetFileAttributesW(to.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      // Copied beside and renamed in, so a copy cut short never sits under
      // the real name.
      staged = CopyBeside(from, to);
      if (!staged) return false;
      if (MoveFileExW(staged.get().c_str(), to.c_str(), 0)) {
        staged.release();
        return true;
      }
      const DWORD error = GetLastError();
      if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
      // It appeared since the test: asked about like any other.
      attributes = GetFileAttributesW(to.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    // The source itself, reached through another path: already there.
    if (SameFile(from, to)) return true;
    if (!ask_(ReplaceQuestionText(step.destination, step.name))) return true;
    // Windows refuses to replace a read-only file; Wine would not, so the
    // rule is kept here for both.
    attributes = GetFileAttributesW(to.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return false;
    if (!staged) staged = CopyBeside(from, to);
    if (!staged) return false;
    // No write-through: until the rename is on disk the old file is what
    // a crash leaves, and the source stays in the previous directory.
    if (!MoveFileExW(staged.get().c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    staged.release();
    return true;
  }

 private:
  // A copy of `from` in the folder of `to`, under a name nobody else uses;
  // nothing when the copy failed (and nothing of it is left).
  UniqueStagedFile CopyBeside(const std::wstring& from, const std::wstring& to) {
    const std::wstring folder = to.substr(0, to.rfind(L'\\') + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
      wchar_t name[64];
      swprintf(name, 64, L"~velmora-%lx-%x.tmp", GetCurrentProcessId(), next_++);
      // The longer name may be what passes MAX_PATH.
      std::wstring staged = LongForm(folder + name);
      if (CopyFileW(from.c_str(), staged.c_str(), TRUE)) return UniqueStagedFile(std::move(staged));
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;  // not ours
      UniqueStagedFile partial(std::move(staged));  // whatever a failed copy left
      return {};
    }
    return {};
  }

  const ReplaceQuestion& ask_;
  unsigned next_ = 0;
};

}  // namespace

std::wstring FileApiPath(const std::wstring& path) { return LongForm(path); }
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

std::optional<FileIdentity> IdentityOf(const std::wstring& path) {
  // No access to the data: works on files another program holds locked.
  UniqueFile file(CreateFileW(FileApiPath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::wstring ReplaceQuestionText(const std::wstring& destination, const std::wstring& name) {
  return destination + L"下目录已经有" + name + L"文件\n是否替换！";
}

MigrationReport CopyCheckedOutFiles(const std::wstring& source, const std::wstring& destination,
                                    const ReplaceQuestion& ask) {
  MigrationReport report;
  // Two spellings of one directory: every file would be its own
  // destination, and nothing may be asked, copied or deleted.
  if (SameEntry(IdentityOf(source), IdentityOf(destination))) return report;
  Win32FileSystem fs;
  Migration migration(ask);
  for (const MigrationStep& step : PlanMigration(source, destination, fs)) {
    switch (step.kind) {
      case MigrationStep::kCreateDirectory:
        // A failure shows in the files below it.
        CreateDirectoryW(FileApiPath(step.destination).c_str(), nullptr);
        break;
      case MigrationStep::kLeaveBehind:
        report.notMigrated.push_back(step.relative);
        break;
      case MigrationStep::kCopyFile:
        if (!migration.MoveInto(step)) report.notMigrated.push_back(step.relative);
        break;
    }
  }
  return report;
}

MigrationReport CopyCheckedOutFiles(const std::wstring& source, const std::wstring& destination, HWND owner) {
  return CopyCheckedOutFiles(source, destination, [owner](const std::wstring& question) {
    return ShowMessage(owner, question, kCaptionSystemPrompt, MB_YESNO | MB_ICONINFORMATION) == IDYES;
  });
}

}  // namespace velmora
