// Which files follow the working directory when it moves: the directory's
// own files and its "CheckOut" subtree. The walk only decides; the Win32
// side lists directories for it and then acts on the plan, asking before
// it replaces a file. Names are wide throughout, so a file whose name the
// ANSI code page cannot hold is migrated like any other. No Windows
// headers, so it is tested natively.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

struct DirEntry {
  std::wstring name;
  bool isDirectory = false;
  // A junction or symbolic link: never followed, never copied.
  bool isLink = false;
};

// What the walk needs to know about the two trees.
class MigrationFileSystem {
 public:
  virtual ~MigrationFileSystem() = default;
  // Entries of `directory` in the file system's order ("." and ".."
  // included or not); nothing when it cannot be read. A directory that is
  // missing or empty lists as empty.
  virtual std::optional<std::vector<DirEntry>> List(const std::wstring& directory) = 0;
  // True when `path` itself is an existing directory.
  virtual bool IsDirectory(const std::wstring& path) = 0;
};

struct MigrationStep {
  enum Kind {
    kCreateDirectory,
    kCopyFile,    // whether it replaces is decided right before the copy
    kLeaveBehind  // a link, or a directory that could not be read
  };
  Kind kind = kCopyFile;
  std::wstring source;       // empty for kCreateDirectory
  std::wstring destination;  // full path
  std::wstring name;         // entry name, for the replace question
  std::wstring relative;     // below the source directory, for the report
};

// The steps in walk order: each directory's entries in the order listed,
// a directory's creation before anything inside it. `depth` is 1 for the
// working directory itself; below depth 1 every directory is descended,
// at depth 1 only "CheckOut" (exact case). Uses no recursion, so the depth
// of the tree is bounded by memory only. A source that cannot be read at
// all gives no steps.
std::vector<MigrationStep> PlanMigration(const std::wstring& source, const std::wstring& destination,
                                         MigrationFileSystem& fs, int depth = 1);

// Where an entry lives: volume serial number and file index. Two spellings
// of one directory (letter case, short names, substituted drives, links)
// have the same identity.
struct FileIdentity {
  uint32_t volume = 0;
  uint64_t index = 0;
};

// True only when both are known and name the same entry; an index of 0
// (file systems without stable indexes) proves nothing.
bool SameEntry(const std::optional<FileIdentity>& a, const std::optional<FileIdentity>& b);

// The one message after a migration that left files behind: how many, the
// first few by their path below the previous directory, and that they are
// still there. Names the user chose not to replace are not in `left`.
std::wstring NotMigratedMessage(const std::wstring& previousDirectory, const std::vector<std::wstring>& left);

// How many names the message lists before it cuts the list short.
constexpr size_t kNotMigratedListed = 5;

}  // namespace velmora
