// Which files follow the working directory when it moves: the directory's
// own files and its "CheckOut" subtree. The walk only decides; the Win32
// side lists directories for it and then acts on the plan, asking before
// it replaces a file. No Windows headers, so it is tested natively.
#pragma once

#include <string>
#include <vector>

namespace velmora {

struct DirEntry {
  std::string name;
  bool isDirectory = false;
};

// What the walk needs to know about the two trees.
class MigrationFileSystem {
 public:
  virtual ~MigrationFileSystem() = default;
  // Entries of `directory` in the file system's order ("." and ".."
  // included or not); empty when it is missing or cannot be read.
  virtual std::vector<DirEntry> List(const std::string& directory) = 0;
  // True when `path` itself is an existing directory.
  virtual bool IsDirectory(const std::string& path) = 0;
  // True when an entry named exactly `path` exists.
  virtual bool Exists(const std::string& path) = 0;
};

struct MigrationStep {
  enum Kind { kCreateDirectory, kCopyFile, kAskThenCopy };
  Kind kind = kCopyFile;
  std::string source;       // empty for kCreateDirectory
  std::string destination;  // full path
  std::string name;         // entry name, for the replace question
};

// The steps in walk order: each directory's entries in the order listed,
// a directory's creation before anything inside it. `depth` is 1 for the
// working directory itself; below depth 1 every directory is descended,
// at depth 1 only "CheckOut" (exact case). Uses no recursion, so the depth
// of the tree is bounded by memory only.
std::vector<MigrationStep> PlanMigration(const std::string& source, const std::string& destination,
                                         MigrationFileSystem& fs, int depth = 1);

}  // namespace velmora
