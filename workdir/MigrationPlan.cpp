#include "workdir/MigrationPlan.h"

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

}  // namespace

std::vector<MigrationStep> PlanMigration(const std::wstring& source, const std::wstring& destination,
                                         MigrationFileSystem& fs, int depth) {
  std::vector<MigrationStep> plan;
  std::optional<std::vector<DirEntry>> top = fs.List(source);
  if (!top) return plan;
  // An explicit stack of open directories stands in for recursion.
  std::vector<Level> stack;
  stack.push_back(Level{source, destination, {}, depth, std::move(*top)});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.entries.size()) {
      stack.pop_back();
      continue;
    }
    const DirEntry& entry = level.entries[level.next++];
    if (entry.name.empty() || entry.name == L"." || entry.name == L"..") continue;
    std::wstring from = level.source + L"\\" + entry.name;
    std::wstring to = level.destination + L"\\" + entry.name;
    std::wstring relative = Join(level.relative, entry.name);
    if (entry.isDirectory && entry.name != L"CheckOut" && level.depth <= 1) continue;
    // A link is neither followed nor copied: a loop would multiply the
    // tree, and a link to a large tree would copy all of it.
    if (entry.isLink) {
      plan.push_back(MigrationStep{MigrationStep::kLeaveBehind, std::move(from), std::move(to), entry.name,
                                   std::move(relative)});
      continue;
    }
    if (!entry.isDirectory) {
      plan.push_back(MigrationStep{MigrationStep::kCopyFile, std::move(from), std::move(to), entry.name,
                                   std::move(relative)});
      continue;
    }
    std::optional<std::vector<DirEntry>> children = fs.List(from);
    if (!children) {
      plan.push_back(MigrationStep{MigrationStep::kLeaveBehind, std::move(from), std::move(to), entry.name,
                                   std::move(relative)});
      continue;
    }
    // An exact test: an entry that merely starts with the same name
    // (CheckOut.bak) must not stop the directory from being made.
    if (!fs.IsDirectory(to)) {
      plan.push_back(MigrationStep{MigrationStep::kCreateDirectory, {}, to, entry.name, relative});
    }
    const int below = level.depth + 1;
    // `level` is invalid after the push.
    stack.push_back(Level{std::move(from), std::move(to), std::move(relative), below, std::move(*children)});
  }
  return plan;
}

bool SameEntry(const std::optional<FileIdentity>& a, const std::optional<FileIdentity>& b) {
  return a && b && a->index != 0 && a->volume == b->volume && a->index == b->index;
}

std::wstring NotMigratedMessage(const std::wstring& previousDirectory, const std::vector<std::wstring>& left) {
  std::wstring text = std::to_wstring(left.size()) + L" 个文件未能迁移到新的工作目录，仍保留在原目录\n" +
                      previousDirectory + L" 中：";
  for (size_t i = 0; i < left.size() && i < kNotMigratedListed; ++i) text += L"\n" + left[i];
  if (left.size() > kNotMigratedListed) text += L"\n……";
  return text;
}

}  // namespace velmora
