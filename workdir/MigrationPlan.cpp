#include "workdir/MigrationPlan.h"

#include <utility>

namespace velmora {
namespace {

struct Level {
  std::string source;
  std::string destination;
  int depth;
  std::vector<DirEntry> entries;
  size_t next = 0;
};

}  // namespace

std::vector<MigrationStep> PlanMigration(const std::string& source, const std::string& destination,
                                         MigrationFileSystem& fs, int depth) {
  std::vector<MigrationStep> plan;
  // An explicit stack of open directories stands in for recursion.
  std::vector<Level> stack;
  stack.push_back(Level{source, destination, depth, fs.List(source)});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.entries.size()) {
      stack.pop_back();
      continue;
    }
    const DirEntry& entry = level.entries[level.next++];
    if (entry.name.empty() || entry.name == "." || entry.name == "..") continue;
    std::string from = level.source + "\\" + entry.name;
    std::string to = level.destination + "\\" + entry.name;
    if (entry.isDirectory) {
      if (entry.name != "CheckOut" && level.depth <= 1) continue;
      // An exact test: an entry that merely starts with the same name
      // (CheckOut.bak) must not stop the directory from being made.
      if (!fs.IsDirectory(to)) plan.push_back(MigrationStep{MigrationStep::kCreateDirectory, {}, to, entry.name});
      const int below = level.depth + 1;
      std::vector<DirEntry> children = fs.List(from);
      // `level` is invalid after the push.
      stack.push_back(Level{std::move(from), std::move(to), below, std::move(children)});
      continue;
    }
    const MigrationStep::Kind kind = fs.Exists(to) ? MigrationStep::kAskThenCopy : MigrationStep::kCopyFile;
    plan.push_back(MigrationStep{kind, std::move(from), std::move(to), entry.name});
  }
  return plan;
}

}  // namespace velmora
