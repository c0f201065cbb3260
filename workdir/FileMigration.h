// The file-system side of moving the working directory: the prefix test for
// an existing path, and the copy of the old directory's own files and its
// "CheckOut" subtree into the new one, asking before a file is replaced.
// A replacement never opens a window in which neither version exists.
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
  // Below the source directory: entries that stayed behind although they
  // belonged to the migration (copy failed, link, replacement refused).
  // A file the user chose not to replace is not among them.
  std::vector<std::wstring> notMigrated;
};

// Answers one replace question (its text as shown); true replaces.
using ReplaceQuestion = std::function<bool(const std::wstring& question)>;

// The replace question for the file `name` at `destination`.
std::wstring ReplaceQuestionText(const std::wstring& destination, const std::wstring& name);

// Copies, never moves: the source is left as it was. Nothing is done when
// the two name the same directory. Each destination is tested right before
// its copy; one that exists is asked about, and after Yes the source is
// copied beside it under a temporary name and moved over it, so a failed
// copy leaves the old file as it was. Links are not followed. Every entry
// that stays behind is in the report; the walk goes on after a failure.
MigrationReport CopyCheckedOutFiles(const std::wstring& source, const std::wstring& destination,
                                    const ReplaceQuestion& ask);

// The same, asking with message boxes owned by `owner`.
MigrationReport CopyCheckedOutFiles(const std::wstring& source, const std::wstring& destination, HWND owner);

// A path as the file APIs take it; long paths get the "\\?\" form so deep
// trees stay reachable.
std::wstring FileApiPath(const std::wstring& path);
std::wstring FileApiPath(const std::string& path);  // multibyte, ANSI code page

}  // namespace velmora
