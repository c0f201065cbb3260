// Which files follow the working directory when it moves: the directory's
// own files and its "CheckOut" subtree. The walk only decides; the Win32
// side lists directories for it and then acts on the plan, asking before
// it replaces a file. Names are wide throughout, so a file whose name the
// ANSI code page cannot hold is migrated like any other. Also decided here:
// why a file stayed behind and how that is told, which names are staged
// copies, the "\\?\" form of a path and the progress texts. No Windows
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
  uint64_t size = 0;  // files only, for the progress
};

// One directory as the file system gave it. A listing that stopped on an
// error keeps what it read before the error.
struct Listing {
  enum Status {
    kComplete,    // every entry (an empty directory included)
    kMissing,     // no such directory
    kUnreadable,  // exists, but could not be listed at all
    kCutShort     // the entries before an error
  };
  Status status = kComplete;
  std::vector<DirEntry> entries;
};

// What the walk needs to know about the two trees.
class MigrationFileSystem {
 public:
  virtual ~MigrationFileSystem() = default;
  // Entries of `directory` in the file system's order ("." and ".."
  // included or not).
  virtual Listing List(const std::wstring& directory) = 0;
  // True when `path` itself is an existing directory.
  virtual bool IsDirectory(const std::wstring& path) = 0;
};

// Why an entry stayed in the previous directory.
enum class StayReason {
  kInUse,      // another program holds it
  kReadOnly,   // the destination file is read-only
  kDiskFull,
  kLink,       // a junction or symbolic link, not followed
  kUnreadable, // a directory (or file) that could not be read
  kCutShort,   // a directory whose listing broke off: what followed stayed
  kNoAccess,
  kCancelled,  // the user stopped the copy before it came to this file
  kFailed      // any other failure
};

// The short phrase the left-behind message shows for a reason.
const wchar_t* StayReasonText(StayReason reason);

// The reason for a Win32 error code from a copy, a rename or a read;
// `destinationReadOnly` tells an access refusal on a read-only
// destination from any other.
StayReason ReasonForError(uint32_t win32Error, bool destinationReadOnly = false);

struct MigrationStep {
  enum Kind {
    kCreateDirectory,
    kCopyFile,    // whether it replaces is decided right before the copy
    kLeaveBehind  // a link, or a directory that could not be (fully) read
  };
  Kind kind = kCopyFile;
  std::wstring source;       // empty for kCreateDirectory
  std::wstring destination;  // full path
  std::wstring name;         // entry name, for the replace question
  std::wstring relative;     // below the source directory, for the report ("" the directory itself)
  StayReason reason = StayReason::kFailed;  // kLeaveBehind only
  uint64_t size = 0;                        // kCopyFile only
};

// The steps in walk order: each directory's entries in the order listed,
// a directory's creation before anything inside it. `depth` is 1 for the
// working directory itself; below depth 1 every directory is descended,
// at depth 1 only "CheckOut" (exact case). Uses no recursion, so the depth
// of the tree is bounded by memory only. A missing source gives no steps;
// a directory that cannot be read, or whose listing broke off, is a
// kLeaveBehind step of its own. Staged copies (`IsStagingName`) are never
// part of the plan.
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

// An entry that stayed behind: its path below the previous directory ("" for
// the directory itself) and why.
struct LeftBehind {
  std::wstring relative;
  StayReason reason = StayReason::kFailed;
  bool operator==(const LeftBehind& other) const { return relative == other.relative && reason == other.reason; }
};

// The one message after a migration that left files behind: how many, the
// first few by their path below the previous directory with the reason
// each stayed, and that they are still there. Names the user chose not to
// replace are not in `left`.
std::wstring NotMigratedMessage(const std::wstring& previousDirectory, const std::vector<LeftBehind>& left);

// How many names the message lists before it cuts the list short.
constexpr size_t kNotMigratedListed = 5;

// A copy is staged beside its destination as "~velmora-<pid>-<n>.tmp" (both
// numbers in hex) and renamed into place. Such names are never user files.
std::wstring StagedFileName(uint32_t processId, uint32_t serial);
// Any "~velmora-*.tmp" name (letter case ignored): never migrated, never
// reported.
bool IsStagingName(const std::wstring& name);
// The process that staged `name`, when it is exactly a staged file's name.
std::optional<uint32_t> StagedFileOwner(const std::wstring& name);

// The "\\?\" form of a full path, which the file system takes as it is: no
// dot or space is stripped from a name's end, and no length limit of 260
// applies. Drive paths and UNC paths get it; a path already in that form,
// a device path or a relative one is returned unchanged.
std::wstring ExtendedPath(const std::wstring& fullPath);

// How far a migration has come.
struct MigrationCounts {
  size_t filesDone = 0, filesTotal = 0;
  uint64_t bytesDone = 0, bytesTotal = 0;
};

// Files and bytes that the plan's copies amount to.
MigrationCounts TotalsOf(const std::vector<MigrationStep>& plan);

// "已复制 3 / 10 个文件，1.5 MB / 20.0 MB" for the progress window.
std::wstring ProgressText(const MigrationCounts& counts);
// 512 字节, 1.5 KB, 20.0 MB, 1.0 GB.
std::wstring ByteCountText(uint64_t bytes);
// Permille of the bytes (of the files when there are no bytes), for the bar.
int ProgressPermille(const MigrationCounts& counts);

// The progress window shows only once a copy has lasted this long, so a
// short migration shows no flicker of it.
constexpr unsigned kProgressDelayMs = 500;

}  // namespace velmora
