// The file-system side of moving the working directory: the prefix test for
// an existing path, and the copy of the old directory's own files and its
// "CheckOut" subtree into the new one, asking before a file is replaced.
#pragma once

#include <windows.h>

#include <string>

namespace velmora {

// True when a search for `path` followed by "*" finds an entry: a prefix
// test, so D:\work\temp "exists" when D:\work holds temp.txt. The empty
// path is never taken to exist.
bool PathExists(const std::string& path);

// True when `path` is an existing directory (no prefix matching).
bool DirectoryExists(const std::string& path);

// Copies, never moves: the source is left as it was. Replace questions are
// message boxes owned by `owner`; after No the destination file stays. All
// failures leave that one entry uncopied and the walk goes on.
void CopyCheckedOutFiles(const std::string& source, const std::string& destination, int depth, HWND owner);

// A multibyte path as the wide path the file APIs take; long paths get the
// "\\?\" form so deep trees stay reachable.
std::wstring FileApiPath(const std::string& path);

}  // namespace velmora
