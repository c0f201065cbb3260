#include "workdir/MigrationPlan.h"

#include <cstdio>
#include <utility>

namespace velmora {
namespace {

struct Level {
  std::wstring source;
  std::wstring destination;
  std::wstring relative;
  int depth;
  std::vector<DirEntry> entries;
  size_t next = 0;
};

std::wstring Join(const std::wstring& parent, const std::wstring& name) {
  return parent.empty() ? name : parent + L"\\" + name;
}

MigrationStep LeaveBehind(std::wstring from, std::wstring to, const std::wstring& name, std::wstring relative,
                          StayReason reason) {
  MigrationStep step{MigrationStep::kLeaveBehind, std::move(from), std::move(to), name, std::move(relative)};
  step.reason = reason;
  return step;
}

// The Win32 error codes the table knows (the core has no Windows headers).
struct ErrorReason {
  uint32_t error;
  StayReason reason;
};
constexpr ErrorReason kErrorReasons[] = {
    {32, StayReason::kInUse},         // ERROR_SHARING_VIOLATION
    {33, StayReason::kInUse},         // ERROR_LOCK_VIOLATION
    {1224, StayReason::kInUse},       // ERROR_USER_MAPPED_FILE
    {19, StayReason::kReadOnly},      // ERROR_WRITE_PROTECT
    {112, StayReason::kDiskFull},     // ERROR_DISK_FULL
    {39, StayReason::kDiskFull},      // ERROR_HANDLE_DISK_FULL
    {1295, StayReason::kDiskFull},    // ERROR_DISK_QUOTA_EXCEEDED
    {681, StayReason::kLink},         // ERROR_STOPPED_ON_SYMLINK
    {1920, StayReason::kLink},        // ERROR_CANT_ACCESS_FILE (a link that cannot be resolved)
    {1921, StayReason::kLink},        // ERROR_CANT_RESOLVE_FILENAME
    {2, StayReason::kUnreadable},     // ERROR_FILE_NOT_FOUND: gone since it was listed
    {3, StayReason::kUnreadable},     // ERROR_PATH_NOT_FOUND
    {23, StayReason::kUnreadable},    // ERROR_CRC
    {30, StayReason::kUnreadable},    // ERROR_READ_FAULT
    {53, StayReason::kUnreadable},    // ERROR_BAD_NETPATH
    {59, StayReason::kUnreadable},    // ERROR_UNEXP_NET_ERR
    {64, StayReason::kUnreadable},    // ERROR_NETNAME_DELETED
    {123, StayReason::kUnreadable},   // ERROR_INVALID_NAME
    {267, StayReason::kUnreadable},   // ERROR_DIRECTORY
    {1392, StayReason::kUnreadable},  // ERROR_FILE_CORRUPT
    {1235, StayReason::kCancelled},   // ERROR_REQUEST_ABORTED
};
constexpr uint32_t kErrorAccessDenied = 5;

bool EqualsIgnoringAsciiCase(const std::wstring& text, size_t at, const wchar_t* lower) {
  for (size_t i = 0; lower[i]; ++i) {
    if (at + i >= text.size()) return false;
    wchar_t c = text[at + i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != lower[i]) return false;
  }
  return true;
}

constexpr wchar_t kStagedPrefix[] = L"~velmora-";
constexpr wchar_t kStagedSuffix[] = L".tmp";
constexpr size_t kPrefixLength = 9, kSuffixLength = 4;

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// A hex number of 1 to 8 digits from `at` up to `end`.
std::optional<uint32_t> HexNumber(const std::wstring& text, size_t at, size_t end) {
  if (end <= at || end - at > 8) return std::nullopt;
  uint32_t value = 0;
  for (size_t i = at; i < end; ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return value;
}

}  // namespace

const wchar_t* StayReasonText(StayReason reason) {
  switch (reason) {
    case StayReason::kInUse: return L"被其他程序占用";
    case StayReason::kReadOnly: return L"只读";
    case StayReason::kDiskFull: return L"磁盘空间不足";
    case StayReason::kLink: return L"链接未跟随";
    case StayReason::kUnreadable: return L"无法读取";
    case StayReason::kCutShort: return L"目录未能读完";
    case StayReason::kNoAccess: return L"没有访问权限";
    case StayReason::kCancelled: return L"已取消";
    case StayReason::kFailed: break;
  }
  return L"无法复制";
}

StayReason ReasonForError(uint32_t win32Error, bool destinationReadOnly) {
  if (win32Error == kErrorAccessDenied) return destinationReadOnly ? StayReason::kReadOnly : StayReason::kNoAccess;
  for (const ErrorReason& known : kErrorReasons) {
    if (known.error == win32Error) return known.reason;
  }
  return StayReason::kFailed;
}

std::vector<MigrationStep> PlanMigration(const std::wstring& source, const std::wstring& destination,
                                         MigrationFileSystem& fs, int depth) {
  std::vector<MigrationStep> plan;
  Listing top = fs.List(source);
  // A previous directory that is not there has nothing to give; one that
  // is there but cannot be read keeps everything, and must say so.
  if (top.status == Listing::kMissing) return plan;
  if (top.status == Listing::kUnreadable) {
    plan.push_back(LeaveBehind(source, destination, {}, {}, StayReason::kUnreadable));
    return plan;
  }
  if (top.status == Listing::kCutShort) {
    plan.push_back(LeaveBehind(source, destination, {}, {}, StayReason::kCutShort));
  }
  // An explicit stack of open directories stands in for recursion.
  std::vector<Level> stack;
  stack.push_back(Level{source, destination, {}, depth, std::move(top.entries)});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.entries.size()) {
      stack.pop_back();
      continue;
    }
    const DirEntry& entry = level.entries[level.next++];
    if (entry.name.empty() || entry.name == L"." || entry.name == L"..") continue;
    if (entry.isDirectory && entry.name != L"CheckOut" && level.depth <= 1) continue;
    // A staged copy (ours, or one a killed migration left) is not the
    // user's file.
    if (!entry.isDirectory && IsStagingName(entry.name)) continue;
    std::wstring from = level.source + L"\\" + entry.name;
    std::wstring to = level.destination + L"\\" + entry.name;
    std::wstring relative = Join(level.relative, entry.name);
    // A link is neither followed nor copied: a loop would multiply the
    // tree, and a link to a large tree would copy all of it.
    if (entry.isLink) {
      plan.push_back(LeaveBehind(std::move(from), std::move(to), entry.name, std::move(relative), StayReason::kLink));
      continue;
    }
    if (!entry.isDirectory) {
      MigrationStep step{MigrationStep::kCopyFile, std::move(from), std::move(to), entry.name, std::move(relative)};
      step.size = entry.size;
      plan.push_back(std::move(step));
      continue;
    }
    // Listed by its parent, so "missing" now means it could not be reached.
    Listing children = fs.List(from);
    if (children.status == Listing::kMissing || children.status == Listing::kUnreadable) {
      plan.push_back(
          LeaveBehind(std::move(from), std::move(to), entry.name, std::move(relative), StayReason::kUnreadable));
      continue;
    }
    // An exact test: an entry that merely starts with the same name
    // (CheckOut.bak) must not stop the directory from being made.
    if (!fs.IsDirectory(to)) {
      plan.push_back(MigrationStep{MigrationStep::kCreateDirectory, {}, to, entry.name, relative});
    }
    if (children.status == Listing::kCutShort) {
      plan.push_back(LeaveBehind(from, to, entry.name, relative, StayReason::kCutShort));
    }
    const int below = level.depth + 1;
    // `level` is invalid after the push.
    stack.push_back(Level{std::move(from), std::move(to), std::move(relative), below, std::move(children.entries)});
  }
  return plan;
}

bool SameEntry(const std::optional<FileIdentity>& a, const std::optional<FileIdentity>& b) {
  return a && b && a->index != 0 && a->volume == b->volume && a->index == b->index;
}

std::wstring NotMigratedMessage(const std::wstring& previousDirectory, const std::vector<LeftBehind>& left) {
  std::wstring text = std::to_wstring(left.size()) + L" 个文件未能迁移到新的工作目录，仍保留在原目录\n" +
                      previousDirectory + L" 中：";
  for (size_t i = 0; i < left.size() && i < kNotMigratedListed; ++i) {
    text += L"\n" + (left[i].relative.empty() ? previousDirectory : left[i].relative) + L"（" +
            StayReasonText(left[i].reason) + L"）";
  }
  if (left.size() > kNotMigratedListed) text += L"\n……";
  return text;
}

std::wstring StagedFileName(uint32_t processId, uint32_t serial) {
  wchar_t name[40];
  std::swprintf(name, 40, L"~velmora-%x-%x.tmp", static_cast<unsigned>(processId), static_cast<unsigned>(serial));
  return name;
}

bool IsStagingName(const std::wstring& name) {
  return name.size() >= kPrefixLength + kSuffixLength && EqualsIgnoringAsciiCase(name, 0, kStagedPrefix) &&
         EqualsIgnoringAsciiCase(name, name.size() - kSuffixLength, kStagedSuffix);
}

std::optional<uint32_t> StagedFileOwner(const std::wstring& name) {
  if (!IsStagingName(name)) return std::nullopt;
  const size_t end = name.size() - kSuffixLength;
  const size_t dash = name.find(L'-', kPrefixLength);
  if (dash == std::wstring::npos || dash >= end) return std::nullopt;
  const std::optional<uint32_t> pid = HexNumber(name, kPrefixLength, dash);
  if (!pid || !HexNumber(name, dash + 1, end)) return std::nullopt;
  return pid;
}

std::wstring ExtendedPath(const std::wstring& fullPath) {
  if (fullPath.compare(0, 4, L"\\\\?\\") == 0 || fullPath.compare(0, 4, L"\\\\.\\") == 0) return fullPath;
  if (fullPath.size() >= 2 && fullPath[1] == L':' &&
      ((fullPath[0] >= L'A' && fullPath[0] <= L'Z') || (fullPath[0] >= L'a' && fullPath[0] <= L'z'))) {
    // "C:" alone is the drive's current directory, not its root.
    if (fullPath.size() == 2) return L"\\\\?\\" + fullPath + L"\\";
    if (fullPath[2] == L'\\') return L"\\\\?\\" + fullPath;
    return fullPath;  // "C:name" is relative to the drive's current directory
  }
  if (fullPath.compare(0, 2, L"\\\\") == 0 && fullPath.size() > 2) return L"\\\\?\\UNC\\" + fullPath.substr(2);
  return fullPath;
}

MigrationCounts TotalsOf(const std::vector<MigrationStep>& plan) {
  MigrationCounts totals;
  for (const MigrationStep& step : plan) {
    if (step.kind != MigrationStep::kCopyFile) continue;
    ++totals.filesTotal;
    totals.bytesTotal += step.size;
  }
  return totals;
}

std::wstring ByteCountText(uint64_t bytes) {
  if (bytes < 1024) return std::to_wstring(bytes) + L" 字节";
  static const wchar_t* const kUnits[] = {L"KB", L"MB", L"GB", L"TB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
    value /= 1024;
    ++unit;
  }
  wchar_t text[32];
  std::swprintf(text, 32, L"%.1f %ls", value, kUnits[unit]);
  return text;
}

std::wstring ProgressText(const MigrationCounts& counts) {
  return L"已复制 " + std::to_wstring(counts.filesDone) + L" / " + std::to_wstring(counts.filesTotal) +
         L" 个文件，" + ByteCountText(counts.bytesDone) + L" / " + ByteCountText(counts.bytesTotal);
}

int ProgressPermille(const MigrationCounts& counts) {
  uint64_t done = counts.bytesDone, total = counts.bytesTotal;
  if (total == 0) done = counts.filesDone, total = counts.filesTotal;
  if (total == 0) return 0;
  if (done >= total) return 1000;
  return static_cast<int>(static_cast<double>(done) * 1000.0 / static_cast<double>(total));
}

}  // namespace velmora
