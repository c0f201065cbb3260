// The file-system side of moving the working directory: the prefix test for
// an existing path, and the copy of the old directory's own files and its
// "CheckOut" subtree into the new one, asking before a file is replaced.
// A replacement never opens a window in which neither version exists, and
// nothing that stays behind goes untold.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "workdir/MigrationPlan.h"

namespace velmora {

// True when a search for `path` followed by "*" finds an entry: a prefix
// test, so D:\work\temp "exists" when D:\work holds temp.txt. The empty
// path is never taken to exist.
bool PathExists(const std::string& path);

// True when `path` is an existing directory (no prefix matching).
bool DirectoryExists(const std::string& path);

// Volume serial number and file index of an existing file or directory,
// links followed; nothing when it cannot be opened.
std::optional<FileIdentity> IdentityOf(const std::wstring& path);

struct MigrationReport {
  // Below the source directory, with the reason: entries that stayed
  // behind although they belonged to the migration (copy failed, link,
  // replacement refused, directory not or not fully read, copy cancelled).
  // A file the user chose not to replace is not among them.
  std::vector<LeftBehind> notMigrated;
};

// Answers one replace question (its text as shown); true replaces.
using ReplaceQuestion = std::function<bool(const std::wstring& question)>;

// How a migration shows how far it has come, and learns that it is to stop.
class MigrationProgress {
 public:
  virtual ~MigrationProgress() = default;
  // Between files, and while a file is copied; `current` is the file's path
  // below the source directory.
  virtual void Update(const MigrationCounts& counts, const std::wstring& current) = 0;
  // True once the user asked to stop: no further file is begun, and the
  // one being copied is given up.
  virtual bool Cancelled() = 0;
};

// The replace question for the file `name` at `destination`.
std::wstring ReplaceQuestionText(const std::wstring& destination, const std::wstring& name);

// Copies, never moves: the source is left as it was. Nothing is done when
// the two name the same directory. Every path is used in its "\\?\" form,
// so names ending in a dot or a space are copied as they are. Each
// file goes straight to its name where that is free, marked for deletion
// until it is whole, so a copy cut short, cancelled or killed leaves no part
// of it. A destination that exists is asked about, and after Yes the source
// is copied beside it under a staged name,
// flushed to disk and moved over it, so a failed copy or a power cut leaves
// the old file as it was. Only staged files this migration made are ever
// deleted; staged files of migrations whose process has gone are cleared
// from each destination folder. Links are not followed. Every entry that
// stays behind is in the report with its reason; the walk goes on after a
// failure, and after a cancel reports what was not copied.
MigrationReport CopyCheckedOutFiles(const std::wstring& source, const std::wstring& destination,
                                    const ReplaceQuestion& ask, MigrationProgress* progress = nullptr);

// The same, asking with message boxes owned by `owner`, with the progress
// window (MigrationProgressWindow) once the copy lasts.
MigrationReport CopyCheckedOutFiles(const std::wstring& source, const std::wstring& destination, HWND owner);

// Tests stand in for the directory search the walk makes (patterns are in
// the "\\?\" form); null puts the system's back.
struct DirectorySearch {
  HANDLE (*first)(const wchar_t* pattern, WIN32_FIND_DATAW* found);
  BOOL (*next)(HANDLE search, WIN32_FIND_DATAW* found);
};
void SetDirectorySearchForTests(const DirectorySearch* search);

// A path as the file APIs take it; long paths get the "\\?\" form so deep
// trees stay reachable.
std::wstring FileApiPath(const std::wstring& path);
std::wstring FileApiPath(const std::string& path);  // multibyte, ANSI code page

}  // namespace velmora
