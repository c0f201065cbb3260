#include "workdir/FileMigration.h"

#include <unordered_set>
#include <utility>
#include <vector>

#include "common/DialogHelpers.h"
#include "common/Raii.h"
#include "common/Text.h"
#include "workdir/MigrationProgressWindow.h"

namespace velmora {
namespace {

std::wstring LongForm(std::wstring path) {
  if (path.size() < MAX_PATH - 12 || path.compare(0, 4, L"\\\\?\\") == 0) return path;
  if (path.size() > 2 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return path;  // relative: left to the system's own limit
}

// The user's spelling of a root, made full the way Win32 reads it; the
// names the walk adds below it are taken as they are.
std::wstring FullPath(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  // Names are joined with "\": "C:\old\" is "C:\old", and a drive's root
  // "C:\" is "C:" (whose "\\?\" form is the root again).
  if (full.size() > 1 && full.back() == L'\\') full.pop_back();
  return full;
}

// Junctions and symbolic links are name surrogates; other reparse points
// (cloud placeholders, deduplicated files) stand for the file itself and
// are copied. Wine shows a Unix symbolic link with no tag at all.
bool IsLink(const WIN32_FIND_DATAW& found) {
  if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  return found.dwReserved0 == 0 || IsReparseTagNameSurrogate(found.dwReserved0);
}

HANDLE SystemFindFirst(const wchar_t* pattern, WIN32_FIND_DATAW* found) { return FindFirstFileW(pattern, found); }
BOOL SystemFindNext(HANDLE search, WIN32_FIND_DATAW* found) { return FindNextFileW(search, found); }
const DirectorySearch kSystemSearch{&SystemFindFirst, &SystemFindNext};
const DirectorySearch* g_search = &kSystemSearch;

class Win32FileSystem : public MigrationFileSystem {
 public:
  Listing List(const std::wstring& directory) override {
    Listing listing;
    WIN32_FIND_DATAW found{};
    UniqueFindHandle search(g_search->first(ExtendedPath(directory + L"\\*").c_str(), &found));
    if (!search) {
      const DWORD error = GetLastError();
      // A drive root with nothing in it has not even "." to list.
      if (error == ERROR_FILE_NOT_FOUND) return listing;
      listing.status = error == ERROR_PATH_NOT_FOUND ? Listing::kMissing : Listing::kUnreadable;
      return listing;
    }
    do {
      const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      listing.entries.push_back(DirEntry{found.cFileName, directory, IsLink(found),
                                         directory ? 0 : (uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow});
    } while (g_search->next(search.get(), &found));
    // Anything but the end of the list leaves the rest of it unread.
    if (GetLastError() != ERROR_NO_MORE_FILES) listing.status = Listing::kCutShort;
    return listing;
  }
  bool IsDirectory(const std::wstring& path) override {
    const DWORD attributes = GetFileAttributesW(ExtendedPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
};

// A file this migration made under a staged name; deleted unless handed on.
struct StagedFileTraits {
  static std::wstring invalid() { return {}; }
  static void close(const std::wstring& path) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only source made it read-only
    DeleteFileW(path.c_str());
  }
};
using UniqueStagedFile = UniqueHandleT<std::wstring, StagedFileTraits>;

// Of a path already full (or in the "\\?\" form).
std::optional<FileIdentity> IdentityOfFullPath(const std::wstring& path) {
  // No access to the data: works on files another program holds locked.
  UniqueFile file(CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

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
  return SameEntry(IdentityOfFullPath(a), IdentityOfFullPath(b));
}

// Gone, or in doubt kept: the file may belong to a migration still running.
bool ProcessGone(DWORD processId) {
  if (processId == GetCurrentProcessId()) return false;
  UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
  return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

// Staged files in `folder` (ending in "\") whose migration was killed.
void RemoveAbandonedStagedFiles(const std::wstring& folder) {
  WIN32_FIND_DATAW found{};
  UniqueFindHandle search(FindFirstFileW((folder + L"~velmora-*.tmp").c_str(), &found));
  if (!search) return;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::optional<uint32_t> owner = StagedFileOwner(found.cFileName);
    if (!owner || !ProcessGone(*owner)) continue;
    const std::wstring path = folder + found.cFileName;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
  } while (FindNextFileW(search.get(), &found));
}

// Large files go through in pieces this big; a small one is one read.
constexpr DWORD kCopyChunk = 1 << 20;

// A failed attempt at one file: why it stayed.
using Stayed = std::optional<StayReason>;

class Migration {
 public:
  Migration(const ReplaceQuestion& ask, MigrationProgress* progress) : ask_(ask), progress_(progress) {}

  MigrationReport Run(const std::wstring& source, const std::wstring& destination) {
    MigrationReport report;
    Win32FileSystem fs;
    const std::vector<MigrationStep> plan = PlanMigration(source, destination, fs);
    counts_ = TotalsOf(plan);
    for (const MigrationStep& step : plan) {
      switch (step.kind) {
        case MigrationStep::kCreateDirectory:
          // A failure shows in the files below it. After a cancel nothing
          // more is made.
          if (!Cancelled()) CreateDirectoryW(ExtendedPath(step.destination).c_str(), nullptr);
          break;
        case MigrationStep::kLeaveBehind:
          report.notMigrated.push_back(LeftBehind{step.relative, step.reason});
          break;
        case MigrationStep::kCopyFile: {
          current_ = &step;
          Report(0);
          const Stayed stayed = Cancelled() ? Stayed(StayReason::kCancelled) : MoveInto(step);
          if (stayed) report.notMigrated.push_back(LeftBehind{step.relative, *stayed});
          ++counts_.filesDone;
          counts_.bytesDone += step.size;
          done_ = counts_.bytesDone;
          current_ = nullptr;
          break;
        }
      }
    }
    Report(0);
    return report;
  }

 private:
  bool Cancelled() { return progress_ && progress_->Cancelled(); }

  void Report(uint64_t ofCurrent) {
    if (!progress_) return;
    MigrationCounts counts = counts_;
    counts.bytesDone = done_ + ofCurrent;
    static const std::wstring kNone;
    progress_->Update(counts, current_ ? current_->relative : kNone);
  }

  // Nothing when the file arrived, or the user kept the one there.
  Stayed MoveInto(const MigrationStep& step) {
    const std::wstring from = ExtendedPath(step.source);
    const std::wstring to = ExtendedPath(step.destination);
    ClearAbandonedOnce(to);
    // Straight to the real name when it is free: the copy is marked for
    // deletion until it is whole, so one cut short, cancelled or killed
    // never sits under the name.
    DWORD error = CopyNew(from, to, kProtected);
    if (error == ERROR_SUCCESS) return std::nullopt;
    if (error == ERROR_NOT_SUPPORTED) error = StagedCopyInto(from, to, false);
    if (error == ERROR_SUCCESS) return std::nullopt;
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return ReasonForError(error);

    const DWORD attributes = GetFileAttributesW(to.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return ReasonForError(GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return StayReason::kFailed;
    // The source itself, reached through another path: already there.
    if (SameFile(from, to)) return std::nullopt;
    if (!ask_(ReplaceQuestionText(step.destination, step.name))) return std::nullopt;
    // Stopped while the question was open: Yes then means no more.
    if (Cancelled()) return StayReason::kCancelled;
    // Windows refuses to replace a read-only file; Wine would not, so the
    // rule is kept here for both.
    const DWORD now = GetFileAttributesW(to.c_str());
    if (now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_READONLY)) return StayReason::kReadOnly;
    error = StagedCopyInto(from, to, true);
    if (error != ERROR_SUCCESS) return ReasonForError(error);
    return std::nullopt;
  }

  // Staged files a killed migration left in the folder of `to` go before
  // this one copies into it.
  void ClearAbandonedOnce(const std::wstring& to) {
    const std::wstring folder = to.substr(0, to.rfind(L'\\') + 1);
    if (cleared_.insert(folder).second) RemoveAbandonedStagedFiles(folder);
  }

  enum Protection { kProtected, kStaged, kStagedAndFlushed };

  // Copies `from` to `to`, which this makes: ERROR_FILE_EXISTS when `to`
  // is taken. The new file is marked for deletion until it is whole, so a
  // failure, an exception or the end of the process leaves nothing of it.
  // Where the file system cannot mark it, kProtected gives
  // ERROR_NOT_SUPPORTED and leaves nothing, and a staged copy goes on
  // unmarked, its owner's to delete. kStagedAndFlushed has its data on the
  // disk before it is handed on.
  DWORD CopyNew(const std::wstring& from, const std::wstring& to, Protection protection) {
    // The name first: a file already there is asked about whatever the
    // state of its source.
    UniqueFile target(CreateFileW(to.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!target) return GetLastError();
    // Made here: from now on every way out takes it away again. A staged
    // copy goes on without the mark: its owner deletes it.
    FILE_DISPOSITION_INFO dispose{TRUE};
    const bool marked = SetFileInformationByHandle(target.get(), FileDispositionInfo, &dispose, sizeof(dispose));
    if (!marked && protection == kProtected) {
      target.reset();
      DeleteFileW(to.c_str());
      return ERROR_NOT_SUPPORTED;
    }
    // Shared as the system's own copy shares it: a file another program
    // is writing is reported in use, never copied half written.
    UniqueFile source(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source) return GetLastError();
    FILE_BASIC_INFO kept{};
    if (!GetFileInformationByHandleEx(source.get(), FileBasicInfo, &kept, sizeof(kept))) return GetLastError();
    if (buffer_.empty()) buffer_.resize(kCopyChunk);
    uint64_t copied = 0;
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(source.get(), buffer_.data(), static_cast<DWORD>(buffer_.size()), &got, nullptr)) {
        return GetLastError();
      }
      if (got == 0) break;
      DWORD written = 0;
      if (!WriteFile(target.get(), buffer_.data(), got, &written, nullptr)) return GetLastError();
      if (written != got) return ERROR_WRITE_FAULT;
      copied += got;
      Report(copied);
      if (Cancelled()) return ERROR_REQUEST_ABORTED;
    }
    if (protection == kStagedAndFlushed && !FlushFileBuffers(target.get())) return GetLastError();
    // The time of last write and the attributes go with the data, as the
    // system's copy does; zero leaves the others as they are.
    FILE_BASIC_INFO made{};
    made.LastWriteTime = kept.LastWriteTime;
    made.FileAttributes = kept.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    dispose.DeleteFile = FALSE;
    if (marked && !SetFileInformationByHandle(target.get(), FileDispositionInfo, &dispose, sizeof(dispose))) {
      return GetLastError();
    }
    if (!SetFileInformationByHandle(target.get(), FileBasicInfo, &made, sizeof(made))) {
      const DWORD error = GetLastError();
      dispose.DeleteFile = TRUE;
      if (marked && SetFileInformationByHandle(target.get(), FileDispositionInfo, &dispose, sizeof(dispose))) {
        return error;
      }
      target.reset();
      DeleteFileW(to.c_str());
      return error;
    }
    return ERROR_SUCCESS;
  }

  // Copies `from` beside `to` under a staged name this migration made
  // itself, then renames it over `to` (`replace`) or to `to` where that is
  // free. Nothing of the copy is left when it fails.
  DWORD StagedCopyInto(const std::wstring& from, const std::wstring& to, bool replace) {
    const std::wstring folder = to.substr(0, to.rfind(L'\\') + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
      // The owner comes first (it allocates), the file second, so a file
      // made is always owned.
      UniqueStagedFile staged(folder + StagedFileName(GetCurrentProcessId(), next_++));
      const DWORD error = CopyNew(from, staged.get(), replace ? kStagedAndFlushed : kStaged);
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
        staged.release();  // a name taken is not ours
        continue;
      }
      // Any other failure: the owner deletes what an unmarked copy left.
      if (error != ERROR_SUCCESS) return error;
      // Flushed above before the old file goes: a power cut must not leave
      // an empty file under the real name.
      if (!MoveFileExW(staged.get().c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
        return GetLastError();
      }
      staged.release();
      return ERROR_SUCCESS;
    }
    return ERROR_FILE_EXISTS;
  }

  const ReplaceQuestion& ask_;
  MigrationProgress* progress_;
  MigrationCounts counts_;
  uint64_t done_ = 0;  // bytes of the files finished
  const MigrationStep* current_ = nullptr;
  std::unordered_set<std::wstring> cleared_;  // destination folders already rid of abandoned staged files
  std::vector<char> buffer_;                  // one for every copy
  unsigned next_ = 0;
};

}  // namespace

std::wstring FileApiPath(const std::wstring& path) { return LongForm(path); }
std::wstring FileApiPath(const std::string& path) { return LongForm(ToWide(path)); }

void SetDirectorySearchForTests(const DirectorySearch* search) { g_search = search ? search : &kSystemSearch; }

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

std::optional<FileIdentity> IdentityOf(const std::wstring& path) { return IdentityOfFullPath(FullPath(path)); }

std::wstring ReplaceQuestionText(const std::wstring& destination, const std::wstring& name) {
  return destination + L"下目录已经有" + name + L"文件\n是否替换！";
}

MigrationReport CopyCheckedOutFiles(const std::wstring& source, const std::wstring& destination,
                                    const ReplaceQuestion& ask, MigrationProgress* progress) {
  const std::wstring from = FullPath(source), to = FullPath(destination);
  // Two spellings of one directory: every file would be its own
  // destination, and nothing may be asked, copied or deleted.
  if (SameEntry(IdentityOfFullPath(from), IdentityOfFullPath(to))) return {};
  return Migration(ask, progress).Run(from, to);
}

MigrationReport CopyCheckedOutFiles(const std::wstring& source, const std::wstring& destination, HWND owner) {
  MigrationProgressWindow progress(owner);
  return CopyCheckedOutFiles(
      source, destination,
      [owner](const std::wstring& question) {
        return ShowMessage(owner, question, kCaptionSystemPrompt, MB_YESNO | MB_ICONINFORMATION) == IDYES;
      },
      &progress);
}

}  // namespace velmora
